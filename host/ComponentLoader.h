#pragma once

#include <windows.h>

#include <string>

#include "engine/ComPtr.h"
#include "ryn_h.h"

// The component as the host holds it. When the class is not registered the
// host loads ryn.dll from its own folder and asks its class object directly,
// so it works without registration or administrator rights; the module then
// stays loaded for as long as the component lives.
class LoadedComponent {
 public:
  LoadedComponent() = default;
  LoadedComponent(LoadedComponent&&) = default;
  LoadedComponent& operator=(LoadedComponent&&) = default;
  ~LoadedComponent();

  IVelComponent* operator->() const noexcept { return component.get(); }
  IVelComponent* get() const noexcept { return component.get(); }
  // "registered class" or the path of the DLL loaded beside the host.
  const std::string& Origin() const noexcept { return origin; }

  // Creates "Ryn.VelRyn.1"; falls back to ryn.dll beside the executable.
  static HRESULT Create(LoadedComponent* out);

 private:
  ComPtr<IVelComponent> component;
  HMODULE directModule = nullptr;
  std::string origin;
};
