// Runs a script client of the component under a script host, giving the
// script as its one argument the description the component reports for a
// value that does not convert (DISP_E_TYPEMISMATCH) on this system: the
// system's text where it has one, the component's fallback otherwise. The
// script's output is passed on, and the script host's exit code returned.
// The script ends within a second; a script host that hangs is reported
// with what it printed and run once more, and a second hang fails.
//   script_client_runner CSCRIPT.EXE SCRIPT

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "component/ComTestSupport.h"
#include "support/ChildProcess.h"

namespace {

// The argument quoted so that the command-line parser gives it back
// unchanged: backslashes are doubled only before a quote.
std::wstring Quoted(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// Frees what CommandLineToArgvW allocated.
class Arguments {
 public:
  Arguments() noexcept : values(CommandLineToArgvW(GetCommandLineW(), &count)) {}
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  ~Arguments() {
    if (values != nullptr) LocalFree(values);
  }
  int size() const noexcept { return values == nullptr ? 0 : count; }
  const wchar_t* operator[](int i) const noexcept { return values[i]; }

 private:
  int count = 0;
  wchar_t** values;
};

}  // namespace

int main() {
  const Arguments arguments;
  if (arguments.size() != 3) {
    std::printf("FAIL: usage: script_client_runner CSCRIPT.EXE SCRIPT\n");
    return 2;
  }
  const std::wstring typeMismatch = comtest::ExpectedDescription(DISP_E_TYPEMISMATCH, L"Unknown error 0x80020005");
  const std::wstring command =
      Quoted(arguments[1]) + L" //nologo " + Quoted(arguments[2]) + L" " + Quoted(typeMismatch);
  constexpr DWORD kHangMs = 45000;
  for (int attempt = 1;; ++attempt) {
    const ChildProcessResult run = RunChildProcess(command, kHangMs);
    if (!run.started) {
      std::wprintf(L"FAIL: %ls did not start\n", arguments[1]);
      return 1;
    }
    std::fwrite(run.output.data(), 1, run.output.size(), stdout);
    if (run.exitCode != STILL_ACTIVE) return static_cast<int>(run.exitCode);
    if (attempt == 2) {
      std::printf("\nFAIL: the script host hung twice, each time for %lu s\n", kHangMs / 1000);
      return 1;
    }
    std::printf("\nthe script host hung for %lu s after the output above; it is ended and run once more\n",
                kHangMs / 1000);
  }
}
