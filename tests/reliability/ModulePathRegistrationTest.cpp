// ryn.dll copied into folders whose names carry apostrophes, percent signs
// (also spelling the registry script's own %MODULE%) and characters beyond
// ASCII, inside and outside the ANSI code page, registered and unregistered
// with regsvr32 as an installer would, for all users and for the current
// user. The registry must name the copy exactly, or in its short form where
// the ANSI code page cannot carry the name, the class must load from it, and
// unregistering must remove it. Ends with the build's DLL registered again.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "component/ComTestSupport.h"
#include "common/UniqueLibrary.h"
#include "reliability/ReliabilitySupport.h"
#include "support/ChildProcess.h"
#include "ryn_h.h"

namespace {

using comtest::kTypeLibraryPlatform;
using comtest::ReadRegistryString;
using comtest::RegistryKeyExists;
using reliability::Figure;

const std::wstring kClassKey = L"CLSID\\{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}";
const std::wstring kLibraryKey = L"TypeLib\\{B535C15B-1F88-4E32-99E5-2522C591D849}";
const std::wstring kUserClasses = L"Software\\Classes\\";
const std::wstring kFoldersRoot = L"C:\\ryn reliability";

// regsvr32 from the prefix, as an installer runs it: "ok", or how it failed
// (its exit code and what it printed). A start that failed, or an end with -1 (a
// status neither regsvr32 nor a crash gives), is the process machinery's
// fault, not the DLL's: it is tried once more and counted.
int restarts = 0;

std::string RunRegsvr32(const std::wstring& arguments) {
  const std::wstring command = L"regsvr32.exe " + arguments;
  ChildProcessResult result = RunChildProcess(command);
  if (!result.started || result.exitCode == static_cast<DWORD>(-1)) {
    ++restarts;
    result = RunChildProcess(command);
  }
  if (!result.started) return "did not start";
  if (result.exitCode == STILL_ACTIVE) return "did not end within a minute";
  char code[32];
  std::snprintf(code, sizeof code, "exit code 0x%lX", static_cast<unsigned long>(result.exitCode));
  return result.exitCode == 0 ? std::string("ok") : std::string(code) + " " + result.output;
}

// The file the running class object was loaded from.
std::wstring ModuleOf(IUnknown* object) {
  HMODULE module = nullptr;
  void* const* vtable = *reinterpret_cast<void* const* const*>(object);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(vtable[0]), &module)) {
    return std::wstring();
  }
  wchar_t name[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
  return std::wstring(name, length);
}

// Whether the text survives the code page.
bool FitsCodePage(UINT codePage, const std::wstring& text) {
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
  return bytes > 0 && !lossy;
}

// The ANSI code page, in which the registry's 8-bit functions, and so the
// registry script, write the module path.
bool FitsTheAnsiCodePage(const std::wstring& text) { return FitsCodePage(CP_ACP, text); }

// Whether two paths name the same file (volume and file index).
bool SameFile(const std::wstring& first, const std::wstring& second) {
  const auto identity = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return known;
  };
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return identity(first, a) && identity(second, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The registered path names the copy: as it is, or in its short form when
// the ANSI code page cannot carry it.
void ExpectNamesTheCopy(const std::wstring& copy, const std::optional<std::wstring>& registered, const char* what) {
  ASSERT_TRUE(registered) << what << " is not registered";
  if (FitsTheAnsiCodePage(copy)) {
    EXPECT_EQ(copy, *registered) << what;
  } else {
    EXPECT_TRUE(FitsTheAnsiCodePage(*registered)) << what << ": registered as an approximation of the path";
    EXPECT_TRUE(SameFile(copy, *registered)) << what << ": the registered path does not name the copy";
  }
}

// ryn.dll copied into a folder of the given name, removed again with it.
class CopyInFolder {
 public:
  explicit CopyInFolder(const std::wstring& name) : folder(kFoldersRoot + L"\\" + name), copy(folder + L"\\ryn.dll") {
    CreateDirectoryW(kFoldersRoot.c_str(), nullptr);
    created = (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) &&
              CopyFileW(RYN_DLL_PATH, copy.c_str(), FALSE);
  }
  CopyInFolder(const CopyInFolder&) = delete;
  CopyInFolder& operator=(const CopyInFolder&) = delete;
  ~CopyInFolder() {
    CoFreeUnusedLibraries();
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(kFoldersRoot.c_str());
  }

  const std::wstring folder;
  const std::wstring copy;
  bool created = false;
};

void ExpectUserRegistrationNamesTheCopy(const std::wstring& copy) {
  ExpectNamesTheCopy(copy, ReadRegistryString(HKEY_CURRENT_USER, kUserClasses + kClassKey + L"\\InprocServer32", nullptr),
                     "the user's class");
  ExpectNamesTheCopy(copy,
                     ReadRegistryString(HKEY_CURRENT_USER,
                                        kUserClasses + kLibraryKey + L"\\1.0\\0\\" + kTypeLibraryPlatform, nullptr),
                     "the user's type library");
}

void ExpectNoUserRegistration() {
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kUserClasses + kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kUserClasses + kLibraryKey + L"\\1.0"));
}

struct Folder {
  const char* label;
  const wchar_t* name;
};

void PrintTo(const Folder& folder, std::ostream* os) { *os << folder.label; }

const Folder kFolders[] = {
    {"Apostrophes", L"O'Brien's ''quoted'' files"},
    {"PercentSigns", L"100% sure %% 50%off"},
    {"ScriptReplacementNames", L"%MODULE% and %APPID%"},
    {"LatinLetters", L"M\x00FCller \x00E9t\x00E9 \x00C6\x00F8"},
    {"BeyondTheAnsiCodePage", L"\x0414\x0430\x043D\x043D\x044B\x0435 \x97F3\x58F0 \x03A9"},
    {"EverythingAtOnce", L"it's 100% \x00FC\x03A9 '%MODULE%'"},
};

class ModulePathRegistration : public ::testing::TestWithParam<Folder> {
 protected:
  static void TearDownTestSuite() {
    EXPECT_EQ("ok", RunRegsvr32(L"/s \"" + std::wstring(RYN_DLL_PATH) + L"\"")) << "registering the build's DLL again";
    EXPECT_EQ(std::wstring(RYN_DLL_PATH), ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr));
    Figure("module paths: %d folders registered and unregistered with regsvr32, for all users and for the "
           "current user (%d beyond the ANSI code page, "
           "registered in their short form), %d classes created from the copy, regsvr32 started again %d times",
           registered, shortForms, created, restarts);
  }

  void SetUp() override {
    folder.emplace(GetParam().name);
    ASSERT_TRUE(folder->created) << GetLastError();
    copy = folder->copy;
  }

  void TearDown() override { folder.reset(); }

  std::optional<CopyInFolder> folder;
  std::wstring copy;
  static int registered;
  static int shortForms;
  static int created;
};

int ModulePathRegistration::registered = 0;
int ModulePathRegistration::shortForms = 0;
int ModulePathRegistration::created = 0;

// For the current user first: the class is then created from the copy
// registered for all users, which keeps the copy loaded.
TEST_P(ModulePathRegistration, RegistersAndUnregistersTheCopy) {
  ASSERT_EQ("ok", RunRegsvr32(L"/s /n /i:user \"" + copy + L"\"")) << "regsvr32 /n /i:user failed";
  ExpectUserRegistrationNamesTheCopy(copy);
  ASSERT_EQ("ok", RunRegsvr32(L"/u /s /n /i:user \"" + copy + L"\"")) << "regsvr32 /u /n /i:user failed";
  ExpectNoUserRegistration();

  ASSERT_EQ("ok", RunRegsvr32(L"/s \"" + copy + L"\"")) << "regsvr32 failed";
  ++registered;
  ExpectNamesTheCopy(copy, ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr), "the class");
  if (!FitsTheAnsiCodePage(copy)) ++shortForms;
  EXPECT_EQ(L"both", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_EQ(L"Ryn.VelRyn.1", ReadRegistryString(HKEY_CLASSES_ROOT, kClassKey + L"\\ProgID", nullptr));
  EXPECT_EQ(copy, ReadRegistryString(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0\\0\\" + kTypeLibraryPlatform, nullptr));

  {
    ComPtr<IVelComponent> component;
    const HRESULT hr = CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                                        reinterpret_cast<void**>(component.put()));
    ASSERT_HR(S_OK, hr);
    EXPECT_TRUE(SameFile(copy, ModuleOf(component.get()))) << "the class was not loaded from the copy";
    ++created;
  }
  CoFreeUnusedLibraries();

  ASSERT_EQ("ok", RunRegsvr32(L"/u /s \"" + copy + L"\"")) << "regsvr32 /u failed";
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Ryn.VelRyn.1"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"Ryn.VelRyn"));
  EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, kLibraryKey + L"\\1.0"));
}

INSTANTIATE_TEST_SUITE_P(Folders, ModulePathRegistration, ::testing::ValuesIn(kFolders),
                         [](const ::testing::TestParamInfo<Folder>& info) { return std::string(info.param.label); });

// Registration writes every text in the system's ANSI code page, which the
// registry's 8-bit functions read, whatever the calling thread's locale: a
// folder name that the thread's code page carries and the system's does not
// is registered in its short form, not in the thread's bytes.

struct LocaleFolder {
  LANGID language;
  const wchar_t* name;
};

const LocaleFolder kLocaleFolders[] = {
    {MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), L"\x0414\x0430\x043D\x043D\x044B\x0435"},
    {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), L"M\x00FCller \x00E9t\x00E9"},
};

UINT AnsiCodePageOf(LCID locale) {
  DWORD codePage = 0;
  GetLocaleInfoW(locale, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER, reinterpret_cast<LPWSTR>(&codePage),
                 sizeof codePage / sizeof(wchar_t));
  return codePage;
}

using InstallFunction = HRESULT(WINAPI*)(BOOL, PCWSTR);

// DllInstall of the copy, called on a thread whose locale is `locale`.
HRESULT InstallOnThreadOfLocale(const std::wstring& copy, LCID locale, bool install) {
  HRESULT hr = E_UNEXPECTED;
  std::thread caller([&] {
    if (!SetThreadLocale(locale)) return;
    const UniqueLibrary module(LoadLibraryW(copy.c_str()));
    if (!module) return;
    hr = comtest::Export<InstallFunction>(module.get(), "DllInstall")(install ? TRUE : FALSE, L"user");
  });
  caller.join();
  return hr;
}

TEST(ModulePathCodePage, UserRegistrationFollowsTheSystemCodePageNotTheThreadLocale) {
  const LocaleFolder* chosen = nullptr;
  LCID locale = 0;
  for (const LocaleFolder& candidate : kLocaleFolders) {
    locale = MAKELCID(candidate.language, SORT_DEFAULT);
    if (FitsCodePage(AnsiCodePageOf(locale), candidate.name) && !FitsTheAnsiCodePage(candidate.name)) {
      chosen = &candidate;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale whose code page differs from the system's (" << GetACP() << ")";

  const CopyInFolder folder(chosen->name);
  ASSERT_TRUE(folder.created) << GetLastError();
  HRESULT hr = InstallOnThreadOfLocale(folder.copy, locale, true);
  ASSERT_HR(S_OK, hr);
  ExpectUserRegistrationNamesTheCopy(folder.copy);
  hr = InstallOnThreadOfLocale(folder.copy, locale, false);
  EXPECT_HR(S_OK, hr);
  ExpectNoUserRegistration();
}

}  // namespace
