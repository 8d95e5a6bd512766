#pragma once

#include <windows.h>

#include <string>
#include <vector>

// On 64-bit Windows the registry has two views, one for 64-bit and one for
// 32-bit programs. Each holds its own class registration, but the ProgID keys
// are shared by both. While the other view still registers the class from
// another file (the build of the other bitness, registered beside this one),
// unregistering this build must leave the ProgIDs to it: Find notes them
// before this build's entries go, Restore writes them back afterwards.
class CSharedProgIds {
 public:
  // root: HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, whose "Software\Classes"
  // holds the scope's classes; modulePath: this build's file.
  static CSharedProgIds Find(HKEY root, const wchar_t* clsid, const wchar_t* modulePath);

  bool Empty() const noexcept { return entries.empty(); }
  // Writes every noted ProgID key back with its description and class.
  HRESULT Restore() const;

 private:
  struct Entry {
    std::wstring name;
    std::wstring description;
    std::wstring clsid;
  };

  HKEY root = nullptr;
  std::vector<Entry> entries;
};
