#include "component/SharedProgIds.h"

#include <utility>

#include "common/UniqueRegistryKey.h"

namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";
// The view this module does not see by default.
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

// The default value of a key as text; empty when the key or the value is
// missing or is not text.
std::wstring DefaultText(HKEY root, const std::wstring& path, REGSAM view) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return {};
  const UniqueRegistryKey key(opened);
  wchar_t text[MAX_PATH * 2] = {};
  DWORD type = 0;
  DWORD bytes = sizeof text - sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The path in its long form, so that a short name and a long one compare
// equal; unchanged when the file cannot be found.
std::wstring LongPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD length = GetLongPathNameW(path.c_str(), buffer, MAX_PATH * 2);
  return length == 0 || length >= MAX_PATH * 2 ? path : std::wstring(buffer, length);
}

HRESULT WriteDefault(HKEY root, const std::wstring& path, const std::wstring& text) {
  UniqueRegistryKey key;
  LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

CSharedProgIds CSharedProgIds::Find(HKEY root, const wchar_t* clsid, const wchar_t* modulePath) {
  CSharedProgIds found;
  found.root = root;
  const std::wstring classKey = std::wstring(kClasses) + L"CLSID\\" + clsid;
  const std::wstring otherServer = DefaultText(root, classKey + L"\\InprocServer32", kOtherView);
  // A platform with one view shows this build's own registration there.
  if (otherServer.empty() || SameText(LongPath(otherServer), LongPath(modulePath))) return found;
  for (const wchar_t* kind : {L"\\ProgID", L"\\VersionIndependentProgID"}) {
    const std::wstring name = DefaultText(root, classKey + kind, kOtherView);
    if (name.empty()) continue;
    Entry entry{name, DefaultText(root, kClasses + name, 0), DefaultText(root, kClasses + name + L"\\CLSID", 0)};
    if (SameText(entry.clsid, clsid)) found.entries.push_back(std::move(entry));
  }
  return found;
}

HRESULT CSharedProgIds::Restore() const {
  for (const Entry& entry : entries) {
    HRESULT hr = WriteDefault(root, kClasses + entry.name, entry.description);
    if (FAILED(hr)) return hr;
    hr = WriteDefault(root, kClasses + entry.name + L"\\CLSID", entry.clsid);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}
