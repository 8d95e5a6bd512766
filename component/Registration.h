#pragma once

#include <windows.h>

// Registration of the module: the class entries from the registry script
// resource ("REGISTRY" 102), then the type library (resource 1 of the module,
// or the ".tlb" file beside it). Each returns the first failure, else S_OK.
//
// For all users the entries go to HKEY_CLASSES_ROOT; for the current user
// the same script and type library go to HKEY_CURRENT_USER\Software\Classes
// and nothing is written for the machine. Unregistering leaves the ProgIDs,
// which both registry views share, while the other view still registers the
// class from another file (the other bitness's build).
enum class RegistrationScope { AllUsers, CurrentUser };

HRESULT RegisterServer(RegistrationScope scope = RegistrationScope::AllUsers) noexcept;
HRESULT UnregisterServer(RegistrationScope scope = RegistrationScope::AllUsers) noexcept;

// DllInstall: the command line "user" (in any case) registers or
// unregisters for the current user, an empty or missing one for all users;
// anything else is E_INVALIDARG.
HRESULT InstallServer(bool install, const wchar_t* commandLine) noexcept;
