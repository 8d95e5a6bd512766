#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "host/ComponentSession.h"
#include "host/HostOptions.h"
#include "host/LiveControls.h"
#include "host/LoopbackMeasurement.h"
#include "host/SessionLog.h"
#include "host/panel/PanelIds.h"

// The panel's main window: a modeless dialog whose controls set the
// component's parameters, start and stop it, run a delay ramp and write the
// session log. Failures go to the status line, never into a modal box.
class PanelWindow {
 public:
  PanelWindow() = default;
  PanelWindow(const PanelWindow&) = delete;
  PanelWindow& operator=(const PanelWindow&) = delete;

  // Creates and shows the window; false when the dialog cannot be created.
  bool Create(HINSTANCE instance);
  // Handles a queued message meant for the window (dialog keys, and Space
  // for Start/Stop on the sliders); false when it is not one.
  bool PreTranslate(MSG& message);

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void OnInit();
  void OnScroll(HWND control, int code);
  void OnCommand(int id, int code);
  void OnTimer();
  void OnDestroy();
  // The loopback measurement runs on a thread of its own with a component
  // of its own; it posts its progress and its result to the window.
  void StartMeasurement();
  void OnMeasured(LoopbackResult* result);
  // In the heard-delay mode, sets DELAY for the delay the user wants to
  // hear and says what that gives; else tells whether the mode can be had.
  void FollowHeardDelay();
  bool HeardMode() const;

  void CreateComponent();
  void Start();
  void Stop();
  bool Apply(const wchar_t* name, std::int32_t value, std::int32_t& applied);
  std::int32_t ReadReported();
  LRESULT AnswerState(WPARAM field);
  void ShowReported(std::int32_t reported);
  void ShowValues();
  void ShowStatus(const std::wstring& text);
  void ShowError(const HostError& error);
  void EnableSessionControls();
  std::optional<DelayRampSpec> ReadRamp(bool* valid);
  double Elapsed() const;

  int Position(int id) const;
  std::wstring Text(int id) const;
  void SetText(int id, const std::wstring& text);

  HWND dialog = nullptr;
  UINT stateMessage = 0;
  std::optional<ComponentSession> session;
  bool soundDevices = true;
  // The values the component last accepted, for the log and for drivers.
  LiveSettings applied{kPanelNoValue, kPanelNoValue, ShiftMethod::PhaseVocoder, kPanelNoValue, false};
  // "ZEL_MODE" as the component last accepted it; its method is in applied.
  std::int32_t appliedZelMode = kPanelNoValue;
  bool running = false;
  bool restarting = false;
  std::chrono::steady_clock::time_point started;
  int reports = 0;
  std::optional<DelayRampSpec> ramp;
  std::optional<SessionLog> log;
  std::thread measurement;
  bool measuring = false;
  // From the last measurement that succeeded, or the remembered one.
  std::wstring heardResult;
  std::wstring deviceLatencyMs;
};
