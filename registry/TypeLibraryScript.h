#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The registry entries of a registered type library, described by the
// library itself: its identifier, version, locale, description, file, help
// folder and flags, and the automation interfaces it declares.
struct TypeLibraryEntry {
  struct Interface {
    std::string id;  // in braces
    std::string name;
    // The proxy/stub class that marshals it: the automation marshaller.
    std::string proxyStubClassId;
  };

  std::string libraryId;  // in braces
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint32_t lcid = 0;
  std::string description;
  std::string platform;  // "win32" or "win64"
  std::string path;
  std::string helpDirectory;
  std::uint16_t flags = 0;
  std::vector<Interface> interfaces;
};

// A registry script for HKEY_CLASSES_ROOT that writes, or in unregister mode
// removes, the entries of a type library registration:
//   TypeLib\{id}\<major>.<minor> = description
//     0 (locale, hex)\<platform> = path, FLAGS = flags, HELPDIR = folder
//   Interface\{iid} = name, ProxyStubClsid(32) = marshaller, TypeLib = {id}
// Texts are quoted for the script (apostrophes and percent signs escaped).
std::string BuildTypeLibraryScript(const TypeLibraryEntry& entry);
