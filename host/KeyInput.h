#pragma once

#include <memory>

// Keys read from a redirected standard input, shared with its reader thread.
struct PipedKeys;

// Keys for the live controls: typed at the console, or bytes arriving on a
// redirected standard input, so a script or a test can drive the host
// through a pipe. An input at its end (such as /dev/null when the host runs
// in the background) simply yields no keys.
class KeyInput {
 public:
  KeyInput();
  KeyInput(const KeyInput&) = delete;
  KeyInput& operator=(const KeyInput&) = delete;
  ~KeyInput();

  // The next key, or -1 when none is waiting. Never blocks.
  int Next();

 private:
  bool console = false;
  // Shared with the reader thread, which may outlive this object: a read
  // from a pipe cannot be interrupted, so the thread is left to end with the
  // process.
  std::shared_ptr<PipedKeys> pipe;
};
