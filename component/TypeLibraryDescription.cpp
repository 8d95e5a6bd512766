#include "component/TypeLibraryDescription.h"

#include <oleauto.h>

#include <string>

#include "component/ComValues.h"
#include "component/RegistryText.h"

namespace {

// The automation marshallers: for dispatch-only interfaces, and for dual and
// automation-compatible ones.
constexpr char kDispatchProxyStub[] = "{00020420-0000-0000-C000-000000000046}";
constexpr char kAutomationProxyStub[] = "{00020424-0000-0000-C000-000000000046}";

HRESULT Text(const wchar_t* text, std::string& converted) {
  converted.clear();
  if (text == nullptr) return S_OK;
  return ExactRegistryText(text, converted);
}

HRESULT GuidText(REFGUID guid, std::string& converted) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return Text(text, converted);
}

// Name (or description) of a library member, index -1 for the library;
// empty when the library has none.
HRESULT Documentation(ITypeLib* library, INT index, bool description, std::string& converted) {
  UniqueBstr name;
  UniqueBstr doc;
  converted.clear();
  if (FAILED(library->GetDocumentation(index, name.put(), doc.put(), nullptr, nullptr))) return S_OK;
  return Text(description ? doc.get() : name.get(), converted);
}

// The entry of one type of the library, when registration lists it: a
// dispatch interface, or an interface marked for automation.
HRESULT DescribeInterface(ITypeLib* library, UINT index, TypeLibraryEntry& entry) {
  TYPEKIND kind = TKIND_MAX;
  if (FAILED(library->GetTypeInfoType(index, &kind))) return S_OK;
  if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) return S_OK;
  ITypeInfo* info = nullptr;
  if (FAILED(library->GetTypeInfo(index, &info))) return S_OK;
  TYPEATTR* type = nullptr;
  HRESULT hr = S_OK;
  if (SUCCEEDED(info->GetTypeAttr(&type))) {
    const bool automation = (type->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) != 0;
    if (kind == TKIND_DISPATCH || automation) {
      TypeLibraryEntry::Interface item;
      item.proxyStubClassId = automation ? kAutomationProxyStub : kDispatchProxyStub;
      hr = GuidText(type->guid, item.id);
      if (SUCCEEDED(hr)) hr = Documentation(library, static_cast<INT>(index), false, item.name);
      if (SUCCEEDED(hr)) entry.interfaces.push_back(item);
    }
    info->ReleaseTypeAttr(type);
  }
  info->Release();
  return hr;
}

}  // namespace

HRESULT DescribeTypeLibrary(ITypeLib* library, TypeLibraryEntry& entry) {
  TLIBATTR* attributes = nullptr;
  HRESULT hr = library->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  hr = GuidText(attributes->guid, entry.libraryId);
  entry.majorVersion = attributes->wMajorVerNum;
  entry.minorVersion = attributes->wMinorVerNum;
  entry.lcid = attributes->lcid;
  entry.flags = attributes->wLibFlags;
  entry.platform = attributes->syskind == SYS_WIN64 ? "win64" : "win32";
  library->ReleaseTLibAttr(attributes);
  if (SUCCEEDED(hr)) hr = Documentation(library, -1, true, entry.description);
  entry.interfaces.clear();
  const UINT count = library->GetTypeInfoCount();
  for (UINT index = 0; index < count && SUCCEEDED(hr); ++index) hr = DescribeInterface(library, index, entry);
  return hr;
}
