#pragma once

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

// A failed platform call, for the programs around the component (hosts,
// tools, tests) that report failures by exception. The message reads
// "<what> failed: 0x8007000E".
class HResultError : public std::runtime_error {
 public:
  HResultError(const std::string& what, HRESULT result) : std::runtime_error(Message(what, result)), result(result) {}

  HRESULT result;

 private:
  static std::string Message(const std::string& what, HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    return what + " failed: " + code;
  }
};

inline void ThrowIfFailed(HRESULT result, const char* what) {
  if (FAILED(result)) throw HResultError(what, result);
}
