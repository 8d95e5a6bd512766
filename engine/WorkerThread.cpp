#include "engine/WorkerThread.h"

#include <objbase.h>
#include <process.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

namespace {

constexpr std::size_t kLoggedNameBytes = 30;
// How long a thread that could not be resumed is given to end once it has
// been terminated.
constexpr DWORD kTerminationWaitMs = 1000;

std::atomic<ThreadStartFunction> threadStart{&_beginthreadex};

// Writes the parts as one line to standard output in a single write, so
// that the lines of threads logging at the same time never run into each
// other. A line that cannot be built for want of memory is left out.
template <typename... Parts>
void LogLine(const Parts&... parts) noexcept {
  try {
    std::ostringstream line;
    (line << ... << parts) << '\n';
    const std::string text = line.str();
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
  } catch (...) {
  }
}

// The first 30 bytes of the name, never splitting a double-byte character.
void CopyLoggedName(const std::string& name, char (&out)[kLoggedNameBytes + 1]) {
  std::size_t i = 0;
  while (i < name.size() && i < kLoggedNameBytes) {
    if (IsDBCSLeadByte(static_cast<BYTE>(name[i]))) {
      if (i + 1 >= kLoggedNameBytes || i + 1 >= name.size()) break;
      out[i] = name[i];
      out[i + 1] = name[i + 1];
      i += 2;
    } else {
      out[i] = name[i];
      ++i;
    }
  }
  out[i] = '\0';
}

}  // namespace

void SetThreadStartFunction(ThreadStartFunction start) noexcept {
  threadStart.store(start != nullptr ? start : &_beginthreadex);
}

CWorkerThread::CWorkerThread(const char* threadName) : name(threadName != nullptr ? threadName : "") {}

CWorkerThread::~CWorkerThread() = default;

std::int32_t CWorkerThread::Start() {
  if (thread) return E_FAIL;  // one thread per object
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&CWorkerThread::ThreadEntry), &module)) {
    return E_FAIL;
  }
  moduleReference.reset(module);
  // Created suspended so that the thread finds its module reference in
  // place before it runs.
  errno = 0;
  const std::uintptr_t created = threadStart.load()(nullptr, 0, &CWorkerThread::ThreadEntry, this, CREATE_SUSPENDED, nullptr);
  if (created == 0) {
    const int error = errno;
    moduleReference.reset();
    if (error == EAGAIN || error == EINVAL) return error;
    return E_FAIL;
  }
  thread.reset(reinterpret_cast<HANDLE>(created));
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    // The body never ran. Once the thread is gone its reference is freed
    // here; a thread that cannot be seen to end keeps it, and counts as
    // running, so its owner keeps the object alive.
    TerminateThread(thread.get(), static_cast<DWORD>(E_FAIL));
    if (WaitForSingleObject(thread.get(), kTerminationWaitMs) == WAIT_OBJECT_0) moduleReference.reset();
    return E_FAIL;
  }
  return 0;
}

bool CWorkerThread::IsRunning() const noexcept {
  return thread && WaitForSingleObject(thread.get(), 0) != WAIT_OBJECT_0;
}

std::int32_t CWorkerThread::Wait(DWORD timeoutMs) {
  // The thread's own handle is signalled only once the thread has left the
  // module's code for good, so a successful wait means the object and the
  // module are free to go.
  if (!IsRunning()) return 0;
  LogLine("CWorkerThread - About to WaitForSingleObject");
  const DWORD result = WaitForSingleObject(thread.get(), timeoutMs);
  LogLine("CWorkerThread - Finished WaitForSingleObject");
  return result == WAIT_OBJECT_0 ? 0 : E_FAIL;
}

unsigned __stdcall CWorkerThread::ThreadEntry(void* object) {
  auto* self = static_cast<CWorkerThread*>(object);
  // Taken now: with deleteOnExit the object is gone before the thread ends.
  const HMODULE module = self->moduleReference.release();
  const auto address = reinterpret_cast<std::uintptr_t>(self);
  LogLine(self->name, " thread started, this=", std::hex, address);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  char loggedName[kLoggedNameBytes + 1];
  CopyLoggedName(self->name, loggedName);

  self->ThreadMain();

  const bool deleteSelf = self->deleteOnExit;
  LogLine(loggedName, " thread terminated, this=", std::hex, address, std::dec, ", Delete=", deleteSelf ? 1 : 0);
  if (deleteSelf) delete self;
  CoUninitialize();
  // Frees the module and ends the thread in one call that does not return
  // into it: the module may be unmapped the moment its reference goes.
  FreeLibraryAndExitThread(module, 0);
}
