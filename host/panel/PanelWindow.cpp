#include "host/panel/PanelWindow.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <cwchar>
#include <memory>
#include <string>

#include "common/ParameterRanges.h"
#include "host/ComApartment.h"
#include "host/DelayRamp.h"
#include "host/panel/HeardDelay.h"
#include "host/panel/PanelIds.h"
#include "host/panel/PanelSettings.h"
#include "host/panel/PanelText.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 200;
// While the engine runs, a wanted heard delay is applied once typing has
// paused this long: every DELAY restarts the engine, and "150" typed key by
// key passes through "1" and "15" on its way.
constexpr UINT_PTR kHeardWantedTimer = 2;
constexpr UINT kHeardWantedPauseMs = 600;
// Posted by the measuring thread: wParam the share done in thousandths;
// and its result, an owned LoopbackResult* in lParam.
constexpr UINT kMeasureProgressMessage = WM_APP + 1;
constexpr UINT kMeasuredMessage = WM_APP + 2;

std::wstring Widen(const std::string& text, UINT codePage) {
  const int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<std::size_t>(length - 1), L'\0');
  MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage) {
  const int bytes = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string narrow(static_cast<std::size_t>(bytes - 1), '\0');
  WideCharToMultiByte(codePage, 0, text.c_str(), -1, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

bool IsTrackbar(HWND window) {
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  return lstrcmpiW(name, TRACKBAR_CLASSW) == 0;
}

// DirectSound needs both a capture and a playback device.
bool HasSoundDevices() { return waveInGetNumDevs() > 0 && waveOutGetNumDevs() > 0; }

}  // namespace

bool PanelWindow::Create(HINSTANCE instance) {
  stateMessage = RegisterWindowMessageW(kPanelStateMessage);
  dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PANEL), nullptr, &PanelWindow::DialogProc,
                              reinterpret_cast<LPARAM>(this));
  if (dialog == nullptr) return false;
  ShowWindow(dialog, SW_SHOW);
  return true;
}

bool PanelWindow::PreTranslate(MSG& message) {
  if (dialog == nullptr) return false;
  if (message.message == WM_KEYDOWN && message.wParam == VK_SPACE && IsTrackbar(message.hwnd) &&
      GetParent(message.hwnd) == dialog) {
    if (IsWindowEnabled(GetDlgItem(dialog, IDC_START))) OnCommand(IDC_START, BN_CLICKED);
    return true;
  }
  return IsDialogMessageW(dialog, &message) != FALSE;
}

INT_PTR CALLBACK PanelWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* panel = reinterpret_cast<PanelWindow*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    panel->dialog = window;
    panel->OnInit();
    return TRUE;
  }
  auto* panel = reinterpret_cast<PanelWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  return panel == nullptr ? FALSE : panel->Handle(message, wParam, lParam);
}

INT_PTR PanelWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == stateMessage && stateMessage != 0) {
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, AnswerState(wParam));
    return TRUE;
  }
  switch (message) {
    case WM_HSCROLL:
      OnScroll(reinterpret_cast<HWND>(lParam), LOWORD(wParam));
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_TIMER:
      if (wParam == kTickTimer) OnTimer();
      if (wParam == kHeardWantedTimer) {
        KillTimer(dialog, kHeardWantedTimer);
        if (HeardMode()) FollowHeardDelay();
      }
      return TRUE;
    case kMeasureProgressMessage:
      SendDlgItemMessageW(dialog, IDC_MEASURE_PROGRESS, PBM_SETPOS, wParam, 0);
      return TRUE;
    case kMeasuredMessage:
      OnMeasured(reinterpret_cast<LoopbackResult*>(lParam));
      return TRUE;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(dialog, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(dialog);
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return TRUE;
    default:
      return FALSE;
  }
}

void PanelWindow::OnInit() {
  const PanelSettings settings = LoadPanelSettings();
  const auto setRange = [this](int id, ParameterRange range, int line, int page, int position) {
    const HWND control = GetDlgItem(dialog, id);
    SendMessageW(control, TBM_SETRANGEMIN, TRUE, range.low);
    SendMessageW(control, TBM_SETRANGEMAX, TRUE, range.high);
    SendMessageW(control, TBM_SETLINESIZE, 0, line);
    SendMessageW(control, TBM_SETPAGESIZE, 0, page);
    // Moving from the low end makes every trackbar redraw its thumb, also
    // when the position equals the one it was created with.
    SendMessageW(control, TBM_SETPOS, FALSE, range.low);
    SendMessageW(control, TBM_SETPOS, TRUE, position);
  };
  setRange(IDC_DELAY, kDelayRangeMs, 1, 10, settings.delayMs);
  setRange(IDC_SHIFT, kFrequencyShiftRange, 1, 5, settings.frequencyShift);
  setRange(IDC_VOLUME, kVolumeRangePercent, 1, 10, settings.volume);
  const HWND method = GetDlgItem(dialog, IDC_METHOD);
  SendMessageW(method, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Phase vocoder (adds 93 ms to the delay)"));
  SendMessageW(method, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Resampling (no added delay, rougher sound)"));
  SendMessageW(method, CB_SETCURSEL, settings.zelMode - 1, 0);
  CheckDlgButton(dialog, IDC_RAMP, settings.rampEnabled ? BST_CHECKED : BST_UNCHECKED);
  SetText(IDC_RAMP_FROM, settings.rampFromMs);
  SetText(IDC_RAMP_TO, settings.rampToMs);
  SetText(IDC_RAMP_MINUTES, settings.rampMinutes);
  SetText(IDC_LOG, settings.logPath);
  heardResult = settings.heardResult;
  deviceLatencyMs = settings.deviceLatencyMs;
  SetText(IDC_HEARD, heardResult.empty() ? L"\u2014" : heardResult);
  // Four digits: up to 9999 ms, far past what DELAY can give.
  SendDlgItemMessageW(dialog, IDC_HEARD_WANTED, EM_LIMITTEXT, 4, 0);
  SetText(IDC_HEARD_WANTED, settings.heardWantedMs);
  CheckDlgButton(dialog, IDC_HEARD_MODE, settings.heardMode && !deviceLatencyMs.empty() ? BST_CHECKED : BST_UNCHECKED);
  FollowHeardDelay();
  SendDlgItemMessageW(dialog, IDC_MEASURE_PROGRESS, PBM_SETRANGE32, 0, 1000);
  SetText(IDC_REPORTED, L"\u2014");
  SetText(IDC_CLOCK, ClockText(0));
  ShowValues();

  CreateComponent();
  EnableSessionControls();
}

void PanelWindow::CreateComponent() {
  LoadedComponent component;
  const HRESULT created = LoadedComponent::Create(&component);
  if (FAILED(created)) {
    ShowError(HostError(created, "Register the ryn component with \"regsvr32 ryn.dll\", or put ryn.dll beside "
                                 "rynpanel.exe. It could not be created: " + DescribeFailure(created)));
    return;
  }
  session.emplace(std::move(component));
  soundDevices = HasSoundDevices();
  Apply(L"DELAY", Position(IDC_DELAY), applied.delayMs);
  Apply(L"FREQUENCY_SHIFT", Position(IDC_SHIFT), applied.frequencyShift);
  Apply(L"ZEL_MODE", static_cast<std::int32_t>(SendDlgItemMessageW(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0)) + 1,
        appliedZelMode);
  Apply(L"VOLUME", Position(IDC_VOLUME), applied.volume);
  if (!soundDevices) {
    ShowStatus(L"No sound device was found. Connect a microphone and headphones, then open the panel again.");
  } else if (Text(IDC_STATUS).empty()) {
    ShowStatus(L"Ready. Press Start (Alt+S, or Space on a slider).");
  }
}

void PanelWindow::OnScroll(HWND control, int code) {
  ShowValues();
  if (code != TB_ENDTRACK && code != TB_THUMBPOSITION) return;
  const int id = GetDlgCtrlID(control);
  const std::int32_t position = Position(id);
  if (id == IDC_DELAY && position != applied.delayMs) {
    Apply(L"DELAY", position, applied.delayMs);
  } else if (id == IDC_SHIFT && position != applied.frequencyShift) {
    Apply(L"FREQUENCY_SHIFT", position, applied.frequencyShift);
  } else if (id == IDC_VOLUME && position != applied.volume) {
    Apply(L"VOLUME", position, applied.volume);
  }
}

void PanelWindow::OnCommand(int id, int code) {
  if (id == IDC_MEASURE && code == BN_CLICKED) {
    StartMeasurement();
  } else if (id == IDC_START && code == BN_CLICKED) {
    if (running) {
      Stop();
    } else {
      Start();
    }
  } else if (id == IDC_HEARD_MODE && code == BN_CLICKED) {
    FollowHeardDelay();
    EnableSessionControls();
  } else if (id == IDC_HEARD_WANTED && code == EN_CHANGE) {
    if (!HeardMode()) return;
    if (running) {
      SetTimer(dialog, kHeardWantedTimer, kHeardWantedPauseMs, nullptr);
    } else {
      FollowHeardDelay();
    }
  } else if (id == IDC_METHOD && code == CBN_SELCHANGE) {
    const auto mode = static_cast<std::int32_t>(SendDlgItemMessageW(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0)) + 1;
    if (mode != appliedZelMode) Apply(L"ZEL_MODE", mode, appliedZelMode);
  }
}

bool PanelWindow::Apply(const wchar_t* name, std::int32_t value, std::int32_t& appliedValue) {
  if (!session) return false;
  try {
    session->Set(name, value);
  } catch (const HostError& error) {
    ShowError(error);
    return false;
  }
  appliedValue = value;
  if (&appliedValue == &appliedZelMode) applied.shiftMethod = ShiftMethodOfZelMode(value).value_or(applied.shiftMethod);
  // Every parameter but the volume restarts a running engine.
  if (running && &appliedValue != &applied.volume) {
    restarting = true;
    SetText(IDC_REPORTED, L"restarting");
  }
  return true;
}

std::optional<DelayRampSpec> PanelWindow::ReadRamp(bool* valid) {
  *valid = true;
  // The heard-delay mode holds DELAY itself; the ramp's controls are
  // disabled meanwhile.
  if (IsDlgButtonChecked(dialog, IDC_RAMP) != BST_CHECKED || HeardMode()) return std::nullopt;
  const std::wstring from = Text(IDC_RAMP_FROM);
  const std::wstring to = Text(IDC_RAMP_TO);
  const std::wstring minutes = Text(IDC_RAMP_MINUTES);
  wchar_t* end = nullptr;
  DelayRampSpec program;
  const long fromMs = std::wcstol(from.c_str(), &end, 10);
  *valid = !from.empty() && *end == L'\0' && fromMs >= kDelayRangeMs.low && fromMs <= kDelayRangeMs.high;
  const long toMs = std::wcstol(to.c_str(), &end, 10);
  *valid = *valid && !to.empty() && *end == L'\0' && toMs >= kDelayRangeMs.low && toMs <= kDelayRangeMs.high;
  const double length = std::wcstod(minutes.c_str(), &end);
  *valid = *valid && !minutes.empty() && *end == L'\0' && length > 0 && length <= 24 * 60;
  if (!*valid) return std::nullopt;
  program.fromMs = static_cast<std::int32_t>(fromMs);
  program.toMs = static_cast<std::int32_t>(toMs);
  program.seconds = length * 60;
  return program;
}

void PanelWindow::Start() {
  if (!session) return;
  bool rampValid = true;
  std::optional<DelayRampSpec> wantedRamp = ReadRamp(&rampValid);
  if (!rampValid) {
    ShowStatus(L"The ramp needs From and To between " + std::to_wstring(kDelayRangeMs.low) + L" and " +
               std::to_wstring(kDelayRangeMs.high) + L" ms and a number of minutes above 0.");
    SetFocus(GetDlgItem(dialog, IDC_RAMP_FROM));
    return;
  }
  try {
    log.emplace(Narrow(Text(IDC_LOG), CP_ACP));
    if (!deviceLatencyMs.empty()) log->SetDeviceLatency(std::wcstod(deviceLatencyMs.c_str(), nullptr));
    if (wantedRamp && wantedRamp->fromMs != applied.delayMs) {
      SendDlgItemMessageW(dialog, IDC_DELAY, TBM_SETPOS, TRUE, wantedRamp->fromMs);
      ShowValues();
      session->Set(L"DELAY", wantedRamp->fromMs);
      applied.delayMs = wantedRamp->fromMs;
    }
    session->Run();
  } catch (const HostError& error) {
    log.reset();
    ShowError(error);
    return;
  }
  ramp = wantedRamp;
  running = true;
  restarting = false;
  started = std::chrono::steady_clock::now();
  reports = 0;
  SetText(IDC_START, L"&Stop");
  SetText(IDC_REPORTED, L"starting");
  SetText(IDC_CLOCK, ClockText(0));
  ShowStatus(ramp ? L"Running the ramp program." : L"Running.");
  EnableSessionControls();
  SetTimer(dialog, kTickTimer, kTickMs, nullptr);
}

void PanelWindow::Stop() {
  KillTimer(dialog, kTickTimer);
  const double elapsed = Elapsed();
  if (log) log->Row(elapsed, applied, ReadReported());
  log.reset();
  running = false;
  restarting = false;
  ramp.reset();
  SetText(IDC_START, L"&Start");
  SetText(IDC_REPORTED, L"\u2014");
  EnableSessionControls();
  try {
    session->Stop();
  } catch (const HostError& error) {
    ShowError(error);
    return;
  }
  ShowStatus(L"Stopped after " + ClockText(elapsed) + L".");
}

void PanelWindow::OnTimer() {
  const double elapsed = Elapsed();
  if (ramp) {
    const std::int32_t wanted = DelayAt(*ramp, elapsed);
    if (wanted != applied.delayMs) {
      SendDlgItemMessageW(dialog, IDC_DELAY, TBM_SETPOS, TRUE, wanted);
      ShowValues();
      Apply(L"DELAY", wanted, applied.delayMs);
    }
  }
  if (elapsed < reports) return;
  ++reports;
  const std::int32_t reported = ReadReported();
  if (log) log->Row(elapsed, applied, reported);
  SetText(IDC_CLOCK, ClockText(elapsed));
  ShowReported(reported);
}

void PanelWindow::ShowReported(std::int32_t reported) {
  if (session->Starting()) {
    SetText(IDC_REPORTED, restarting ? L"restarting" : L"starting");
    return;
  }
  restarting = false;
  wchar_t text[32];
  std::swprintf(text, 32, L"%d ms", reported);
  SetText(IDC_REPORTED, text);
}

std::int32_t PanelWindow::ReadReported() {
  try {
    return session->ReportedDelay();
  } catch (const HostError& error) {
    ShowError(error);
    return kPanelNoValue;
  }
}

LRESULT PanelWindow::AnswerState(WPARAM field) {
  switch (field) {
    case kPanelDelay: return applied.delayMs;
    case kPanelFrequencyShift: return applied.frequencyShift;
    case kPanelZelMode: return appliedZelMode;
    case kPanelVolume: return applied.volume;
    case kPanelReportedDelay: {
      if (!session) return kPanelNoValue;
      try {
        return session->ReportedDelay();
      } catch (const HostError&) {
        return kPanelNoValue;
      }
    }
    case kPanelEngine:
      if (!running) return 0;
      return session->Starting() ? 1 : 2;
    case kPanelMeasuring:
      return measuring ? 1 : 0;
    default:
      return kPanelNoValue;
  }
}

void PanelWindow::ShowValues() {
  wchar_t text[32];
  std::swprintf(text, 32, L"%d ms", Position(IDC_DELAY));
  SetText(IDC_DELAY_VALUE, text);
  SetText(IDC_SHIFT_VALUE, ShiftText(Position(IDC_SHIFT)));
  std::swprintf(text, 32, L"%d %%", Position(IDC_VOLUME));
  SetText(IDC_VOLUME_VALUE, text);
}

void PanelWindow::ShowStatus(const std::wstring& text) { SetText(IDC_STATUS, text); }

void PanelWindow::ShowError(const HostError& error) { ShowStatus(Widen(FormatHostError(error), CP_UTF8)); }

void PanelWindow::StartMeasurement() {
  if (running || measuring || !session || !soundDevices) return;
  measuring = true;
  EnableSessionControls();
  SendDlgItemMessageW(dialog, IDC_MEASURE_PROGRESS, PBM_SETPOS, 0, 0);
  ShowStatus(L"Measuring the delay you hear: keep the headphones at the microphone for about 15 seconds.");
  const std::int32_t delayMs = Position(IDC_DELAY);
  const HWND window = dialog;
  measurement = std::thread([window, delayMs] {
    auto result = std::make_unique<LoopbackResult>();
    try {
      ComApartment apartment;
      if (FAILED(apartment.Result())) throw HostError(apartment.Result(), "CoInitializeEx failed");
      LoadedComponent component;
      const HRESULT created = LoadedComponent::Create(&component);
      if (FAILED(created)) throw HostError(created, "the component could not be created: " + DescribeFailure(created));
      ComponentSession own(std::move(component));
      *result = LoopbackMeasurement(own, delayMs).Run([window](double share) {
        PostMessageW(window, kMeasureProgressMessage, static_cast<WPARAM>(share * 1000), 0);
      });
    } catch (const HostError& error) {
      result->text = FormatHostError(error);
    } catch (const std::exception& error) {
      result->text = error.what();
    }
    PostMessageW(window, kMeasuredMessage, 0, reinterpret_cast<LPARAM>(result.release()));
  });
}

void PanelWindow::OnMeasured(LoopbackResult* posted) {
  const std::unique_ptr<LoopbackResult> result(posted);
  if (measurement.joinable()) measurement.join();
  measuring = false;
  if (dialog == nullptr) return;
  EnableSessionControls();
  if (result->Measured()) {
    wchar_t text[64];
    std::swprintf(text, 64, L"%.0f ms at %d ms (devices %.0f ms)", result->heard.ms, result->delayMs,
                  result->devices.ms);
    heardResult = text;
    std::swprintf(text, 64, L"%.1f", result->devices.ms);
    deviceLatencyMs = text;
    SetText(IDC_HEARD, heardResult);
    FollowHeardDelay();
    EnableSessionControls();
  }
  ShowStatus(Widen(result->text, CP_UTF8));
}

void PanelWindow::EnableSessionControls() {
  EnableWindow(GetDlgItem(dialog, IDC_MEASURE), session && soundDevices && !running && !measuring);
  EnableWindow(GetDlgItem(dialog, IDC_START), session && soundDevices && !measuring);
  for (const int id : {IDC_RAMP, IDC_RAMP_FROM, IDC_RAMP_TO, IDC_RAMP_MINUTES}) {
    EnableWindow(GetDlgItem(dialog, id), !running && !HeardMode());
  }
  EnableWindow(GetDlgItem(dialog, IDC_LOG), !running);
  // The mode needs the devices' latency; a running ramp holds DELAY itself.
  EnableWindow(GetDlgItem(dialog, IDC_HEARD_MODE), !deviceLatencyMs.empty() && !ramp);
  EnableWindow(GetDlgItem(dialog, IDC_HEARD_WANTED), HeardMode());
  EnableWindow(GetDlgItem(dialog, IDC_DELAY), !HeardMode());
}

bool PanelWindow::HeardMode() const {
  return !deviceLatencyMs.empty() && IsDlgButtonChecked(dialog, IDC_HEARD_MODE) == BST_CHECKED;
}

void PanelWindow::FollowHeardDelay() {
  if (deviceLatencyMs.empty()) {
    SetText(IDC_HEARD_NOTE, L"Measure the delay you hear first; then the panel can set DELAY for the delay you "
                            L"want to hear.");
    return;
  }
  const double latencyMs = std::wcstod(deviceLatencyMs.c_str(), nullptr);
  if (!HeardMode()) {
    wchar_t text[64];
    std::swprintf(text, 64, L"Your devices add %.0f ms to DELAY.", latencyMs);
    SetText(IDC_HEARD_NOTE, text);
    return;
  }
  const std::wstring wanted = Text(IDC_HEARD_WANTED);
  wchar_t* end = nullptr;
  const long wantedMs = std::wcstol(wanted.c_str(), &end, 10);
  if (wanted.empty() || *end != L'\0' || wantedMs <= 0) {
    SetText(IDC_HEARD_NOTE, L"Type the delay you want to hear, in ms.");
    return;
  }
  const HeardDelayPlan plan = PlanHeardDelay(static_cast<std::int32_t>(wantedMs), latencyMs);
  SendDlgItemMessageW(dialog, IDC_DELAY, TBM_SETPOS, TRUE, plan.delayMs);
  ShowValues();
  SetText(IDC_HEARD_NOTE, HeardDelayNote(plan));
  if (plan.delayMs != applied.delayMs) Apply(L"DELAY", plan.delayMs, applied.delayMs);
}

void PanelWindow::OnDestroy() {
  if (running) Stop();
  // The measurement's result is posted to a window that is going; it is
  // taken here and freed.
  if (measurement.joinable()) {
    measurement.join();
    MSG pending;
    while (PeekMessageW(&pending, dialog, kMeasuredMessage, kMeasuredMessage, PM_REMOVE)) {
      OnMeasured(reinterpret_cast<LoopbackResult*>(pending.lParam));
    }
  }
  PanelSettings settings;
  settings.delayMs = Position(IDC_DELAY);
  settings.frequencyShift = Position(IDC_SHIFT);
  settings.zelMode = static_cast<std::int32_t>(SendDlgItemMessageW(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0)) + 1;
  settings.volume = Position(IDC_VOLUME);
  settings.rampEnabled = IsDlgButtonChecked(dialog, IDC_RAMP) == BST_CHECKED;
  settings.rampFromMs = Text(IDC_RAMP_FROM);
  settings.rampToMs = Text(IDC_RAMP_TO);
  settings.rampMinutes = Text(IDC_RAMP_MINUTES);
  settings.logPath = Text(IDC_LOG);
  settings.heardResult = heardResult;
  settings.deviceLatencyMs = deviceLatencyMs;
  settings.heardMode = HeardMode();
  settings.heardWantedMs = Text(IDC_HEARD_WANTED);
  SavePanelSettings(settings);
  session.reset();
  dialog = nullptr;
  PostQuitMessage(0);
}

double PanelWindow::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

int PanelWindow::Position(int id) const {
  return static_cast<int>(SendDlgItemMessageW(dialog, id, TBM_GETPOS, 0, 0));
}

std::wstring PanelWindow::Text(int id) const {
  const HWND control = GetDlgItem(dialog, id);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

void PanelWindow::SetText(int id, const std::wstring& text) { SetDlgItemTextW(dialog, id, text.c_str()); }
