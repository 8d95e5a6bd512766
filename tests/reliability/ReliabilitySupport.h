#pragma once

// Helpers shared by the reliability suites: run lengths, figures for the
// log, and calls on the component object with owned arguments.

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "component/ComTestSupport.h"
#include "component/VelRyn.h"
#include "common/ComPtr.h"
#include "engine/RynManager.h"
#include "support/TestRun.h"

namespace reliability {

// The component's four parameters with their ranges and where the engine
// keeps them; results of a refused name and of a value out of range.
constexpr HRESULT kUnsupported = static_cast<HRESULT>(0x80042005);
constexpr HRESULT kInvalid = static_cast<HRESULT>(0x80042006);

struct Parameter {
  const wchar_t* name;
  LONG min;
  LONG max;
  std::int32_t (*stored)(const CRynManager&);
};

const Parameter kParameters[] = {
    {L"DELAY", 40, 220, [](const CRynManager& m) { return m.GetDelay(); }},
    {L"FREQUENCY_SHIFT", -10, 10, [](const CRynManager& m) { return m.GetFrequencyShift(); }},
    {L"VOLUME", 0, 100, [](const CRynManager& m) { return m.GetVolume(); }},
    {L"ZEL_MODE", 1, 2, [](const CRynManager& m) { return ZelModeOf(m.GetZelMode()); }},
};

using testrun::Figure;
using testrun::LongRun;
using testrun::RealAudio;
using testrun::ShortOrLong;

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
