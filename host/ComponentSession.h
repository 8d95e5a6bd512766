#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/ComponentLoader.h"

// A failed step of the host: its HRESULT and what went wrong, with the
// description the component reported when there is one.
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
  explicit ComponentSession(LoadedComponent component);

  void Run();
  void Stop();
  // Stops without reporting a failure: for leaving on another error.
  void StopQuietly() noexcept;
  void Set(const wchar_t* name, std::int32_t value);
  std::int32_t ReportedDelay();
  // Whether the engine has not measured its delay since it last started, so
  // that ReportedDelay still answers from the previous engine; false for a
  // component that cannot tell.
  bool Starting() const;
  const std::string& Origin() const noexcept { return component.Origin(); }

 private:
  void Check(HRESULT result, const std::string& call);

  LoadedComponent component;
  // Null for a component without the interface.
  ComPtr<IRynEngineState> engineState;
};

// The description of the calling thread's error object, if any (it is
// consumed), else the system's text for the result, else a generic phrase.
std::string DescribeFailure(HRESULT result);

// "What failed: description (0x8004xxxx)" for the user.
std::string FormatHostError(const HostError& error);
