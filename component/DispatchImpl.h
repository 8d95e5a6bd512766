#pragma once

#include <windows.h>
#include <oaidl.h>

#include "component/TypeInfoCache.h"

// IDispatch of one dual interface, served from that interface's type
// information. IUnknown stays with the deriving class.
template <typename Interface, const IID* InterfaceId>
class CDispatchImpl : public Interface {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) override {
    return Cache().GetTypeInfo(index, lcid, typeInfo);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return Cache().GetIDsOfNames(names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argumentError) override {
    return Cache().Invoke(static_cast<Interface*>(this), id, lcid, flags, params, result, exception,
                          argumentError);
  }

 protected:
  CDispatchImpl() noexcept = default;
  ~CDispatchImpl() = default;

 private:
  static CTypeInfoCache& Cache() noexcept {
    static CTypeInfoCache cache(*InterfaceId);
    return cache;
  }
};
