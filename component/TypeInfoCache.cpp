#include "component/TypeInfoCache.h"

#include <windows.h>
#include <oleauto.h>

#include <cwchar>
#include <memory>
#include <new>

#include "component/ComValues.h"
#include "component/Module.h"
#include "ryn_h.h"

// One entry per member of the type information: its name and dispatch id.
class CTypeInfoCache::CNameCache {
 public:
  static CNameCache* Build(ITypeInfo* typeInfo) noexcept;

  // True when every name is a member; ids then hold their dispatch ids.
  bool Find(LPOLESTR* requested, UINT count, DISPID* ids) const noexcept;

 private:
  struct Entry {
    UniqueBstr name;
    UINT length = 0;
    DISPID id = DISPID_UNKNOWN;
  };

  std::unique_ptr<Entry[]> entries;
  UINT count = 0;
};

CTypeInfoCache::CNameCache* CTypeInfoCache::CNameCache::Build(ITypeInfo* typeInfo) noexcept {
  TYPEATTR* attributes = nullptr;
  if (FAILED(typeInfo->GetTypeAttr(&attributes))) return nullptr;
  const UINT functions = attributes->cFuncs;
  typeInfo->ReleaseTypeAttr(attributes);

  std::unique_ptr<CNameCache> cache(new (std::nothrow) CNameCache());
  if (!cache) return nullptr;
  cache->entries.reset(new (std::nothrow) Entry[functions]);
  if (!cache->entries) return nullptr;
  for (UINT i = 0; i < functions; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(typeInfo->GetFuncDesc(i, &function))) return nullptr;
    const MEMBERID id = function->memid;
    typeInfo->ReleaseFuncDesc(function);
    Entry& entry = cache->entries[i];
    if (FAILED(typeInfo->GetDocumentation(id, entry.name.put(), nullptr, nullptr, nullptr))) return nullptr;
    entry.length = entry.name.Length();
    entry.id = id;
  }
  cache->count = functions;
  return cache.release();
}

bool CTypeInfoCache::CNameCache::Find(LPOLESTR* requested, UINT requestedCount, DISPID* ids) const noexcept {
  for (UINT n = 0; n < requestedCount; ++n) {
    const OLECHAR* name = requested[n];
    if (name == nullptr) return false;
    const std::size_t length = std::wcslen(name);
    bool found = false;
    for (UINT i = count; i-- > 0;) {
      const Entry& entry = entries[i];
      if (entry.length == length && std::wmemcmp(entry.name.get(), name, length) == 0) {
        ids[n] = entry.id;
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

HRESULT CTypeInfoCache::Load(LCID lcid, ITypeInfo** typeInfo) noexcept {
  *typeInfo = loaded.load();
  if (*typeInfo != nullptr) return S_OK;

  CriticalSectionGuard guard(module::Section());
  *typeInfo = loaded.load();
  if (*typeInfo != nullptr) return S_OK;

  ITypeLib* library = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_RYNLib, 1, 0, lcid, &library);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = library->GetTypeInfoOfGuid(iid, &info);
  library->Release();
  if (FAILED(hr)) return hr;

  hr = module::AddTerminationRoutine(&CTypeInfoCache::Release, this);
  if (FAILED(hr)) {
    info->Release();
    return hr;
  }
  names.store(CNameCache::Build(info));
  loaded.store(info);
  *typeInfo = info;
  return S_OK;
}

CTypeInfoCache::CNameCache* CTypeInfoCache::Names(ITypeInfo* typeInfo) noexcept {
  CNameCache* cache = names.load();
  if (cache != nullptr) return cache;
  CriticalSectionGuard guard(module::Section());
  cache = names.load();
  if (cache == nullptr) {
    cache = CNameCache::Build(typeInfo);
    names.store(cache);
  }
  return cache;
}

void CTypeInfoCache::Release(void* self) noexcept {
  auto* cache = static_cast<CTypeInfoCache*>(self);
  delete cache->names.exchange(nullptr);
  if (ITypeInfo* info = cache->loaded.exchange(nullptr)) info->Release();
}

HRESULT CTypeInfoCache::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) noexcept {
  if (typeInfo == nullptr) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* info = nullptr;
  const HRESULT hr = Load(lcid, &info);
  if (FAILED(hr)) return hr;
  info->AddRef();
  *typeInfo = info;
  return S_OK;
}

HRESULT CTypeInfoCache::GetIDsOfNames(LPOLESTR* requested, UINT count, LCID lcid, DISPID* ids) noexcept {
  ITypeInfo* info = nullptr;
  const HRESULT hr = Load(lcid, &info);
  if (FAILED(hr)) return hr;
  if (count > 0 && (requested == nullptr || ids == nullptr)) return E_INVALIDARG;
  const CNameCache* cache = Names(info);
  if (cache != nullptr && cache->Find(requested, count, ids)) return S_OK;
  return info->GetIDsOfNames(requested, count, ids);
}

HRESULT CTypeInfoCache::Invoke(IDispatch* target, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* argumentError) noexcept {
  ITypeInfo* info = nullptr;
  const HRESULT hr = Load(lcid, &info);
  if (FAILED(hr)) return hr;
  return info->Invoke(target, id, flags, params, result, exception, argumentError);
}
