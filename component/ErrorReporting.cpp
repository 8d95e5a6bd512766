#include "component/ErrorReporting.h"

#include <windows.h>
#include <oleauto.h>

#include "component/ComValues.h"
#include "component/ConversionCodePage.h"
#include "common/ComPtr.h"
#include "ryn_h.h"

namespace {

// The text in UTF-16; null when it cannot be converted.
UniqueBstr Widen(const char* text) noexcept {
  const UINT codePage = ConversionCodePage();
  const int length = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (length <= 0) return UniqueBstr();
  UniqueBstr wide = UniqueBstr::Attach(SysAllocStringLen(nullptr, static_cast<UINT>(length - 1)));
  if (!wide.get() || MultiByteToWideChar(codePage, 0, text, -1, wide.get(), length) != length) return UniqueBstr();
  return wide;
}

}  // namespace

void SetErrorObject(const char* description) noexcept {
  UniqueBstr text = description != nullptr ? Widen(description) : UniqueBstr();

  ComPtr<ICreateErrorInfo> creator;
  if (FAILED(CreateErrorInfo(creator.put()))) return;
  creator->SetGUID(IID_IVelComponent);
  LPOLESTR progId = nullptr;
  if (SUCCEEDED(ProgIDFromCLSID(CLSID_VelRyn, &progId))) {
    creator->SetSource(progId);
    CoTaskMemFree(progId);
  }
  wchar_t unknown[] = L"Unknown Error";
  creator->SetDescription(text.get() != nullptr ? text.get() : unknown);

  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put())))) {
    SetErrorInfo(0, info.get());
  }
}

HRESULT ReportVelException(const CVelException& error) noexcept {
  const CVelException copy(error);
  SetErrorObject(copy.GetDescription());
  return copy.GetHResult();
}

HRESULT ReportComError(const ryn::_com_error& error) noexcept {
  const ryn::_com_error copy(error);
  SetErrorObject(copy.MessageText());
  return copy.Error();
}
