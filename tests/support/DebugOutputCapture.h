#pragma once

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

// Collects the lines written with OutputDebugStringA while it lives.
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C, which a vectored exception
// handler sees before the system swallows it.
class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    std::lock_guard<std::mutex> lock(Mutex());
    Active() = this;
    handler = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handler);
  }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
  ~DebugOutputCapture() {
    RemoveVectoredExceptionHandler(handler);
    std::lock_guard<std::mutex> lock(Mutex());
    Active() = nullptr;
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return lines;
  }
  int Count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(Mutex());
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    lines.clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static DebugOutputCapture*& Active() {
    static DebugOutputCapture* active = nullptr;
    return active;
  }
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    std::lock_guard<std::mutex> lock(Mutex());
    if (Active() != nullptr && text != nullptr) {
      std::string line(text);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      Active()->lines.push_back(line);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }

  PVOID handler = nullptr;
  std::vector<std::string> lines;
};
