#pragma once

#include <windows.h>

#include <string>

// Runs a program to its end with standard input on NUL and standard output
// and error collected together, so a test can check what a command-line
// tool printed and the status it exited with. A program still running after
// `timeoutMs` is ended, with what it printed so far kept and STILL_ACTIVE
// as its status.
struct ChildProcessResult {
  bool started = false;
  DWORD exitCode = 0;
  std::string output;
};

ChildProcessResult RunChildProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);
