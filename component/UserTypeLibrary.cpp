#include "component/UserTypeLibrary.h"

#include <oleauto.h>

#include <new>
#include <string>

#include "component/ComValues.h"
#include "component/PerUserRegistryAccess.h"
#include "component/RegistryScript.h"
#include "component/RegistryText.h"
#include "component/TypeLibraryScript.h"
#include "component/Win32RegistryAccess.h"

namespace {

// The automation marshallers: for dispatch-only interfaces, and for dual and
// automation-compatible ones.
constexpr char kDispatchProxyStub[] = "{00020420-0000-0000-C000-000000000046}";
constexpr char kAutomationProxyStub[] = "{00020424-0000-0000-C000-000000000046}";

// Thrown by the texts below; turned back into its result at the end.
struct TextFailure {
  HRESULT result;
};

std::string Text(const wchar_t* text) {
  std::string converted;
  if (text == nullptr) return converted;
  const HRESULT hr = ExactRegistryText(text, converted);
  if (FAILED(hr)) throw TextFailure{hr};
  return converted;
}

std::string PathText(const wchar_t* path) {
  std::string converted;
  const HRESULT hr = RegistryPathText(path, converted);
  if (FAILED(hr)) throw TextFailure{hr};
  return converted;
}

std::string GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return Text(text);
}

// Name (or description, for index -1) of a library member.
std::string Documentation(ITypeLib* library, INT index, bool description) {
  UniqueBstr name;
  UniqueBstr doc;
  if (FAILED(library->GetDocumentation(index, name.put(), doc.put(), nullptr, nullptr))) return {};
  return Text(description ? doc.get() : name.get());
}

// What registration writes for this library, as RegisterTypeLib would.
HRESULT Describe(ITypeLib* library, const wchar_t* path, const wchar_t* helpDirectory, TypeLibraryEntry& entry) {
  TLIBATTR* attributes = nullptr;
  HRESULT hr = library->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  entry.libraryId = GuidText(attributes->guid);
  entry.majorVersion = attributes->wMajorVerNum;
  entry.minorVersion = attributes->wMinorVerNum;
  entry.lcid = attributes->lcid;
  entry.flags = attributes->wLibFlags;
  entry.platform = attributes->syskind == SYS_WIN64 ? "win64" : "win32";
  library->ReleaseTLibAttr(attributes);
  entry.description = Documentation(library, -1, true);
  entry.path = PathText(path);
  entry.helpDirectory = PathText(helpDirectory);

  const UINT count = library->GetTypeInfoCount();
  for (UINT index = 0; index < count; ++index) {
    TYPEKIND kind = TKIND_MAX;
    if (FAILED(library->GetTypeInfoType(index, &kind))) continue;
    if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH) continue;
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetTypeInfo(index, &info))) continue;
    TYPEATTR* type = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&type))) {
      const bool automation = (type->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) != 0;
      if (kind == TKIND_DISPATCH || automation) {
        entry.interfaces.push_back({GuidText(type->guid), Documentation(library, static_cast<INT>(index), false),
                                    automation ? kAutomationProxyStub : kDispatchProxyStub});
      }
      info->ReleaseTypeAttr(type);
    }
    info->Release();
  }
  return S_OK;
}

}  // namespace

HRESULT RunUserTypeLibraryScript(ITypeLib* library, const wchar_t* path, const wchar_t* helpDirectory,
                                 bool registerMode) noexcept {
  try {
    TypeLibraryEntry entry;
    const HRESULT hr = Describe(library, path, helpDirectory, entry);
    if (FAILED(hr)) return hr;
    const std::string script = BuildTypeLibraryScript(entry);
    CWin32RegistryAccess machine;
    CPerUserRegistryAccess user(machine);
    CRegistryScript interpreter(user, &ConvertTextToUInt32, &IsAnsiLeadByte);
    return interpreter.Run(script.c_str(), registerMode);
  } catch (const TextFailure& failure) {
    return failure.result;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}
