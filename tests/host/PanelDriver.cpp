// Drives a running rynpanel from outside, as a user's keys and clicks would,
// and checks what the component holds through the panel's state message.
//   panel_driver COMMAND ARGS... [COMMAND ARGS...]...
//     wait                      the panel's window answers
//     key ID right|left|pgup|pgdn|space   one key press on a control
//     select ID INDEX           choose a combo box item
//     check ID 0|1              set a check box
//     text ID STRING            set an edit box's text
//     click ID                  press a button
//     expect FIELD VALUE [TOL]  delay|shift|mode|volume|reported|engine|measuring, within 30 s
//     expect-text ID TEXT       the control's text contains TEXT, within 30 s
//     expect-enabled ID 0|1     whether the control is enabled
//     expect-ranges             the delay, shift and volume sliders span the
//                               component's ranges
//     sleep MS
//     rect                      prints the window's screen rectangle as WxH+X+Y
//     close                     closes the window and waits until it is gone
// With RYN_PANEL_DESKTOP set, looks for the panel on that desktop, waiting
// for the desktop as for the window.
// Exits 1 at the first failed step.

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ParameterRanges.h"
#include "host/panel/PanelIds.h"

namespace {

HWND g_panel = nullptr;
UINT g_stateMessage = 0;

[[noreturn]] void Fail(const std::string& what) {
  std::printf("FAILED: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

HWND Control(const char* id) {
  const HWND control = GetDlgItem(g_panel, std::atoi(id));
  if (control == nullptr) Fail(std::string("no control ") + id);
  return control;
}

std::string TextOf(HWND control) {
  wchar_t wide[512] = {};
  GetWindowTextW(control, wide, 512);
  char text[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

bool State(int field, long* value) {
  DWORD_PTR answer = static_cast<DWORD_PTR>(kPanelNoValue - 1);
  if (SendMessageTimeoutW(g_panel, g_stateMessage, field, 0, SMTO_ABORTIFHUNG, 5000, &answer) == 0) return false;
  *value = static_cast<long>(static_cast<LRESULT>(answer));
  return true;
}

int Field(const std::string& name) {
  const char* names[] = {"delay", "shift", "mode", "volume", "reported", "engine", "measuring"};
  for (int i = 0; i < 7; ++i) {
    if (name == names[i]) return i;
  }
  Fail("unknown field " + name);
}

WPARAM VirtualKey(const std::string& name) {
  if (name == "right") return VK_RIGHT;
  if (name == "left") return VK_LEFT;
  if (name == "pgup") return VK_PRIOR;
  if (name == "pgdn") return VK_NEXT;
  if (name == "space") return VK_SPACE;
  Fail("unknown key " + name);
}

void Wait() {
  for (int i = 0; i < 400; ++i) {
    g_panel = FindWindowW(nullptr, L"ryn panel");
    long engine = 0;
    if (g_panel != nullptr && State(kPanelEngine, &engine)) {
      std::printf("ok: the panel answers\n");
      return;
    }
    Sleep(50);
  }
  Fail("no panel window within 20 s");
}

void Expect(const std::string& name, long want, long tolerance) {
  long value = kPanelNoValue;
  for (int i = 0; i < 3000; ++i) {
    if (State(Field(name), &value) && value >= want - tolerance && value <= want + tolerance) {
      std::printf("ok: %s is %ld\n", name.c_str(), value);
      return;
    }
    Sleep(10);
  }
  Fail(name + " is " + std::to_string(value) + ", want " + std::to_string(want) + " +/- " +
       std::to_string(tolerance));
}

void ExpectText(const char* id, const std::string& want) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text = TextOf(Control(id));
    if (text.find(want) != std::string::npos) {
      std::printf("ok: control %s shows \"%s\"\n", id, text.c_str());
      return;
    }
    Sleep(10);
  }
  Fail(std::string("control ") + id + " shows \"" + text + "\", want \"" + want + "\"");
}

void ExpectRange(int id, const char* name, ParameterRange range) {
  const HWND slider = GetDlgItem(g_panel, id);
  const auto low = static_cast<long>(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0));
  const auto high = static_cast<long>(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0));
  if (low != range.low || high != range.high) {
    Fail(std::string("the ") + name + " slider spans " + std::to_string(low) + ".." + std::to_string(high) +
         ", the component " + std::to_string(range.low) + ".." + std::to_string(range.high));
  }
  std::printf("ok: the %s slider spans %ld..%ld\n", name, low, high);
}

// The desktop named `name`, once it exists: a Wine virtual desktop is
// created by the explorer that starts the panel, seconds after its launch.
HDESK OpenDesktopWhenThere(const char* name) {
  for (int i = 0; i < 400; ++i) {
    if (const HDESK desktop = OpenDesktopA(name, 0, FALSE, GENERIC_ALL)) return desktop;
    Sleep(50);
  }
  Fail(std::string("no desktop ") + name + " within 20 s");
}

}  // namespace

// Owns the desktop the driver joins for its life.
class DesktopHandle {
 public:
  explicit DesktopHandle(HDESK desktop) noexcept : desktop(desktop) {}
  DesktopHandle(const DesktopHandle&) = delete;
  DesktopHandle& operator=(const DesktopHandle&) = delete;
  ~DesktopHandle() {
    if (desktop != nullptr) CloseDesktop(desktop);
  }
  HDESK get() const noexcept { return desktop; }

 private:
  HDESK desktop;
};

int main(int argc, char** argv) {
  const char* desktopName = std::getenv("RYN_PANEL_DESKTOP");
  const DesktopHandle desktop(desktopName != nullptr ? OpenDesktopWhenThere(desktopName) : nullptr);
  if (desktopName != nullptr && !SetThreadDesktop(desktop.get())) {
    Fail(std::string("cannot join the desktop ") + desktopName);
  }
  g_stateMessage = RegisterWindowMessageW(kPanelStateMessage);
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    const auto arg = [&](int n) -> const char* {
      if (i + n >= argc) Fail("missing argument for " + command);
      return argv[i + n];
    };
    if (command == "wait") {
      Wait();
    } else if (g_panel == nullptr) {
      Fail("wait must come first");
    } else if (command == "key") {
      const HWND control = Control(arg(1));
      const WPARAM key = VirtualKey(arg(2));
      PostMessageW(control, WM_KEYDOWN, key, 1);
      PostMessageW(control, WM_KEYUP, key, 0xC0000001);
      i += 2;
    } else if (command == "select") {
      const HWND combo = Control(arg(1));
      SendMessageW(combo, CB_SETCURSEL, std::atoi(arg(2)), 0);
      SendMessageW(g_panel, WM_COMMAND, MAKEWPARAM(std::atoi(arg(1)), CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
      i += 2;
    } else if (command == "check") {
      SendMessageW(Control(arg(1)), BM_SETCHECK, std::atoi(arg(2)) ? BST_CHECKED : BST_UNCHECKED, 0);
      i += 2;
    } else if (command == "text") {
      wchar_t wide[512] = {};
      MultiByteToWideChar(CP_UTF8, 0, arg(2), -1, wide, 512);
      SendMessageW(Control(arg(1)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
      i += 2;
    } else if (command == "click") {
      SendMessageW(g_panel, WM_COMMAND, MAKEWPARAM(std::atoi(arg(1)), BN_CLICKED),
                   reinterpret_cast<LPARAM>(Control(arg(1))));
      i += 1;
    } else if (command == "expect") {
      const long tolerance = i + 3 < argc && std::strspn(argv[i + 3], "0123456789") == std::strlen(argv[i + 3])
                                 ? std::atol(argv[i + 3]) : -1;
      Expect(arg(1), std::atol(arg(2)), tolerance < 0 ? 0 : tolerance);
      i += tolerance < 0 ? 2 : 3;
    } else if (command == "expect-text") {
      ExpectText(arg(1), arg(2));
      i += 2;
    } else if (command == "expect-enabled") {
      const bool enabled = IsWindowEnabled(Control(arg(1))) != FALSE;
      if (enabled != (std::atoi(arg(2)) != 0)) Fail(std::string("control ") + arg(1) + " enabled " + (enabled ? "1" : "0"));
      std::printf("ok: control %s enabled %s\n", arg(1), arg(2));
      i += 2;
    } else if (command == "expect-ranges") {
      ExpectRange(IDC_DELAY, "delay", kDelayRangeMs);
      ExpectRange(IDC_SHIFT, "shift", kFrequencyShiftRange);
      ExpectRange(IDC_VOLUME, "volume", kVolumeRangePercent);
    } else if (command == "sleep") {
      Sleep(static_cast<DWORD>(std::atoi(arg(1))));
      i += 1;
    } else if (command == "rect") {
      RECT rect{};
      GetWindowRect(g_panel, &rect);
      std::printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
    } else if (command == "close") {
      PostMessageW(g_panel, WM_CLOSE, 0, 0);
      for (int wait = 0; wait < 400 && IsWindow(g_panel); ++wait) Sleep(50);
      if (IsWindow(g_panel)) Fail("the panel did not close");
      std::printf("ok: closed\n");
      g_panel = nullptr;
    } else {
      Fail("unknown command " + command);
    }
  }
  return 0;
}
