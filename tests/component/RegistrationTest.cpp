// Registration and unregistration of ryn.dll through its exports, and what
// they leave in the registry. Ends with the build's DLL registered again.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "component/ComTestSupport.h"
#include "common/UniqueLibrary.h"
#include "ryn_h.h"

using comtest::kTypeLibraryPlatform;
using comtest::ReadRegistryString;
using comtest::RegistryKeyExists;

namespace {

const std::wstring kClassKey = L"CLSID\\{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}";
const std::wstring kClassId = L"{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}";
const std::wstring kLibraryKey = L"TypeLib\\{B535C15B-1F88-4E32-99E5-2522C591D849}";

using ServerEntry = HRESULT(WINAPI*)();

struct Server {
  explicit Server(const wchar_t* path) : library(LoadLibraryW(path)) {
    if (!library) return;
    registerServer = comtest::Export<ServerEntry>(library.get(), "DllRegisterServer");
    unregisterServer = comtest::Export<ServerEntry>(library.get(), "DllUnregisterServer");
    wchar_t name[MAX_PATH];
    GetModuleFileNameW(library.get(), name, MAX_PATH);
    fileName = name;
  }
  UniqueLibrary library;
  ServerEntry registerServer = nullptr;
  ServerEntry unregisterServer = nullptr;
  std::wstring fileName;
};

void ExpectRegisteredAt(const std::wstring& modulePath) {
  EXPECT_EQ(L"VelRyn Class", ReadRegistryString(HKEY_CLASSES_ROOT, L"Ryn.VelRyn.1", nullptr));
  EXPECT_EQ(kClassId, ReadRegistryString(HKEY_CLASSES_ROOT, L"Ryn.VelRyn.1\\CLSID", nullptr));
  EXPECT_EQ(L"VelRyn Class", ReadRegistryString(HKEY_CLASSES_ROOT, L"Ryn.VelRyn", nullptr));
  EXPECT_EQ(kClassId, ReadRegistryString(HKEY_CLASSES_ROOT, L"Ryn.VelRyn\\CLSID", nullptr));
  EXPECT_EQ(L"VelRyn Class", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey, nullptr));
  EXPECT_EQ(L"Ryn.VelRyn.1", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\ProgID", nullptr));
  EXPECT_EQ(L"Ryn.VelRyn", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\VersionIndependentProgID", nullptr));
  EXPECT_EQ(modulePath, ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr));
  EXPECT_EQ(L"both", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_EQ(L"ryn 1.0 Type Library", ReadRegistryString(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0", nullptr));
  EXPECT_EQ(modulePath, ReadRegistryString(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0\\0\\" + kTypeLibraryPlatform, nullptr));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Interface\\{4496E258-5756-4F7F-90EA-8ADE2DA3275F}"));
}

void ExpectUnregistered() {
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Ryn.VelRyn.1"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Ryn.VelRyn"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.library) << "LoadLibrary failed: " << GetLastError();
    ASSERT_NE(nullptr, server.registerServer);
    ASSERT_NE(nullptr, server.unregisterServer);
  }
  void TearDown() override {
    const HRESULT hr = server.registerServer();
    EXPECT_HR(S_OK, hr) << "registering the build's DLL again: ";
  }
  Server server{RYN_DLL_PATH};
};

TEST_F(Registration, WritesTheClassProgIdsAndTypeLibrary) {
  const HRESULT hr = server.registerServer();
  ASSERT_HR(S_OK, hr);
  ExpectRegisteredAt(server.fileName);
}

TEST_F(Registration, RegisteringAgainReplacesTheClassKey) {
  ASSERT_HR(S_OK, server.registerServer());
  HKEY stray = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, (kClassKey + L"\\Stray").c_str(), &stray));
  RegCloseKey(stray);
  const HRESULT hr = server.registerServer();
  ASSERT_HR(S_OK, hr);
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Stray"));
  ExpectRegisteredAt(server.fileName);
}

TEST_F(Registration, UnregisteringRemovesEverythingButTheClsidKey) {
  HRESULT hr = server.unregisterServer();
  ASSERT_HR(S_OK, hr);
  ExpectUnregistered();
  void* object = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
  CLSID clsid;
  EXPECT_TRUE(FAILED(CLSIDFromProgID(L"Ryn.VelRyn.1", &clsid)));
}

TEST_F(Registration, UnregisteringTwiceStillRemovesTheClassEntries) {
  ASSERT_HR(S_OK, server.unregisterServer());
  // The script finds nothing and succeeds; the type library is no longer
  // registered, which Wine's UnRegisterTypeLib answers with E_INVALIDARG.
  const HRESULT hr = server.unregisterServer();
  EXPECT_HR(E_INVALIDARG, hr);
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_TRUE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST_F(Registration, ApostropheInTheModulePathIsWrittenOnce) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring folder = std::wstring(temp) + L"ryn's copy";
  const std::wstring copy = folder + L"\\ryn.dll";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(server.fileName.c_str(), copy.c_str(), FALSE)) << GetLastError();
  {
    Server copied(copy.c_str());
    ASSERT_NE(nullptr, copied.registerServer);
    const HRESULT hr = copied.registerServer();
    ASSERT_HR(S_OK, hr);
    EXPECT_NE(std::wstring::npos, copied.fileName.find(L"ryn's copy\\ryn.dll"));
    ExpectRegisteredAt(copied.fileName);

    ComPtr<IVelComponent> component;
    const HRESULT created = CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                             reinterpret_cast<void**>(component.put()));
    EXPECT_HR(S_OK, created);
  }
  CoFreeUnusedLibraries();
  ASSERT_HR(S_OK, server.registerServer());
  ExpectRegisteredAt(server.fileName);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST_F(Registration, WithoutRegistrationErrorsHaveNoSourceAndDispatchFails) {
  ASSERT_HR(S_OK, server.unregisterServer());
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  const auto getClassObject = comtest::Export<GetClassObject>(server.library.get(), "DllGetClassObject");
  ComPtr<IClassFactory> factory;
  ASSERT_HR(S_OK, getClassObject(CLSID_VelRyn, IID_IClassFactory, reinterpret_cast<void**>(factory.put())));
  ComPtr<IVelComponent> component;
  ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IVelComponent, reinterpret_cast<void**>(component.put())));

  comtest::Bstr name(L"PITCH");
  comtest::Variant value = comtest::Variant::I4(1);
  EXPECT_EQ(static_cast<HRESULT>(0x80042005), component->SetParameter(name.get(), value.get()));
  const comtest::ErrorObject error = comtest::TakeErrorObject();
  ASSERT_TRUE(error.present);
  EXPECT_FALSE(error.hasSource) << "no ProgID is registered";
  EXPECT_EQ(L"Unsupported parameter", error.description);

  ComPtr<ITypeInfo> info;
  const HRESULT lookup = component->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
  EXPECT_HR(TYPE_E_LIBNOTREGISTERED, lookup);
  LPOLESTR method = const_cast<LPOLESTR>(L"Run");
  DISPID id = 0;
  EXPECT_HR(TYPE_E_LIBNOTREGISTERED, component->GetIDsOfNames(IID_NULL, &method, 1, LOCALE_USER_DEFAULT, &id));

  // A failed lookup is not kept: once registered, the type information loads.
  ASSERT_HR(S_OK, server.registerServer());
  EXPECT_HR(S_OK, component->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
}

TEST_F(Registration, ModulePathThatDoesNotFitIsRefusedBeforeAnyChange) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  std::wstring folder = std::wstring(temp) + L"ryn-long";
  std::vector<std::wstring> created;
  while (folder.size() + std::wcslen(L"\\ryn.dll") < MAX_PATH) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << GetLastError();
    created.push_back(folder);
    folder += L"\\" + std::wstring(40, L'd');
  }
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << GetLastError();
  created.push_back(folder);
  const std::wstring copy = folder + L"\\ryn.dll";
  ASSERT_GE(copy.size(), static_cast<std::size_t>(MAX_PATH));
  ASSERT_TRUE(CopyFileW(server.fileName.c_str(), copy.c_str(), FALSE)) << GetLastError();
  {
    Server copied(copy.c_str());
    ASSERT_NE(nullptr, copied.registerServer) << GetLastError();
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), copied.registerServer());
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), copied.unregisterServer());
  }
  ExpectRegisteredAt(server.fileName);
  DeleteFileW(copy.c_str());
  for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveDirectoryW(it->c_str());
}

}  // namespace
