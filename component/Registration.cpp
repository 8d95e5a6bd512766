#include "component/Registration.h"

#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "component/ComError.h"
#include "component/Module.h"
#include "registry/PerUserRegistryAccess.h"
#include "registry/RegistryScript.h"
#include "component/RegistryText.h"
#include "component/SharedProgIds.h"
#include "common/UniqueLibrary.h"
#include "component/UserTypeLibrary.h"
#include "registry/Win32RegistryAccess.h"
#include "common/ComPtr.h"
#include "ryn_h.h"

namespace {

constexpr WORD kRegistryScriptId = 102;

// The module's full file name; fails with 0x8007007A when it does not fit.
HRESULT ModuleFileName(wchar_t (&path)[MAX_PATH]) noexcept {
  const DWORD length = GetModuleFileNameW(module::Instance(), path, MAX_PATH);
  if (length == 0) return ryn::HResultFromLastError();
  if (length == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

// The path as the script's 8-bit text (in its short form when need be), every
// apostrophe doubled as inside the script's quoted texts.
HRESULT ScriptText(const wchar_t* path, std::string& text) {
  std::string converted;
  const HRESULT hr = RegistryPathText(path, converted);
  if (FAILED(hr)) return hr;
  text.clear();
  for (const char c : converted) {
    text += c;
    if (c == '\'') text += '\'';
  }
  return S_OK;
}

// The registry script resource as NUL-terminated 8-bit text.
HRESULT LoadScript(const wchar_t* path, std::unique_ptr<char[]>& text) noexcept {
  const UniqueLibrary image(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!image) return ryn::HResultFromLastError();
  HRSRC resource = FindResourceW(image.get(), MAKEINTRESOURCEW(kRegistryScriptId), L"REGISTRY");
  if (resource == nullptr) return ryn::HResultFromLastError();
  HGLOBAL loaded = LoadResource(image.get(), resource);
  if (loaded == nullptr) return ryn::HResultFromLastError();
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return ryn::HResultFromLastError();
  const DWORD size = SizeofResource(image.get(), resource);
  text.reset(new (std::nothrow) char[size + 1]);
  if (!text) return E_OUTOFMEMORY;
  std::memcpy(text.get(), bytes, size);
  text[size] = '\0';
  return S_OK;
}

HRESULT RunRegistryScript(bool registerMode, RegistrationScope scope) {
  wchar_t path[MAX_PATH];
  HRESULT hr = ModuleFileName(path);
  if (FAILED(hr)) return hr;

  std::string modulePath;
  hr = ScriptText(path, modulePath);
  if (FAILED(hr)) return hr;
  CWin32RegistryAccess machine;
  CPerUserRegistryAccess user(machine);
  IRegistryAccess& registry = scope == RegistrationScope::CurrentUser ? static_cast<IRegistryAccess&>(user) : machine;
  CRegistryScript script(registry, &ConvertTextToUInt32, &IsAnsiLeadByte);
  hr = script.AddReplacement("APPID", "");
  if (FAILED(hr)) return hr;
  hr = script.AddReplacement("Module", modulePath.c_str());
  if (FAILED(hr)) return hr;

  std::unique_ptr<char[]> text;
  hr = LoadScript(path, text);
  if (FAILED(hr)) return hr;
  return script.Run(text.get(), registerMode);
}

// The type library of the module, or of the ".tlb" file beside it; path
// receives the name that loaded.
HRESULT LoadModuleTypeLibrary(wchar_t (&path)[MAX_PATH], ComPtr<ITypeLib>& library) noexcept {
  HRESULT hr = ModuleFileName(path);
  if (FAILED(hr)) return hr;
  hr = LoadTypeLib(path, library.put());
  if (SUCCEEDED(hr)) return hr;

  wchar_t* name = path;
  for (wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  }
  wchar_t* extension = std::wcsrchr(name, L'.');
  if (extension == nullptr) extension = name + std::wcslen(name);
  const std::size_t room = MAX_PATH - static_cast<std::size_t>(extension - path);
  if (room < sizeof(L".tlb") / sizeof(wchar_t)) return hr;
  std::wcscpy(extension, L".tlb");
  return LoadTypeLib(path, library.put());
}

// The folder of a file name: up to and including its last backslash, slash
// or colon.
void HelpDirectory(const wchar_t* path, wchar_t (&folder)[MAX_PATH]) noexcept {
  std::wcscpy(folder, path);
  wchar_t* end = folder;
  for (wchar_t* p = folder; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') end = p + 1;
  }
  *end = L'\0';
}

HRESULT RegisterTypeLibrary(RegistrationScope scope) noexcept {
  wchar_t path[MAX_PATH];
  ComPtr<ITypeLib> library;
  const HRESULT hr = LoadModuleTypeLibrary(path, library);
  if (FAILED(hr)) return hr;
  wchar_t helpDirectory[MAX_PATH];
  HelpDirectory(path, helpDirectory);
  if (scope == RegistrationScope::CurrentUser) {
    return RunUserTypeLibraryScript(library.get(), path, helpDirectory, true);
  }
  return RegisterTypeLib(library.get(), path, helpDirectory);
}

HRESULT UnregisterTypeLibrary(RegistrationScope scope) noexcept {
  wchar_t path[MAX_PATH];
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadModuleTypeLibrary(path, library);
  if (FAILED(hr)) return hr;
  if (scope == RegistrationScope::CurrentUser) {
    wchar_t helpDirectory[MAX_PATH];
    HelpDirectory(path, helpDirectory);
    return RunUserTypeLibraryScript(library.get(), path, helpDirectory, false);
  }
  TLIBATTR* attributes = nullptr;
  hr = library->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                         attributes->syskind);
  library->ReleaseTLibAttr(attributes);
  return hr;
}

// Registration runs inside the exports: nothing may escape.
template <typename Step>
HRESULT Guarded(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

HRESULT RegisterServer(RegistrationScope scope) noexcept {
  HRESULT hr = Guarded([scope] { return RunRegistryScript(true, scope); });
  if (FAILED(hr)) return hr;
  return RegisterTypeLibrary(scope);
}

HRESULT UnregisterServer(RegistrationScope scope) noexcept {
  HRESULT hr = Guarded([scope] {
    wchar_t path[MAX_PATH];
    HRESULT result = ModuleFileName(path);
    if (FAILED(result)) return result;
    wchar_t clsid[40];
    if (StringFromGUID2(CLSID_VelRyn, clsid, 40) == 0) return E_UNEXPECTED;
    const CSharedProgIds shared = CSharedProgIds::Find(
        scope == RegistrationScope::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, clsid, path);
    result = RunRegistryScript(false, scope);
    if (FAILED(result)) return result;
    return shared.Restore();
  });
  if (FAILED(hr)) return hr;
  return UnregisterTypeLibrary(scope);
}

HRESULT InstallServer(bool install, const wchar_t* commandLine) noexcept {
  RegistrationScope scope = RegistrationScope::AllUsers;
  if (commandLine != nullptr && *commandLine != L'\0') {
    if (CompareStringOrdinal(commandLine, -1, L"user", -1, TRUE) != CSTR_EQUAL) return E_INVALIDARG;
    scope = RegistrationScope::CurrentUser;
  }
  return install ? RegisterServer(scope) : UnregisterServer(scope);
}
