#include "host/ComponentLoader.h"

#include <objbase.h>

namespace {

std::string ModuleBesideExecutable(const char* fileName) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return fileName;
  std::string folder(path, length);
  const auto slash = folder.find_last_of("\\/");
  folder.erase(slash == std::string::npos ? 0 : slash + 1);
  return folder + fileName;
}

bool MeansNotRegistered(HRESULT hr) {
  return hr == REGDB_E_CLASSNOTREG || hr == CO_E_CLASSSTRING || hr == REGDB_E_READREGDB ||
         hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
         hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL;
}

}  // namespace

LoadedComponent::~LoadedComponent() {
  component.reset();
  if (directModule != nullptr) FreeLibrary(directModule);
}

HRESULT LoadedComponent::Create(LoadedComponent* out) {
  CLSID classId;
  HRESULT hr = CLSIDFromProgID(L"Ryn.VelRyn.1", &classId);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                          reinterpret_cast<void**>(out->component.put()));
    if (SUCCEEDED(hr)) {
      out->origin = "registered class";
      return hr;
    }
  }
  if (!MeansNotRegistered(hr)) return hr;

  const std::string path = ModuleBesideExecutable("ryn.dll");
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (getClassObject == nullptr) {
    const HRESULT missing = HRESULT_FROM_WIN32(GetLastError());
    FreeLibrary(module);
    return missing;
  }
  ComPtr<IClassFactory> factory;
  hr = getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(out->component.put()));
  }
  factory.reset();
  if (FAILED(hr)) {
    FreeLibrary(module);
    return hr;
  }
  out->directModule = module;
  out->origin = path;
  return hr;
}
