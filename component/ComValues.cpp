#include "component/ComValues.h"

#include <cwchar>

#include "component/ComError.h"

UniqueBstr UniqueBstr::CopyOf(BSTR source) {
  if (source == nullptr) return UniqueBstr();
  BSTR copy = SysAllocStringLen(source, SysStringLen(source));
  if (copy == nullptr) ryn::RaiseComError(E_OUTOFMEMORY);
  return Attach(copy);
}

bool UniqueBstr::EqualsText(const wchar_t* other, std::size_t length) const noexcept {
  return Length() == length && (length == 0 || std::wmemcmp(text, other, length) == 0);
}

UniqueVariant UniqueVariant::CopyOf(const VARIANT& source) {
  UniqueVariant copy;
  const HRESULT hr = VariantCopy(&copy.value, const_cast<VARIANT*>(&source));
  if (FAILED(hr)) ryn::RaiseComError(hr);
  return copy;
}

std::int32_t UniqueVariant::ToInt32() const {
  if (V_VT(&value) == VT_I4) return V_I4(&value);
  UniqueVariant converted;
  const HRESULT hr = VariantChangeType(converted.put(), const_cast<VARIANT*>(&value), 0, VT_I4);
  if (FAILED(hr)) ryn::RaiseComError(hr);
  return V_I4(&converted.get());
}
