// Per-user registration and registration-free activation, on Wine's real
// registry. The build's machine-wide registration is removed for this
// program's run and restored at its end (the test holds the registration
// lock), so every case starts with nothing registered.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <set>
#include <string>

#include "component/ComTestSupport.h"
#include "component/RegistrySnapshot.h"
#include "common/ComPtr.h"
#include "ryn_h.h"
#include "support/ChildProcess.h"

namespace {

const std::wstring kDll = RYN_DLL_PATH;
const std::wstring kUserClasses = L"Software\\Classes";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// regsvr32 with the given switches on the build's ryn.dll; its exit status.
DWORD Regsvr32(const std::wstring& switches) {
  const ChildProcessResult result = RunChildProcess(L"regsvr32.exe " + switches + L" \"" + kDll + L"\"");
  EXPECT_TRUE(result.started) << "regsvr32 did not start";
  return result.exitCode;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

const std::wstring kClassKey = L"CLSID\\" + GuidText(CLSID_VelRyn);
const std::wstring kTypeLibKey = L"TypeLib\\" + GuidText(LIBID_RYNLib);

class NothingRegistered : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    Regsvr32(L"/s /u");
    Regsvr32(L"/s /u /n /i:user");
    ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey)) << "the class is still registered for the machine";
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"\\" + kClassKey)) << "still registered for the user";
  }
  void TearDown() override {
    EXPECT_EQ(Regsvr32(L"/s"), 0u) << "the build's registration could not be restored";
    CoUninitialize();
  }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new NothingRegistered);

// ---- Per-user registration ------------------------------------------------------

class PerUserRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    // Containers a user's classes normally hold already: registration then
    // adds only its own keys, and unregistration can leave the tree as found.
    for (const wchar_t* container : {L"CLSID", L"TypeLib", L"Interface"}) {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (kUserClasses + L"\\" + container).c_str(), 0, nullptr, 0,
                                KEY_READ, nullptr, &key, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(key);
    }
    userBefore = TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses);
    machineBefore = TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, kUserClasses);
    ASSERT_FALSE(machineBefore.empty());
  }
  void TearDown() override { Regsvr32(L"/s /u /n /i:user"); }

  void ExpectMachineUnchanged() {
    const RegistrySnapshot machine = TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, kUserClasses);
    EXPECT_TRUE(machine == machineBefore) << Narrow(DescribeDifferences(machineBefore, machine));
  }

  RegistrySnapshot userBefore;
  RegistrySnapshot machineBefore;
};

TEST_F(PerUserRegistration, RegistersClassProgIdsAndTypeLibraryBelowTheUsersClassesOnly) {
  ASSERT_EQ(Regsvr32(L"/s /n /i:user"), 0u);
  const RegistrySnapshot user = TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses);
  const std::set<std::wstring> added = AddedKeys(userBefore, user);

  const std::wstring classKey = UpperCase(kClassKey);
  const std::wstring typeLib = UpperCase(kTypeLibKey);
  const std::wstring typeLibPlatform = typeLib + L"\\1.0\\0\\" + UpperCase(comtest::kTypeLibraryPlatform);
  const std::set<std::wstring> expected = {
      L"RYN.VELRYN.1", L"RYN.VELRYN.1\\CLSID", L"RYN.VELRYN", L"RYN.VELRYN\\CLSID", classKey,
      classKey + L"\\INPROCSERVER32", classKey + L"\\PROGID", classKey + L"\\VERSIONINDEPENDENTPROGID", typeLib,
      typeLib + L"\\1.0", typeLib + L"\\1.0\\0", typeLibPlatform};
  for (const std::wstring& key : expected) EXPECT_EQ(added.count(key), 1u) << "missing " << Narrow(key);

  // Anything else belongs to the class's own keys, its type library, or the
  // interfaces that the type library describes.
  std::set<std::wstring> owners = {L"RYN.VELRYN.1", L"RYN.VELRYN", classKey, typeLib};
  for (REFIID iid : {IID_IVelComponent, IID_IVelProducer, IID_IVelConsumer}) {
    owners.insert(L"INTERFACE\\" + UpperCase(GuidText(iid)));
  }
  for (const std::wstring& key : added) {
    bool owned = false;
    for (const std::wstring& owner : owners) {
      owned = owned || key == owner || key.rfind(owner + L"\\", 0) == 0;
    }
    EXPECT_TRUE(owned) << "unexpected key " << Narrow(key);
  }

  EXPECT_EQ(user.at(classKey + L"\\INPROCSERVER32|"), L"1:" + kDll);
  EXPECT_EQ(user.at(classKey + L"\\INPROCSERVER32|THREADINGMODEL"), L"1:both");
  EXPECT_EQ(user.at(L"RYN.VELRYN.1\\CLSID|"), L"1:" + GuidText(CLSID_VelRyn));
  EXPECT_EQ(user.at(L"RYN.VELRYN\\CLSID|"), L"1:" + GuidText(CLSID_VelRyn));
  EXPECT_EQ(user.at(typeLibPlatform + L"|"), L"1:" + kDll);
  ExpectMachineUnchanged();
}

TEST_F(PerUserRegistration, UnregistrationRemovesExactlyWhatRegistrationAdded) {
  ASSERT_EQ(Regsvr32(L"/s /n /i:user"), 0u);
  ASSERT_EQ(Regsvr32(L"/s /u /n /i:user"), 0u);
  const RegistrySnapshot user = TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses);
  EXPECT_TRUE(user == userBefore) << Narrow(DescribeDifferences(userBefore, user));
  ExpectMachineUnchanged();
}

TEST_F(PerUserRegistration, RegisteringTwiceLeavesTheSameEntries) {
  ASSERT_EQ(Regsvr32(L"/s /n /i:user"), 0u);
  const RegistrySnapshot first = TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses);
  ASSERT_EQ(Regsvr32(L"/s /n /i:user"), 0u);
  const RegistrySnapshot second = TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses);
  EXPECT_TRUE(second == first) << Narrow(DescribeDifferences(first, second));
}

class DllInstallExport : public PerUserRegistration {
 protected:
  using InstallFn = HRESULT(STDAPICALLTYPE*)(BOOL, PCWSTR);

  void SetUp() override {
    PerUserRegistration::SetUp();
    module = LoadLibraryW(kDll.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllInstall")));
    ASSERT_NE(install, nullptr);
    ASSERT_EQ(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(5))),
              reinterpret_cast<void*>(install))
        << "DllInstall is not ordinal 5";
  }
  void TearDown() override {
    PerUserRegistration::TearDown();
    if (module != nullptr) FreeLibrary(module);
  }

  HMODULE module = nullptr;
  InstallFn install = nullptr;
};

TEST_F(DllInstallExport, RefusesACommandLineOtherThanUserAndWritesNothing) {
  EXPECT_HR(E_INVALIDARG, install(TRUE, L"everyone"));
  EXPECT_HR(E_INVALIDARG, install(FALSE, L"users"));
  EXPECT_TRUE(TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses) == userBefore);
  ExpectMachineUnchanged();
}

TEST_F(DllInstallExport, TakesUserInAnyCase) {
  EXPECT_HR(S_OK, install(TRUE, L"USER"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"\\" + kClassKey));
  EXPECT_HR(S_OK, install(FALSE, L"User"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserClasses + L"\\" + kClassKey));
  ExpectMachineUnchanged();
}

TEST_F(DllInstallExport, WithoutACommandLineRegistersForAllUsers) {
  EXPECT_HR(S_OK, install(TRUE, L""));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUserClasses + L"\\" + kClassKey));
  EXPECT_TRUE(TakeRegistrySnapshot(HKEY_CURRENT_USER, kUserClasses) == userBefore);
  EXPECT_HR(S_OK, install(FALSE, nullptr));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUserClasses + L"\\" + kClassKey));
}

// ---- Registration-free activation -------------------------------------------------

// ryn.dll with its manifest in a folder of their own, as a program ships them.
// Copied once: the copy stays loaded after the first activation.
class RegistrationFree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    folder = std::wstring(temp) + L"ryn-regfree-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(kDll.c_str(), (folder + L"\\ryn.dll").c_str(), FALSE)) << GetLastError();
    // Named after the assembly, as shipped: a program's own manifest that
    // depends on the assembly finds it there by probing.
    manifest = folder + L"\\Ryn.VelRyn.manifest";
    ASSERT_TRUE(CopyFileW(RYN_MANIFEST_PATH, manifest.c_str(), FALSE)) << GetLastError();
    application = folder + L"\\client.manifest";
    const char text[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
        "  <assemblyIdentity type=\"win32\" name=\"Ryn.Client\" version=\"1.0.0.0\"/>\r\n"
        "  <dependency><dependentAssembly>\r\n"
        "    <assemblyIdentity type=\"win32\" name=\"Ryn.VelRyn\" version=\"1.1.0.0\"/>\r\n"
        "  </dependentAssembly></dependency>\r\n"
        "</assembly>\r\n";
    HANDLE file = CreateFileW(application.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);
  }

  void TearDown() override {
    if (cookie != 0) DeactivateActCtx(0, cookie);
    if (context != INVALID_HANDLE_VALUE) ReleaseActCtx(context);
  }

  void Activate(const std::wstring& source = manifest) {
    ACTCTXW description{};
    description.cbSize = sizeof description;
    description.lpSource = source.c_str();
    context = CreateActCtxW(&description);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "CreateActCtx failed: " << GetLastError();
    ASSERT_TRUE(ActivateActCtx(context, &cookie)) << GetLastError();
  }

  static std::wstring folder;
  static std::wstring manifest;
  static std::wstring application;
  HANDLE context = INVALID_HANDLE_VALUE;
  ULONG_PTR cookie = 0;
};

std::wstring RegistrationFree::folder;
std::wstring RegistrationFree::manifest;
std::wstring RegistrationFree::application;

TEST_F(RegistrationFree, WithoutTheActivationContextTheClassIsUnknown) {
  CLSID classId = GUID_NULL;
  EXPECT_HR(CO_E_CLASSSTRING, CLSIDFromProgID(L"Ryn.VelRyn.1", &classId));
  ComPtr<IVelComponent> component;
  EXPECT_HR(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                 reinterpret_cast<void**>(component.put())));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
}

// Inside an activation context a ProgID may resolve to an alias of the class
// identifier that only that context knows, so the test creates through it.
TEST_F(RegistrationFree, BothProgIdsCreateTheClassThroughTheManifest) {
  Activate();
  for (const wchar_t* progId : {L"Ryn.VelRyn.1", L"Ryn.VelRyn"}) {
    CLSID classId = GUID_NULL;
    ASSERT_HR(S_OK, CLSIDFromProgID(progId, &classId)) << Narrow(progId);
    ComPtr<IVelComponent> component;
    ASSERT_HR(S_OK, CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                   reinterpret_cast<void**>(component.put())))
        << Narrow(progId);
    comtest::Bstr name(L"VOLUME");
    EXPECT_HR(0x80042006, component->SetParameter(name.get(), comtest::Variant::I4(101).get()))
        << "the component's own range check answers";
  }
}

TEST_F(RegistrationFree, AClientCreatesAndDrivesTheClassFromTheDllBesideTheManifest) {
  Activate();
  ComPtr<IVelComponent> component;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                 reinterpret_cast<void**>(component.put())));
  EXPECT_NE(GetModuleHandleW((folder + L"\\ryn.dll").c_str()), nullptr) << "not the copy beside the manifest";

  comtest::Bstr delay(L"DELAY");
  EXPECT_HR(S_OK, component->SetParameter(delay.get(), comtest::Variant::I4(100).get()));
  EXPECT_HR(0x80042006, component->SetParameter(delay.get(), comtest::Variant::I4(30).get()));
  LONG reported = -1;
  EXPECT_HR(S_OK, component->GetParameter(delay.get(), &reported));
  EXPECT_EQ(reported, 0) << "nothing has run, so nothing was measured";

  // Late binding finds the type library through the manifest too.
  ComPtr<IDispatch> dispatch;
  ASSERT_HR(S_OK, component->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put())));
  wchar_t name[] = L"SetParameter";
  LPOLESTR names[] = {name};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_HR(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(id, 3);
}

TEST_F(RegistrationFree, AProgramsManifestThatDependsOnTheAssemblyFindsItBesideIt) {
  Activate(application);
  CLSID classId = GUID_NULL;
  ASSERT_HR(S_OK, CLSIDFromProgID(L"Ryn.VelRyn.1", &classId));
  ComPtr<IVelComponent> component;
  EXPECT_HR(S_OK, CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                 reinterpret_cast<void**>(component.put())));
}

// ---- The host without registration --------------------------------------------------

TEST(HostWithoutRegistration, LoadsRynDllFromItsOwnFolderAndReportsTheComponentsFailure) {
  const ChildProcessResult host = RunChildProcess(L"\"" RYN_HOST_PATH L"\" --seconds 1");
  ASSERT_TRUE(host.started);
  EXPECT_EQ(host.exitCode, 1u) << host.output;
  EXPECT_NE(host.output.find("class not registered, loaded beside rynhost"), std::string::npos) << host.output;
  EXPECT_NE(host.output.find("Run failed: Could not initialize DirectX (0x80042009)"), std::string::npos)
      << host.output;
}

}  // namespace
