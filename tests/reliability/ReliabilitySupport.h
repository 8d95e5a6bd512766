#pragma once

// Helpers shared by the reliability suites: run lengths, figures for the
// log, and calls on the component object with owned arguments.

#include <windows.h>
#include <oleauto.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "component/ComTestSupport.h"
#include "component/VelRyn.h"
#include "engine/ComPtr.h"

namespace reliability {

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

inline ComPtr<IVelComponent> CreateComponent() {
  ComPtr<IVelComponent> component;
  CVelRyn::CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put()));
  return component;
}

inline HRESULT SetParameter(IVelComponent* component, const wchar_t* name, comtest::Variant value) {
  const comtest::Bstr text(name);
  return component->SetParameter(text.get(), value.get());
}

inline HRESULT SetParameter(IVelComponent* component, const wchar_t* name, LONG value) {
  return SetParameter(component, name, comtest::Variant::I4(value));
}

}  // namespace reliability
