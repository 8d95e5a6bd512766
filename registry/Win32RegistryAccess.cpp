#include "registry/Win32RegistryAccess.h"

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>

namespace {

HKEY ToHandle(RegistryKey key) noexcept { return reinterpret_cast<HKEY>(key); }
RegistryKey FromHandle(HKEY key) noexcept { return reinterpret_cast<RegistryKey>(key); }

// Longest key name the enumeration returns, with its NUL.
constexpr DWORD kKeyNameBuffer = 256;

}  // namespace

static_assert(sizeof(RegistryKey) == sizeof(HKEY), "a key handle must fit the opaque type");

std::int32_t CWin32RegistryAccess::OpenKey(RegistryKey parent, const std::string& name, bool writable,
                                           RegistryKey* key) {
  HKEY opened = nullptr;
  const LONG error =
      RegOpenKeyExA(ToHandle(parent), name.c_str(), 0, writable ? KEY_READ | KEY_WRITE : KEY_READ, &opened);
  if (error == ERROR_SUCCESS) *key = FromHandle(opened);
  return error;
}

std::int32_t CWin32RegistryAccess::CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) {
  HKEY created = nullptr;
  const LONG error = RegCreateKeyExA(ToHandle(parent), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, &created, nullptr);
  if (error == ERROR_SUCCESS) *key = FromHandle(created);
  return error;
}

std::int32_t CWin32RegistryAccess::SetValue(RegistryKey key, const std::string& name, std::uint32_t type,
                                            const std::uint8_t* data, std::uint32_t size) {
  return RegSetValueExA(ToHandle(key), name.c_str(), 0, type, data, size);
}

std::int32_t CWin32RegistryAccess::DeleteValue(RegistryKey key, const std::string& name) {
  return RegDeleteValueA(ToHandle(key), name.c_str());
}

std::int32_t CWin32RegistryAccess::DeleteKey(RegistryKey parent, const std::string& name) {
  return RegDeleteKeyA(ToHandle(parent), name.c_str());
}

std::int32_t CWin32RegistryAccess::EnumKey(RegistryKey key, std::uint32_t index, std::string* name) {
  char buffer[kKeyNameBuffer];
  DWORD length = kKeyNameBuffer;
  const LONG error = RegEnumKeyExA(ToHandle(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (error == ERROR_SUCCESS) name->assign(buffer, length);
  return error;
}

std::int32_t CWin32RegistryAccess::CloseKey(RegistryKey key) { return RegCloseKey(ToHandle(key)); }

std::int32_t ConvertTextToUInt32(const char* text, std::uint32_t* value) noexcept {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length == 0) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  try {
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    ULONG number = 0;
    const HRESULT result = VarUI4FromStr(&wide[0], 0, 0, &number);
    if (SUCCEEDED(result)) *value = number;
    return result;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

bool IsAnsiLeadByte(unsigned char byte) noexcept { return IsDBCSLeadByte(byte) != FALSE; }
