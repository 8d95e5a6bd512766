#include "support/ChildProcess.h"

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
  // Only the child holds the write end now: reading ends when it exits.
  writer.reset();
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(reader.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) result.output.append(buffer, read);
  if (WaitForSingleObject(processHandle.get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(processHandle.get(), 1);
    result.exitCode = STILL_ACTIVE;
    return result;
  }
  GetExitCodeProcess(processHandle.get(), &result.exitCode);
  return result;
}
