#pragma once

#include "registry/RegistryValueEncoding.h"
#include "registry/TypeLibraryScript.h"

#include <cstdint>
#include <optional>
#include <string>

// The registry entries of an installer package, as a WiX include file:
// what the component's registry script and its type library's registration
// write, recorded by running both through the registry script interpreter
// (see RegistryEntryRecorder). The module's path in the script (%MODULE%)
// becomes the installed file's path, the type library's help folder the
// installation folder.
struct WixRegistryRequest {
  std::string script;  // the component's registry script
  // The type library, when the component has one; its path and help folder
  // are set here.
  std::optional<TypeLibraryEntry> typeLibrary;
  std::string fileId;       // the installed module's File Id, e.g. "ryn.dll"
  std::string directoryId;  // its folder's Directory Id, e.g. "INSTALLFOLDER"
  std::string groupId;      // the ComponentGroup Id the package refers to
  std::string componentId;  // the package's own Component, unique per package
  bool win64 = false;
  // The 32-bit Component of what the packages of both bitnesses write alike
  // to the same place: the type library's entries that name no file, and the
  // interfaces in the 32-bit view (which the platform's 64-bit registration
  // writes too). Both packages carry it with this Id and the same content, so
  // it gets the same GUID and the Windows Installer keeps it until the last
  // of them is removed.
  std::string sharedComponentId;
  NumberConverter convertNumber = nullptr;
};

// S_OK with the include file's text; otherwise the failure, with what was
// refused or what went wrong in failure.
std::int32_t BuildWixRegistryFragment(const WixRegistryRequest& request, std::string* fragment,
                                      std::string* failure);
