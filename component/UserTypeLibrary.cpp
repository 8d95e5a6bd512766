#include "component/UserTypeLibrary.h"

#include <new>
#include <string>

#include "registry/PerUserRegistryAccess.h"
#include "registry/RegistryScript.h"
#include "component/RegistryText.h"
#include "component/TypeLibraryDescription.h"
#include "registry/TypeLibraryScript.h"
#include "registry/Win32RegistryAccess.h"

HRESULT RunUserTypeLibraryScript(ITypeLib* library, const wchar_t* path, const wchar_t* helpDirectory,
                                 bool registerMode) noexcept {
  try {
    TypeLibraryEntry entry;
    HRESULT hr = DescribeTypeLibrary(library, entry);
    if (SUCCEEDED(hr)) hr = RegistryPathText(path, entry.path);
    if (SUCCEEDED(hr)) hr = RegistryPathText(helpDirectory, entry.helpDirectory);
    if (FAILED(hr)) return hr;
    const std::string script = BuildTypeLibraryScript(entry);
    CWin32RegistryAccess machine;
    CPerUserRegistryAccess user(machine);
    CRegistryScript interpreter(user, &ConvertTextToUInt32, &IsAnsiLeadByte);
    return interpreter.Run(script.c_str(), registerMode);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}
