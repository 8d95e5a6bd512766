#pragma once

// How long a run is, whether it has real devices, and its figures for the
// log: shared by the suites that run short in make test and long on request.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace testrun {

// RYN_LONG_TESTS=1 selects the full lengths; make test runs the short ones.
inline bool LongRun() {
  const char* value = std::getenv("RYN_LONG_TESTS");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

// Set by the ctest entries that run with the PulseAudio fixture's devices.
inline bool RealAudio() {
  const char* value = std::getenv("RYN_REAL_AUDIO");
  return value != nullptr && value[0] == '1';
}

template <typename T>
T ShortOrLong(T shortValue, T longValue) {
  return LongRun() ? longValue : shortValue;
}

// One line of figures, marked so it can be found in the test log.
inline void Figure(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("[ figures  ] ", stdout);
  std::vfprintf(stdout, format, arguments);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  va_end(arguments);
}

}  // namespace testrun
