// rynhost: the reference host for the ryn delayed-auditory-feedback component.

#include <windows.h>
#include <conio.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "host/ComponentSession.h"
#include "host/DelayRamp.h"
#include "host/HostOptions.h"

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    g_interrupted = true;
    return TRUE;
  }
  return FALSE;
}

// Joins and leaves the apartment of the host's main thread.
class ComApartment {
 public:
  ComApartment() : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result)) CoUninitialize();
  }
  HRESULT Result() const noexcept { return result; }

 private:
  HRESULT result;
};

struct LiveSettings {
  std::int32_t delayMs;
  std::int32_t shift;
  std::int32_t mode;
  std::int32_t volume;
  bool paused = false;
};

class CsvLog {
 public:
  explicit CsvLog(const std::string& path) {
    if (path.empty()) return;
    file.open(path, std::ios::out | std::ios::trunc);
    if (!file) throw HostError(E_FAIL, "cannot write log file " + path);
    file << "time_s,configured_delay_ms,reported_delay_ms,frequency_shift,zel_mode,volume\n";
  }
  void Row(double seconds, const LiveSettings& live, std::int32_t reported) {
    if (!file.is_open()) return;
    char line[160];
    std::snprintf(line, sizeof line, "%.1f,%d,%d,%d,%d,%d\n", seconds, live.delayMs, reported, live.shift, live.mode,
                  live.volume);
    file << line << std::flush;
  }

 private:
  std::ofstream file;
};

bool InteractiveConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Applies one key; returns false for quit.
bool HandleKey(int key, ComponentSession& session, LiveSettings& live) {
  switch (key) {
    case 'q': case 'Q': case 27:
      return false;
    case '+': case '=':
      live.delayMs = std::min(220, live.delayMs + 10);
      session.Set(L"DELAY", live.delayMs);
      break;
    case '-': case '_':
      live.delayMs = std::max(40, live.delayMs - 10);
      session.Set(L"DELAY", live.delayMs);
      break;
    case ']':
      live.shift = std::min(10, live.shift + 1);
      session.Set(L"FREQUENCY_SHIFT", live.shift);
      break;
    case '[':
      live.shift = std::max(-10, live.shift - 1);
      session.Set(L"FREQUENCY_SHIFT", live.shift);
      break;
    case 'm': case 'M':
      live.mode = live.mode == 1 ? 2 : 1;
      session.Set(L"ZEL_MODE", live.mode);
      break;
    case '>': case '.':
      live.volume = std::min(100, live.volume + 10);
      session.Set(L"VOLUME", live.volume);
      break;
    case '<': case ',':
      live.volume = std::max(0, live.volume - 10);
      session.Set(L"VOLUME", live.volume);
      break;
    case 'p': case 'P': case ' ':
      if (live.paused) session.Run(); else session.Stop();
      live.paused = !live.paused;
      break;
    default:
      break;
  }
  return true;
}

void PrintStatus(const LiveSettings& live, std::int32_t reported, double seconds, bool newline) {
  std::printf("\rdelay %3d ms | reported %3d ms | shift %+3d | method %d | volume %3d%% | %7.1f s%s   %s", live.delayMs,
              reported, live.shift, live.mode, live.volume, seconds, live.paused ? " | paused" : "",
              newline ? "\n" : "");
  std::fflush(stdout);
}

int RunHost(const HostOptions& options) {
  ComApartment apartment;
  if (FAILED(apartment.Result())) throw HostError(apartment.Result(), "CoInitializeEx failed");

  LoadedComponent component;
  const HRESULT created = LoadedComponent::Create(&component);
  if (FAILED(created)) throw HostError(created, "cannot create Ryn.VelRyn.1: " + DescribeFailure(created));
  ComponentSession session(std::move(component));
  std::printf("ryn component: %s\n", session.Origin().c_str());

  LiveSettings live{options.delayMs, options.frequencyShift, options.zelMode, options.volume};
  CsvLog log(options.logPath);
  session.Set(L"DELAY", live.delayMs);
  session.Set(L"FREQUENCY_SHIFT", live.shift);
  session.Set(L"ZEL_MODE", live.mode);
  session.Set(L"VOLUME", live.volume);
  session.Run();

  const bool interactive = InteractiveConsole();
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextReport = start;
  bool quit = false;
  int reports = 0;
  try {
    while (!quit && !g_interrupted) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      if (options.seconds && elapsed >= *options.seconds) break;
      if (options.ramp && !live.paused) {
        const std::int32_t wanted = DelayAt(*options.ramp, elapsed);
        if (wanted != live.delayMs) {
          live.delayMs = wanted;
          session.Set(L"DELAY", live.delayMs);
        }
      }
      if (Clock::now() >= nextReport) {
        const std::int32_t reported = session.ReportedDelay();
        PrintStatus(live, reported, elapsed, !interactive);
        log.Row(static_cast<double>(reports), live, reported);
        ++reports;
        nextReport = start + std::chrono::seconds(reports);
      }
      while (interactive && _kbhit() && !quit) quit = !HandleKey(_getch(), session, live);
      Sleep(20);
    }
  } catch (...) {
    session.Stop();
    throw;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const std::int32_t reported = session.ReportedDelay();
  PrintStatus(live, reported, elapsed, true);
  session.Stop();
  std::printf("stopped%s\n", g_interrupted ? " (interrupted)" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const HostOptionsResult parsed = ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "rynhost: %s\n%s", parsed.error.c_str(), HostUsage());
    return 2;
  }
  if (parsed.options.showHelp) {
    std::fputs(HostUsage(), stdout);
    return 0;
  }
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  try {
    return RunHost(parsed.options);
  } catch (const HostError& error) {
    std::fprintf(stderr, "\nrynhost: %s (0x%08lX)\n", error.what(), static_cast<unsigned long>(error.Result()));
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "\nrynhost: %s\n", error.what());
    return 1;
  }
}
