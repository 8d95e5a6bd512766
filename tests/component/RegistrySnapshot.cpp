#include "component/RegistrySnapshot.h"

#include <cwctype>
#include <vector>

namespace {

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data, DWORD size) {
  std::wstring text = std::to_wstring(type) + L":";
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    const auto* characters = reinterpret_cast<const wchar_t*>(data.data());
    std::size_t length = size / sizeof(wchar_t);
    while (length > 0 && characters[length - 1] == L'\0') --length;
    return text + std::wstring(characters, length);
  }
  static const wchar_t digits[] = L"0123456789abcdef";
  for (DWORD i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

void Walk(HKEY key, const std::wstring& path, RegistrySnapshot& snapshot) {
  if (!path.empty()) snapshot[path] = L"";
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    DWORD size = 0;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2);
    nameLength = 16384;
    DWORD dataSize = size;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS) break;
    snapshot[path + L"|" + UpperCase(std::wstring(name, nameLength))] = ValueText(type, data, dataSize);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    const std::wstring upper = UpperCase(std::wstring(name, nameLength));
    Walk(child, path.empty() ? upper : path + L"\\" + upper, snapshot);
    RegCloseKey(child);
  }
}

}  // namespace

std::wstring UpperCase(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

RegistrySnapshot TakeRegistrySnapshot(HKEY root, const std::wstring& path) {
  RegistrySnapshot snapshot;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return snapshot;
  Walk(key, L"", snapshot);
  RegCloseKey(key);
  return snapshot;
}

std::set<std::wstring> AddedKeys(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  std::set<std::wstring> added;
  for (const auto& [path, value] : after) {
    if (path.find(L'|') == std::wstring::npos && before.count(path) == 0) added.insert(path);
  }
  return added;
}

std::wstring DescribeDifferences(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  std::wstring text;
  for (const auto& [path, value] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      text += L"removed " + path + L"\n";
    } else if (found->second != value) {
      text += L"changed " + path + L": " + value + L" -> " + found->second + L"\n";
    }
  }
  for (const auto& [path, value] : after) {
    if (before.count(path) == 0) text += L"added " + path + L" " + value + L"\n";
  }
  return text;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}
