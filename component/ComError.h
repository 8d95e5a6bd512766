#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>

namespace ryn {

// The COM error exception raised by the component's string and VARIANT
// operations. Carries the failing HRESULT, an optional IErrorInfo reference,
// and a description made on first request (see MessageText).
class _com_error {
 public:
  // Holds its own reference to errorInfo, which may be null.
  explicit _com_error(HRESULT result, IErrorInfo* errorInfo = nullptr) noexcept;
  // A copy shares the result and the error information, but makes its own
  // message when asked.
  _com_error(const _com_error& other) noexcept;
  _com_error& operator=(const _com_error& other) noexcept;
  virtual ~_com_error();

  HRESULT Error() const noexcept { return result; }
  IErrorInfo* ErrorInfo() const noexcept { return errorInfo; }

  // The system's text for the result without its trailing CR LF, or
  // "IDispatch error #n" / "Unknown error 0xX" when the system has none.
  // Owned by the exception; null only when no buffer could be allocated.
  const char* MessageText() const noexcept;

 private:
  struct LocalFreeDeleter {
    void operator()(char* text) const noexcept { LocalFree(text); }
  };

  HRESULT result;
  IErrorInfo* errorInfo;
  mutable std::unique_ptr<char, LocalFreeDeleter> message;
};

// Routine that raises a COM error; it must not return.
using ComErrorRaiser = void (*)(HRESULT result, IErrorInfo* errorInfo);

// The routine in force when the process starts: throws _com_error.
[[noreturn]] void ThrowComError(HRESULT result, IErrorInfo* errorInfo);

// Replaces the process-wide raise routine and returns the previous one.
ComErrorRaiser SetComErrorRaiser(ComErrorRaiser raiser) noexcept;

// Raises through the process-wide routine; used by every failing string or
// VARIANT operation of the component.
[[noreturn]] void RaiseComError(HRESULT result, IErrorInfo* errorInfo = nullptr);

// The result for the calling thread's last Win32 error: 0x80070000 OR its low
// 16 bits when positive, the value itself otherwise.
HRESULT HResultFromLastError() noexcept;

}  // namespace ryn
