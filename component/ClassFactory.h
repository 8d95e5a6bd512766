#pragma once

#include <windows.h>
#include <unknwn.h>

#include "component/CriticalSection.h"

// The class object of VelRyn. The module's cache holds its first reference;
// any reference beyond that is an outside hold and keeps the module locked.
class CClassFactory final : public IClassFactory {
 public:
  static HRESULT Create(REFIID iid, void** object) noexcept;

  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  CClassFactory() noexcept = default;
  ~CClassFactory() = default;

  // Makes the count change and the module lock that goes with it one step.
  CriticalSection countSection;
  LONG refCount = 0;
};
