#pragma once

#include <windows.h>
#include <oaidl.h>

#include "registry/TypeLibraryScript.h"

// What registration writes for a type library, read from the library as
// RegisterTypeLib reads it: identifier, version, locale, flags, platform,
// description and the automation interfaces. The path and help folder are
// left to the caller. Texts fail to convert with ERROR_NO_UNICODE_TRANSLATION
// (see RegistryText.h); may throw std::bad_alloc.
HRESULT DescribeTypeLibrary(ITypeLib* library, TypeLibraryEntry& entry);
