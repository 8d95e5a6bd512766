#include "component/ClassFactory.h"

#include <new>

#include "component/Module.h"
#include "component/VelRyn.h"

HRESULT CClassFactory::Create(REFIID iid, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  auto* factory = new (std::nothrow) CClassFactory();
  if (factory == nullptr) return E_OUTOFMEMORY;
  factory->AddRef();
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

STDMETHODIMP CClassFactory::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() {
  CriticalSectionGuard guard(countSection);
  const LONG count = InterlockedIncrement(&refCount);
  if (count == 2) module::Lock();
  return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  LONG count = 0;
  {
    CriticalSectionGuard guard(countSection);
    count = InterlockedDecrement(&refCount);
    if (count == 1) module::Unlock();
  }
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return CVelRyn::CreateInstance(outer, iid, object);
}

STDMETHODIMP CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    module::Lock();
  } else {
    module::Unlock();
  }
  return S_OK;
}
