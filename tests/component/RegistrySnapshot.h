#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>

// Every key and value below a registry key, for comparing the registry
// before and after an operation. Paths are relative to the key and upper
// case (the registry ignores case): "A\B" for a key, "A\B|NAME" for a value
// (empty name: the default value), mapped to "type:data".
using RegistrySnapshot = std::map<std::wstring, std::wstring>;

// An absent key gives an empty snapshot.
RegistrySnapshot TakeRegistrySnapshot(HKEY root, const std::wstring& path);

// The key paths present in `after` but not in `before`.
std::set<std::wstring> AddedKeys(const RegistrySnapshot& before, const RegistrySnapshot& after);

// Readable differences, one per line, for failure messages.
std::wstring DescribeDifferences(const RegistrySnapshot& before, const RegistrySnapshot& after);

std::wstring GuidText(REFGUID guid);
std::wstring UpperCase(std::wstring text);
