#include "host/ComponentSession.h"

#include <oleauto.h>

namespace {

std::string Narrow(const wchar_t* text) {
  if (text == nullptr) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string narrow(static_cast<std::size_t>(bytes - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

// Owns a BSTR for the length of one call.
class ScopedBstr {
 public:
  explicit ScopedBstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  ~ScopedBstr() { SysFreeString(value); }
  BSTR get() const noexcept { return value; }

 private:
  BSTR value;
};

void Check(HRESULT result, const char* call) {
  if (FAILED(result)) throw HostError(result, std::string(call) + ": " + DescribeFailure(result));
}

}  // namespace

std::string DescribeFailure(HRESULT result) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR description = nullptr;
    std::string text;
    if (SUCCEEDED(info->GetDescription(&description))) text = Narrow(description);
    SysFreeString(description);
    info->Release();
    if (!text.empty()) return text;
  }
  char* system = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<char*>(&system), 0,
                                      nullptr);
  std::string text = length > 0 && system != nullptr ? std::string(system, length) : std::string();
  LocalFree(system);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "unknown failure" : text;
}

void ComponentSession::Run() { Check(component->Run(), "Run"); }

void ComponentSession::Stop() { Check(component->Stop(), "Stop"); }

void ComponentSession::Set(const wchar_t* name, std::int32_t value) {
  ScopedBstr bstrName(name);
  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_I4;
  variant.lVal = value;
  Check(component->SetParameter(bstrName.get(), variant), ("SetParameter(" + Narrow(name) + ")").c_str());
}

std::int32_t ComponentSession::ReportedDelay() {
  ScopedBstr name(L"DELAY");
  LONG value = 0;
  Check(component->GetParameter(name.get(), &value), "GetParameter(DELAY)");
  return static_cast<std::int32_t>(value);
}
