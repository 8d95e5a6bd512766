#pragma once

#include <windows.h>
#include <oaidl.h>

// Registers (or unregisters) a type library for the current user only, by
// running its registry entries (TypeLibraryScript) through the registry
// script interpreter below HKEY_CURRENT_USER\Software\Classes.
//
// The platform's own per-user call cannot be relied on to stay per-user:
// Wine implements RegisterTypeLibForUser as the machine-wide call, and even
// with HKEY_CLASSES_ROOT overridden its 64-bit RegisterTypeLib writes the
// interfaces' 32-bit view below the machine's classes.
HRESULT RunUserTypeLibraryScript(ITypeLib* library, const wchar_t* path, const wchar_t* helpDirectory,
                                 bool registerMode) noexcept;
