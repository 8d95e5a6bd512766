#include "host/KeyInput.h"

#include <windows.h>
#include <conio.h>

#include <deque>
#include <mutex>
#include <thread>

struct PipedKeys {
  std::mutex lock;
  std::deque<int> keys;
};

namespace {

// Reads standard input byte by byte until it ends or fails.
void ReadPipe(HANDLE input, std::shared_ptr<PipedKeys> queue) noexcept {
  try {
    char byte = 0;
    DWORD read = 0;
    while (ReadFile(input, &byte, 1, &read, nullptr) && read == 1) {
      std::lock_guard<std::mutex> guard(queue->lock);
      queue->keys.push_back(static_cast<unsigned char>(byte));
    }
  } catch (...) {
    // Keys stop arriving; the host goes on without them.
  }
}

}  // namespace

KeyInput::KeyInput() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  console = GetConsoleMode(input, &mode) != 0;
  if (console) return;
  pipe = std::make_shared<PipedKeys>();
  std::thread(ReadPipe, input, pipe).detach();
}

KeyInput::~KeyInput() = default;

int KeyInput::Next() {
  if (console) {
    while (_kbhit()) {
      const int key = _getch();
      // Function and arrow keys arrive as a prefix and a second code.
      if (key == 0 || key == 0xE0) {
        _getch();
        continue;
      }
      return key;
    }
    return -1;
  }
  if (!pipe) return -1;
  std::lock_guard<std::mutex> guard(pipe->lock);
  if (pipe->keys.empty()) return -1;
  const int key = pipe->keys.front();
  pipe->keys.pop_front();
  return key;
}
