#include "support/ChildProcess.h"

#include <algorithm>
#include <vector>

#include "common/UniqueHandle.h"

ChildProcessResult RunChildProcess(const std::wstring& commandLine, DWORD timeoutMs) {
  ChildProcessResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
  UniqueHandle reader(readEnd);
  UniqueHandle writer(writeEnd);
  SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = writer.get();
  startup.hStdError = writer.get();
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
  command.push_back(L'\0');
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return result;
  }
  result.started = true;
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  // Only the child (and what it starts) holds the write end now.
  writer.reset();
  // The output is read as it comes, so the time-out holds however the
  // program hangs: a full pipe or a process that never exits.
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool exited = false;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // every writer is gone
    if (available > 0) {
      char buffer[4096];
      DWORD read = 0;
      if (!ReadFile(reader.get(), buffer, std::min<DWORD>(available, sizeof buffer), &read, nullptr)) break;
      result.output.append(buffer, read);
      continue;
    }
    if (GetTickCount64() >= deadline) break;
    if (!exited) exited = WaitForSingleObject(processHandle.get(), 10) == WAIT_OBJECT_0;
    else Sleep(10);
  }
  // A pipe broken by the exit may be seen before the exit itself.
  const ULONGLONG now = GetTickCount64();
  if (WaitForSingleObject(processHandle.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0) !=
      WAIT_OBJECT_0) {
    TerminateProcess(processHandle.get(), 1);
    result.exitCode = STILL_ACTIVE;
    return result;
  }
  GetExitCodeProcess(processHandle.get(), &result.exitCode);
  return result;
}
