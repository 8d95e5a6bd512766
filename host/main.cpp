// rynhost: the reference host of the ryn delayed-auditory-feedback component.
// Creates the component, sets it up from the command line, runs it, shows a
// status line once a second and changes parameters on key presses.

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/ComApartment.h"
#include "host/ComponentSession.h"
#include "host/DelayRamp.h"
#include "host/HostOptions.h"
#include "host/KeyInput.h"
#include "host/LiveControls.h"
#include "host/LoopbackMeasurement.h"
#include "host/SessionLog.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    g_interrupted = true;
    return TRUE;
  }
  return FALSE;
}

// Stops the engine when the session is left by an error, so no sound goes on
// while the failure is reported.
class EngineGuard {
 public:
  explicit EngineGuard(ComponentSession& session) : session(session) {}
  EngineGuard(const EngineGuard&) = delete;
  EngineGuard& operator=(const EngineGuard&) = delete;
  ~EngineGuard() {
    if (armed) session.StopQuietly();
  }
  void Disarm() noexcept { armed = false; }

 private:
  ComponentSession& session;
  bool armed = true;
};

void Execute(const KeyCommand& command, ComponentSession& session) {
  switch (command.action) {
    case KeyAction::SetDelay: session.Set(L"DELAY", command.value); break;
    case KeyAction::SetFrequencyShift: session.Set(L"FREQUENCY_SHIFT", command.value); break;
    case KeyAction::SetZelMode: session.Set(L"ZEL_MODE", command.value); break;
    case KeyAction::SetVolume: session.Set(L"VOLUME", command.value); break;
    case KeyAction::Pause: session.Stop(); break;
    case KeyAction::Resume: session.Run(); break;
    case KeyAction::None:
    case KeyAction::Quit: break;
  }
}

bool OutputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void PrintStatus(bool rewrite, const LiveSettings& settings, std::optional<std::int32_t> reported, double seconds) {
  // On a console the line rewrites itself; in a file or pipe every status is
  // a line of its own.
  if (rewrite) {
    std::printf("\r%s   ", FormatStatus(settings, reported, seconds).c_str());
  } else {
    std::printf("%s\n", FormatStatus(settings, reported, seconds).c_str());
  }
  std::fflush(stdout);
}

ComponentSession CreateSession() {
  LoadedComponent component;
  const HRESULT created = LoadedComponent::Create(&component);
  if (FAILED(created)) {
    throw HostError(created, "cannot create Ryn.VelRyn.1: " + DescribeFailure(created));
  }
  ComponentSession session(std::move(component));
  std::printf("ryn component: %s\n", session.Origin().c_str());
  return session;
}

// The loopback measurement: the result's sentence on standard output, and
// with --log one row with the devices' latency. Measured or not is the exit
// status.
int RunMeasurement(const HostOptions& options) {
  ComApartment apartment;
  if (FAILED(apartment.Result())) throw HostError(apartment.Result(), "CoInitializeEx failed");
  ComponentSession session = CreateSession();
  SessionLog log(options.logPath);
  std::printf("measuring the delay heard at DELAY %d: keep the headphones at the microphone\n",
              static_cast<int>(options.delayMs));
  std::fflush(stdout);
  const LoopbackResult result = LoopbackMeasurement(session, options.delayMs).Run();
  std::printf("%s\n", result.text.c_str());
  if (result.devices.measured) log.SetDeviceLatency(result.devices.ms);
  LiveSettings measured;
  measured.delayMs = options.delayMs;
  measured.volume = LoopbackMeasurement::kPassVolume;
  log.Row(0.0, measured, result.reportedMs.value_or(0));
  return result.Measured() ? 0 : kExitFailure;
}

int RunHost(const HostOptions& options) {
  ComApartment apartment;
  if (FAILED(apartment.Result())) throw HostError(apartment.Result(), "CoInitializeEx failed");
  ComponentSession session = CreateSession();

  LiveSettings live;
  live.delayMs = options.delayMs;
  live.frequencyShift = options.frequencyShift;
  live.shiftMethod = options.shiftMethod;
  live.volume = options.volume;
  SessionLog log(options.logPath);
  session.Set(L"DELAY", live.delayMs);
  session.Set(L"FREQUENCY_SHIFT", live.frequencyShift);
  session.Set(L"ZEL_MODE", ZelModeOf(live.shiftMethod));
  session.Set(L"VOLUME", live.volume);
  session.Run();
  EngineGuard guard(session);

  KeyInput keys;
  const bool rewriteStatus = OutputIsConsole();
  if (rewriteStatus) std::printf("keys: +/- delay  ]/[ shift  m method  >/< volume  p pause  q quit\n");
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  int reports = 0;
  bool quit = false;
  while (!quit && !g_interrupted) {
    if (options.seconds && elapsed() >= *options.seconds) break;
    if (options.ramp && !live.paused) {
      const std::int32_t wanted = DelayAt(*options.ramp, elapsed());
      if (wanted != live.delayMs) {
        live.delayMs = wanted;
        session.Set(L"DELAY", live.delayMs);
      }
    }
    if (Clock::now() >= start + std::chrono::seconds(reports)) {
      const double now = elapsed();
      const std::int32_t reported = session.ReportedDelay();
      PrintStatus(rewriteStatus, live, session.Starting() ? std::nullopt : std::optional(reported), now);
      log.Row(now, live, reported);
      ++reports;
    }
    for (int key = keys.Next(); key >= 0 && !quit; key = keys.Next()) {
      const KeyCommand command = ApplyKey(key, live);
      quit = command.action == KeyAction::Quit;
      Execute(command, session);
    }
    Sleep(20);
  }
  const double now = elapsed();
  const std::int32_t reported = session.ReportedDelay();
  PrintStatus(rewriteStatus, live, session.Starting() ? std::nullopt : std::optional(reported), now);
  log.Row(now, live, reported);
  guard.Disarm();
  session.Stop();
  std::printf("%sstopped after %.1f s%s\n", rewriteStatus ? "\n" : "", now,
              g_interrupted ? " (interrupted)" : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const HostOptionsResult parsed = ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "rynhost: %s\n%s", parsed.error.c_str(), HostUsage().c_str());
    return kExitUsage;
  }
  if (parsed.options.showHelp) {
    std::fputs(HostUsage().c_str(), stdout);
    return 0;
  }
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  try {
    return parsed.options.measure ? RunMeasurement(parsed.options) : RunHost(parsed.options);
  } catch (const HostError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "\nrynhost: %s\n", FormatHostError(error).c_str());
    return kExitFailure;
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "\nrynhost: %s\n", error.what());
    return kExitFailure;
  }
}
