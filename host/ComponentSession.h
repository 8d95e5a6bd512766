#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/ComponentLoader.h"

// A failed call on the component: its HRESULT and the description of the
// error object it reported.
class HostError : public std::runtime_error {
 public:
  HostError(HRESULT result, const std::string& what) : std::runtime_error(what), result(result) {}
  HRESULT Result() const noexcept { return result; }

 private:
  HRESULT result;
};

// Typed calls on IVelComponent; every failure becomes a HostError that
// carries the component's own description.
class ComponentSession {
 public:
  explicit ComponentSession(LoadedComponent component) : component(std::move(component)) {}

  void Run();
  void Stop();
  void Set(const wchar_t* name, std::int32_t value);
  std::int32_t ReportedDelay();
  const std::string& Origin() const noexcept { return component.Origin(); }

 private:
  LoadedComponent component;
};

// The thread's error object description for a failed call, else the system
// text for the result, else a generic phrase.
std::string DescribeFailure(HRESULT result);
