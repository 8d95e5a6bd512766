#include "component/RegistryText.h"

#include <cwchar>

#include "component/ComError.h"

HRESULT ExactRegistryText(const wchar_t* text, std::string& converted) {
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return ryn::HResultFromLastError();
  converted.assign(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, converted.data(), bytes, nullptr, nullptr) != bytes) {
    return ryn::HResultFromLastError();
  }
  const int characters = MultiByteToWideChar(CP_ACP, 0, converted.c_str(), -1, nullptr, 0);
  std::wstring back(static_cast<std::size_t>(characters > 0 ? characters : 0), L'\0');
  if (characters <= 0 || MultiByteToWideChar(CP_ACP, 0, converted.c_str(), -1, back.data(), characters) != characters ||
      std::wcscmp(back.c_str(), text) != 0) {
    return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
  }
  converted.resize(static_cast<std::size_t>(bytes) - 1);
  return S_OK;
}

HRESULT RegistryPathText(const wchar_t* path, std::string& converted) {
  const HRESULT hr = ExactRegistryText(path, converted);
  if (hr != HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)) return hr;
  wchar_t shortPath[MAX_PATH];
  const DWORD length = GetShortPathNameW(path, shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || FAILED(ExactRegistryText(shortPath, converted))) return hr;
  return S_OK;
}
