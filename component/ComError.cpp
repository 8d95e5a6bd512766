#include "component/ComError.h"

#include <atomic>
#include <cstdio>

namespace ryn {

namespace {

std::atomic<ComErrorRaiser> raiser{&ThrowComError};

constexpr DWORD kFallbackBytes = 32;
constexpr LONG kFirstDispatchCode = static_cast<LONG>(0x80040200);
constexpr LONG kLastDispatchCode = static_cast<LONG>(0x8004FFFF);

}  // namespace

_com_error::_com_error(HRESULT result, IErrorInfo* errorInfo) noexcept : result(result), errorInfo(errorInfo) {
  if (errorInfo != nullptr) errorInfo->AddRef();
}

_com_error::_com_error(const _com_error& other) noexcept : _com_error(other.result, other.errorInfo) {}

_com_error& _com_error::operator=(const _com_error& other) noexcept {
  if (this != &other) {
    if (other.errorInfo != nullptr) other.errorInfo->AddRef();
    if (errorInfo != nullptr) errorInfo->Release();
    result = other.result;
    errorInfo = other.errorInfo;
    message.reset();
  }
  return *this;
}

_com_error::~_com_error() {
  if (errorInfo != nullptr) errorInfo->Release();
}

const char* _com_error::MessageText() const noexcept {
  if (message) return message.get();

  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, static_cast<DWORD>(result),
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  if (text != nullptr) {
    message.reset(text);
    if (length > 1 && text[length - 1] == '\n') {
      text[length - 1] = '\0';
      if (text[length - 2] == '\r') text[length - 2] = '\0';
    }
    return text;
  }

  text = static_cast<char*>(LocalAlloc(LMEM_FIXED, kFallbackBytes));
  if (text == nullptr) return nullptr;
  message.reset(text);
  const LONG signedResult = static_cast<LONG>(result);
  const unsigned dispatchCode = signedResult >= kFirstDispatchCode && signedResult <= kLastDispatchCode
                                    ? static_cast<unsigned>(signedResult - kFirstDispatchCode)
                                    : 0u;
  if (dispatchCode != 0) {
    std::snprintf(text, kFallbackBytes, "IDispatch error #%u", dispatchCode);
  } else {
    std::snprintf(text, kFallbackBytes, "Unknown error 0x%0lX", static_cast<unsigned long>(result));
  }
  return text;
}

void ThrowComError(HRESULT result, IErrorInfo* errorInfo) { throw _com_error(result, errorInfo); }

ComErrorRaiser SetComErrorRaiser(ComErrorRaiser replacement) noexcept { return raiser.exchange(replacement); }

void RaiseComError(HRESULT result, IErrorInfo* errorInfo) {
  raiser.load()(result, errorInfo);
  // A replacement that returns would leave the caller without a value.
  ThrowComError(result, errorInfo);
}

HRESULT HResultFromLastError() noexcept {
  const DWORD error = GetLastError();
  if (static_cast<LONG>(error) > 0) return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
  return static_cast<HRESULT>(error);
}

}  // namespace ryn
