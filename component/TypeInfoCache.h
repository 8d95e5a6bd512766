#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>

// Type information of one interface of RYNLib, loaded from the registered
// type library on first use and kept until the module terminates, with a
// cache of member names that answers GetIDsOfNames without the type
// information. A static instance per interface; its release is on the
// module's termination list, so it needs no destructor.
class CTypeInfoCache {
 public:
  explicit constexpr CTypeInfoCache(const IID& iid) noexcept : iid(iid) {}
  CTypeInfoCache(const CTypeInfoCache&) = delete;
  CTypeInfoCache& operator=(const CTypeInfoCache&) = delete;

  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) noexcept;
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept;
  HRESULT Invoke(IDispatch* target, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argumentError) noexcept;

 private:
  class CNameCache;

  // The type information, loaded under the module critical section when missing.
  HRESULT Load(LCID lcid, ITypeInfo** typeInfo) noexcept;
  // Builds the name cache under the module critical section when missing.
  CNameCache* Names(ITypeInfo* typeInfo) noexcept;
  static void Release(void* self) noexcept;

  const IID& iid;
  std::atomic<ITypeInfo*> loaded{nullptr};
  std::atomic<CNameCache*> names{nullptr};
};
