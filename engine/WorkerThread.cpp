#include "engine/WorkerThread.h"

#include <objbase.h>
#include <process.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

constexpr std::size_t kLoggedNameBytes = 30;

std::atomic<ThreadStartFunction> threadStart{&_beginthreadex};

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
  if (ownedThread) return E_FAIL;  // one thread per object
  // Created suspended so the handle is stored before the body can run and
  // mark the thread as ended.
  errno = 0;
  const std::uintptr_t created = threadStart.load()(nullptr, 0, &CWorkerThread::ThreadEntry, this, CREATE_SUSPENDED, nullptr);
  if (created == 0) {
    threadHandle.store(-1);
    const int error = errno;
    if (error == EAGAIN || error == EINVAL) return error;
    return E_FAIL;
  }
  ownedThread.reset(reinterpret_cast<HANDLE>(created));
  threadHandle.store(static_cast<std::intptr_t>(created));
  ResumeThread(ownedThread.get());
  return 0;
}

std::int32_t CWorkerThread::Wait(DWORD timeoutMs) {
  if (threadHandle.load() == -1) return 0;
  std::cout << "CWorkerThread - About to WaitForSingleObject" << std::endl;
  const DWORD result = WaitForSingleObject(ownedThread.get(), timeoutMs);
  std::cout << "CWorkerThread - Finished WaitForSingleObject" << std::endl;
  return result == WAIT_OBJECT_0 ? 0 : E_FAIL;
}

unsigned __stdcall CWorkerThread::ThreadEntry(void* object) {
  auto* self = static_cast<CWorkerThread*>(object);
  const auto address = reinterpret_cast<std::uintptr_t>(self);
  std::cout << self->name << " thread started, this=" << std::hex << address << std::dec << std::endl;

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  char loggedName[kLoggedNameBytes + 1];
  CopyLoggedName(self->name, loggedName);

  self->ThreadMain();

  const bool deleteSelf = self->deleteOnExit;
  std::cout << loggedName << " thread terminated, this=" << std::hex << address << std::dec
            << ", Delete=" << (deleteSelf ? 1 : 0) << std::endl;
  self->threadHandle.store(-1);
  if (deleteSelf) delete self;
  CoUninitialize();
  return 0;
}
