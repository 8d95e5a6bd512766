#pragma once

// Helpers shared by the reliability suites: run lengths, figures for the
// log, and calls on the component object with owned arguments.

#include <windows.h>
#include <oleauto.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "component/ComTestSupport.h"
#include "component/VelRyn.h"
#include "engine/ComPtr.h"
#include "engine/RynManager.h"

namespace reliability {

// The component's four parameters with their ranges and where the engine
// keeps them; results of a refused name and of a value out of range.
constexpr HRESULT kUnsupported = static_cast<HRESULT>(0x80042005);
constexpr HRESULT kInvalid = static_cast<HRESULT>(0x80042006);

struct Parameter {
  const wchar_t* name;
  LONG min;
  LONG max;
  std::int32_t (CRynManager::*stored)() const noexcept;
};

const Parameter kParameters[] = {
    {L"DELAY", 40, 220, &CRynManager::GetDelay},
    {L"FREQUENCY_SHIFT", -10, 10, &CRynManager::GetFrequencyShift},
    {L"VOLUME", 0, 100, &CRynManager::GetVolume},
    {L"ZEL_MODE", 1, 2, &CRynManager::GetZelMode},
};

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
