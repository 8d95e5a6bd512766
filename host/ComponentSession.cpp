#include "host/ComponentSession.h"

#include <oleauto.h>

#include <cstdio>

#include "common/ComPtr.h"

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
  explicit ScopedBstr(const wchar_t* text) : value(SysAllocString(text)) {
    if (value == nullptr && text != nullptr) throw HostError(E_OUTOFMEMORY, "out of memory");
  }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  ~ScopedBstr() { SysFreeString(value); }
  BSTR get() const noexcept { return value; }

 private:
  BSTR value;
};

std::string SystemText(HRESULT result) {
  char* system = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<char*>(&system), 0, nullptr);
  std::string text = length > 0 && system != nullptr ? std::string(system, length) : std::string();
  LocalFree(system);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::string DescribeFailure(HRESULT result) {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    BSTR description = nullptr;
    std::string text;
    if (SUCCEEDED(info->GetDescription(&description))) text = Narrow(description);
    SysFreeString(description);
    if (!text.empty()) return text;
  }
  std::string text = SystemText(result);
  return text.empty() ? "no description" : text;
}

std::string FormatHostError(const HostError& error) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(error.Result()));
  return std::string(error.what()) + " (" + code + ")";
}

void ComponentSession::Check(HRESULT result, const std::string& call) {
  if (SUCCEEDED(result)) return;
  // Only an object that declares error information for the interface has
  // set it for this call; anything else on the thread is stale.
  ComPtr<ISupportErrorInfo> support;
  const bool reported = SUCCEEDED(component->QueryInterface(IID_ISupportErrorInfo,
                                                            reinterpret_cast<void**>(support.put()))) &&
                        support->InterfaceSupportsErrorInfo(IID_IVelComponent) == S_OK;
  if (!reported) {
    ComPtr<IErrorInfo> stale;
    GetErrorInfo(0, stale.put());
  }
  throw HostError(result, call + " failed: " + DescribeFailure(result));
}

void ComponentSession::Run() { Check(component->Run(), "Run"); }

void ComponentSession::Stop() { Check(component->Stop(), "Stop"); }

void ComponentSession::StopQuietly() noexcept { component->Stop(); }

void ComponentSession::Set(const wchar_t* name, std::int32_t value) {
  ScopedBstr bstrName(name);
  VARIANT variant;
  VariantInit(&variant);
  variant.vt = VT_I4;
  variant.lVal = value;
  Check(component->SetParameter(bstrName.get(), variant), "SetParameter(" + Narrow(name) + ", " +
                                                              std::to_string(value) + ")");
}

ComponentSession::ComponentSession(LoadedComponent loaded) : component(std::move(loaded)) {
  if (FAILED(component->QueryInterface(IID_IRynEngineState, reinterpret_cast<void**>(engineState.put())))) {
    engineState.detach();
  }
}

bool ComponentSession::Starting() const {
  LONG state = RYN_ENGINE_RUNNING;
  return engineState && SUCCEEDED(engineState->GetEngineState(&state)) && state == RYN_ENGINE_STARTING;
}

std::int32_t ComponentSession::ReportedDelay() {
  ScopedBstr name(L"DELAY");
  LONG value = 0;
  Check(component->GetParameter(name.get(), &value), "GetParameter(DELAY)");
  return static_cast<std::int32_t>(value);
}
