#pragma once

#include <fstream>
#include <optional>
#include <string>

#include "host/LiveControls.h"

// The session log: a header, then one row per second, flushed so that it
// survives a kill. An empty path writes nothing.
class SessionLog {
 public:
  // Throws HostError when the file cannot be written.
  explicit SessionLog(const std::string& path);
  void Row(double seconds, const LiveSettings& settings, std::int32_t reported);
  // Rows from here on carry the devices' latency a loopback measured.
  void SetDeviceLatency(double ms) noexcept { deviceLatencyMs = ms; }

 private:
  std::ofstream file;
  std::optional<double> deviceLatencyMs;
};
