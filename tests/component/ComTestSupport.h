#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "common/ComPtr.h"
#include "support/HResultCheck.h"

// Helpers shared by the component's test programs.
namespace comtest {

// One single-threaded apartment on the test thread for the whole program.
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
  void TearDown() override { CoUninitialize(); }
};

// Owned BSTR for building arguments; may hold embedded NULs.
class Bstr {
 public:
  Bstr() noexcept = default;
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  Bstr(const wchar_t* text, UINT length) : value(SysAllocStringLen(text, length)) {}
  Bstr(Bstr&& other) noexcept : value(std::exchange(other.value, nullptr)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value); }
  BSTR get() const noexcept { return value; }
  BSTR* put() noexcept {
    SysFreeString(value);
    value = nullptr;
    return &value;
  }
  std::wstring str() const { return value != nullptr ? std::wstring(value, SysStringLen(value)) : std::wstring(); }

 private:
  BSTR value = nullptr;
};

// Owned VARIANT argument.
class Variant {
 public:
  Variant() noexcept { VariantInit(&value); }
  static Variant I4(LONG number) {
    Variant v;
    V_VT(&v.value) = VT_I4;
    V_I4(&v.value) = number;
    return v;
  }
  static Variant I2(SHORT number) {
    Variant v;
    V_VT(&v.value) = VT_I2;
    V_I2(&v.value) = number;
    return v;
  }
  static Variant R8(double number) {
    Variant v;
    V_VT(&v.value) = VT_R8;
    V_R8(&v.value) = number;
    return v;
  }
  static Variant Text(const wchar_t* text) {
    Variant v;
    V_VT(&v.value) = VT_BSTR;
    V_BSTR(&v.value) = SysAllocString(text);
    return v;
  }
  static Variant OfType(VARTYPE type) {
    Variant v;
    V_VT(&v.value) = type;
    return v;
  }
  Variant(Variant&& other) noexcept : value(other.value) { VariantInit(&other.value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&value); }
  VARIANT& get() noexcept { return value; }

 private:
  VARIANT value;
};

// The calling thread's error object, taken (and so cleared) with GetErrorInfo.
struct ErrorObject {
  bool present = false;
  GUID guid = GUID_NULL;
  std::wstring source;
  std::wstring description;
  bool hasSource = false;
};

inline ErrorObject TakeErrorObject() {
  ErrorObject result;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return result;
  result.present = true;
  info->GetGUID(&result.guid);
  Bstr source;
  if (SUCCEEDED(info->GetSource(source.put())) && source.get() != nullptr) {
    result.hasSource = true;
    result.source = source.str();
  }
  Bstr description;
  if (SUCCEEDED(info->GetDescription(description.put()))) result.description = description.str();
  return result;
}

// An export of a loaded module, as a typed function pointer.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The system's message text for a result on the machine running the test,
// without its line end, as a failed call reports it; none when the system
// has no text for it (then the call's fallback text applies). Tests compare
// with this rather than with one platform's wording.
inline std::optional<std::string> SystemMessageText(HRESULT result) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, static_cast<DWORD>(result),
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  if (text == nullptr) return std::nullopt;
  std::string message(text, length);
  LocalFree(text);
  if (message.size() > 1 && message.back() == '\n') {
    message.pop_back();
    if (message.back() == '\r') message.pop_back();
  }
  return message;
}

// The description of the error object for a failed result: the system's
// text, widened as the component widens it, or the fallback.
inline std::wstring ExpectedDescription(HRESULT result, const wchar_t* fallback) {
  const std::optional<std::string> text = SystemMessageText(result);
  if (!text) return fallback;
  std::wstring wide(text->size() + 1, L'\0');
  const int characters =
      MultiByteToWideChar(CP_THREAD_ACP, 0, text->c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(characters > 0 ? static_cast<std::size_t>(characters) - 1 : 0);
  return wide;
}

// The type library's platform key in the registry for this program's bitness.
inline const std::wstring kTypeLibraryPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

// A default (null name) or named string value; empty when missing.
inline std::optional<std::wstring> ReadRegistryString(HKEY root, const std::wstring& key, const wchar_t* name) {
  wchar_t data[1024];
  DWORD size = sizeof(data);
  DWORD type = 0;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
  const LONG status = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::wstring(data, size / sizeof(wchar_t)).c_str();
}

inline bool RegistryKeyExists(HKEY root, const std::wstring& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

}  // namespace comtest
