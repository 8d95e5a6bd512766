#include "host/SessionLog.h"

#include "host/ComponentSession.h"

SessionLog::SessionLog(const std::string& path) {
  if (path.empty()) return;
  file.open(path, std::ios::out | std::ios::trunc);
  if (!file) throw HostError(HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE), "cannot write the log file " + path);
  file << LogHeader() << '\n' << std::flush;
}

void SessionLog::Row(double seconds, const LiveSettings& settings, std::int32_t reported) {
  if (file.is_open()) file << FormatLogRow(seconds, settings, reported, deviceLatencyMs) << '\n' << std::flush;
}
