#pragma once

#include <windows.h>

#include <string>

#include "common/ComPtr.h"
#include "ryn_h.h"

// A ryn.dll that the host loaded itself rather than through COM. It is
// freed only when the module says it may be unloaded: a module whose engine
// still runs has code of its own on the capture thread.
class DirectModule {
 public:
  DirectModule() noexcept = default;
  explicit DirectModule(HMODULE module) noexcept : module(module) {}
  DirectModule(DirectModule&& other) noexcept;
  DirectModule& operator=(DirectModule&& other) noexcept;
  DirectModule(const DirectModule&) = delete;
  DirectModule& operator=(const DirectModule&) = delete;
  ~DirectModule() { reset(); }

  HMODULE get() const noexcept { return module; }
  void reset() noexcept;

 private:
  HMODULE module = nullptr;
};

// The component as the host holds it. When "Ryn.VelRyn.1" is not
// registered, the host loads ryn.dll from its own folder and asks its class
// object directly, so it works without registration or administrator rights.
class LoadedComponent {
 public:
  LoadedComponent() = default;
  LoadedComponent(LoadedComponent&&) = default;
  // Assigning would free the old module before releasing the old component.
  LoadedComponent& operator=(LoadedComponent&&) = delete;

  IVelComponent* get() const noexcept { return component.get(); }
  IVelComponent* operator->() const noexcept { return component.get(); }
  // Where the component came from, for the user.
  const std::string& Origin() const noexcept { return origin; }

  // Creates the component; the failure is the registered class's, or the
  // direct load's when the class is not registered.
  static HRESULT Create(LoadedComponent* out);

 private:
  // Declared first, so the component is released before its module.
  DirectModule module;
  ComPtr<IVelComponent> component;
  std::string origin;
};
