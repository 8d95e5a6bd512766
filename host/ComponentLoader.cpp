#include "host/ComponentLoader.h"

#include <objbase.h>

#include <utility>

namespace {

constexpr wchar_t kProgId[] = L"Ryn.VelRyn.1";

// Results that mean "not registered (properly)", after which loading the
// DLL beside the host is worth a try.
bool MeansNotRegistered(HRESULT hr) {
  return hr == REGDB_E_CLASSNOTREG || hr == CO_E_CLASSSTRING || hr == REGDB_E_READREGDB ||
         hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
         hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL;
}

// The path of a file in the folder of the running executable.
std::string BesideExecutable(const char* fileName) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return fileName;
  std::string folder(path, length);
  const auto slash = folder.find_last_of("\\/");
  folder.erase(slash == std::string::npos ? 0 : slash + 1);
  return folder + fileName;
}

// The file of the module that holds ADDRESS (an object's code), or "" when
// the platform does not say.
std::string ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<const char*>(address), &module)) {
    return "";
  }
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? "" : std::string(path, length);
}

HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

}  // namespace

DirectModule::DirectModule(DirectModule&& other) noexcept : module(std::exchange(other.module, nullptr)) {}

DirectModule& DirectModule::operator=(DirectModule&& other) noexcept {
  if (this != &other) {
    reset();
    module = std::exchange(other.module, nullptr);
  }
  return *this;
}

void DirectModule::reset() noexcept {
  HMODULE old = std::exchange(module, nullptr);
  if (old == nullptr) return;
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload =
      reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(old, "DllCanUnloadNow")));
  if (canUnload == nullptr || canUnload() == S_OK) FreeLibrary(old);
}

HRESULT LoadedComponent::Create(LoadedComponent* out) {
  CLSID classId{};
  HRESULT hr = CLSIDFromProgID(kProgId, &classId);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                          reinterpret_cast<void**>(out->component.put()));
    if (SUCCEEDED(hr)) {
      // The object's first field is its table of methods, in the module's image.
      const std::string module = ModulePathOf(*reinterpret_cast<void* const*>(out->component.get()));
      out->origin = "registered class Ryn.VelRyn.1" + (module.empty() ? "" : " from " + module);
      return hr;
    }
  }
  if (!MeansNotRegistered(hr)) return hr;

  const std::string path = BesideExecutable("ryn.dll");
  DirectModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (module.get() == nullptr) return LastErrorResult();
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetClassObject")));
  if (getClassObject == nullptr) return LastErrorResult();
  ComPtr<IClassFactory> factory;
  hr = getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  if (FAILED(hr)) return hr;
  ComPtr<IVelComponent> component;
  hr = factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put()));
  if (FAILED(hr)) return hr;
  out->component.reset();
  out->module = std::move(module);
  out->component = std::move(component);
  out->origin = path + " (class not registered, loaded beside rynhost)";
  return hr;
}
