#include "component/Module.h"

#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <atomic>
#include <new>

#include "component/ClassFactory.h"
#include "component/Registration.h"
#include "engine/RynManager.h"
#include "ryn_h.h"

namespace module {

namespace {

struct TerminationNode {
  TerminationRoutine routine;
  void* context;
  TerminationNode* next;
};

HINSTANCE instance = nullptr;
LONG lockCount = 0;
CriticalSection section;
TerminationNode* terminationList = nullptr;
// The one class object, created on first request and kept until termination.
std::atomic<IUnknown*> classObject{nullptr};

// The cached class object, created under the module critical section on the
// first request.
HRESULT GetClassObject(REFIID iid, void** object) noexcept {
  IUnknown* cached = classObject.load();
  if (cached == nullptr) {
    CriticalSectionGuard guard(section);
    cached = classObject.load();
    if (cached == nullptr) {
      const HRESULT hr = CClassFactory::Create(IID_IUnknown, reinterpret_cast<void**>(&cached));
      if (FAILED(hr)) return hr;
      classObject.store(cached);
    }
  }
  return cached->QueryInterface(iid, object);
}

}  // namespace

void Initialize(HINSTANCE moduleInstance) noexcept {
  instance = moduleInstance;
  lockCount = 0;
}

void Terminate() noexcept {
  if (IUnknown* cached = classObject.exchange(nullptr)) cached->Release();
  TerminationNode* node = nullptr;
  {
    CriticalSectionGuard guard(section);
    node = terminationList;
    terminationList = nullptr;
  }
  while (node != nullptr) {
    TerminationNode* next = node->next;
    node->routine(node->context);
    delete node;
    node = next;
  }
}

HINSTANCE Instance() noexcept { return instance; }

void Lock() noexcept { InterlockedIncrement(&lockCount); }
void Unlock() noexcept { InterlockedDecrement(&lockCount); }
LONG LockCount() noexcept { return InterlockedCompareExchange(&lockCount, 0, 0); }

CriticalSection& Section() noexcept { return section; }

HRESULT AddTerminationRoutine(TerminationRoutine routine, void* context) noexcept {
  auto* node = new (std::nothrow) TerminationNode{routine, context, nullptr};
  if (node == nullptr) return E_OUTOFMEMORY;
  CriticalSectionGuard guard(section);
  node->next = terminationList;
  terminationList = node;
  return S_OK;
}

}  // namespace module

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      module::Initialize(instance);
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      module::Terminate();
      break;
    default:
      break;
  }
  return TRUE;
}

// A running engine keeps the module loaded even when no object is left: its
// capture thread runs code of this module until the engine is stopped.
STDAPI DllCanUnloadNow() {
  return module::LockCount() == 0 && !CRynManager::IsModuleEngineRunning() ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_VelRyn)) return CLASS_E_CLASSNOTAVAILABLE;
  return module::GetClassObject(iid, object);
}

STDAPI DllRegisterServer() { return RegisterServer(); }

STDAPI DllUnregisterServer() { return UnregisterServer(); }

// regsvr32 /n /i:user registers for the current user only, regsvr32 /u /n
// /i:user removes that again.
STDAPI DllInstall(BOOL install, PCWSTR commandLine) { return InstallServer(install != FALSE, commandLine); }
