#include "registry/Win32RegistryAccess.h"

#include "registry/RegistryCodes.h"
#include "registry/RegistryScript.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/registry/InMemoryRegistry.h"
#include "tests/component/ResultText.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct QueriedValue {
  LONG error = ERROR_SUCCESS;
  DWORD type = 0;
  Bytes data;
};

QueriedValue Query(const std::string& path, const char* name) {
  QueriedValue value;
  HKEY key = nullptr;
  value.error = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
  if (value.error != ERROR_SUCCESS) return value;
  DWORD size = 0;
  value.error = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
  if (value.error == ERROR_SUCCESS) {
    value.data.resize(size);
    value.error = RegQueryValueExA(key, name, nullptr, &value.type, value.data.data(), &size);
  }
  RegCloseKey(key);
  return value;
}

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Each test works below its own key in HKEY_CURRENT_USER\Software and removes
// it afterwards.
class Win32RegistryScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()); }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()); }

  std::string InScratch(const std::string& body) const {
    return "HKCU\r\n{\r\n NoRemove Software\r\n {\r\n  " + body + "\r\n }\r\n}\r\n";
  }

  const std::string name = "RynRegistryScriptTest" + std::to_string(GetCurrentProcessId());
  const std::string path = "Software\\" + name;
  CWin32RegistryAccess registry;
  CRegistryScript script{registry, &ConvertTextToUInt32, &IsAnsiLeadByte};
};

TEST_F(Win32RegistryScriptTest, PredefinedRootsCarryThePlatformValues) {
  EXPECT_EQ(kHKeyClassesRoot, reinterpret_cast<RegistryKey>(HKEY_CLASSES_ROOT));
  EXPECT_EQ(kHKeyCurrentUser, reinterpret_cast<RegistryKey>(HKEY_CURRENT_USER));
  EXPECT_EQ(kHKeyLocalMachine, reinterpret_cast<RegistryKey>(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(kHKeyUsers, reinterpret_cast<RegistryKey>(HKEY_USERS));
  EXPECT_EQ(kHKeyPerformanceData, reinterpret_cast<RegistryKey>(HKEY_PERFORMANCE_DATA));
  EXPECT_EQ(kHKeyCurrentConfig, reinterpret_cast<RegistryKey>(HKEY_CURRENT_CONFIG));
  EXPECT_EQ(kHKeyDynData, reinterpret_cast<RegistryKey>(HKEY_DYN_DATA));
}

TEST_F(Win32RegistryScriptTest, RegisterWritesEveryValueTypeAndUnregisterRemovesTheKey) {
  ASSERT_EQ(Hr(script.AddReplacement("Module", "C:\\O''Brien\\ryn.dll")), Hr(kSOk));
  const std::string body = "ForceRemove " + name +
                           " = s 'Default'\r\n  {\r\n"
                           "   val Text = s 'it''s'\r\n   val Number = d '12'\r\n   val Bytes = b '0aFF'\r\n"
                           "   val List = m 'a\\0b'\r\n   Sub { Deeper = s '%MODULE%' }\r\n  }";

  ASSERT_EQ(Hr(script.Run(InScratch(body).c_str(), true)), Hr(kSOk));
  const QueriedValue text = Query(path, "Text");
  EXPECT_EQ(text.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(text.data, (Bytes{'i', 't', '\'', 's', 0}));
  const QueriedValue number = Query(path, "Number");
  EXPECT_EQ(number.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(number.data, (Bytes{12, 0, 0, 0}));
  const QueriedValue bytes = Query(path, "Bytes");
  EXPECT_EQ(bytes.type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(bytes.data, (Bytes{0x0A, 0xFF}));
  const QueriedValue list = Query(path, "List");
  EXPECT_EQ(list.type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(list.data, (Bytes{'a', 0, 'b', 0, 0}));
  const QueriedValue module = Query(path + "\\Sub\\Deeper", "");
  EXPECT_EQ(std::string(module.data.begin(), module.data.end()), std::string("C:\\O'Brien\\ryn.dll", 19));
  EXPECT_EQ(Query(path, "").data, (Bytes{'D', 'e', 'f', 'a', 'u', 'l', 't', 0}));

  EXPECT_EQ(Hr(script.Run(InScratch(body).c_str(), false)), Hr(kSOk));
  EXPECT_FALSE(KeyExists(path));
  EXPECT_TRUE(KeyExists("Software"));
}

TEST_F(Win32RegistryScriptTest, ForceRemoveDeletesTheWholeSubtree) {
  HKEY stale = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (path + "\\Stale\\Deep\\Deeper").c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &stale, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(stale);

  EXPECT_EQ(Hr(script.Run(InScratch("ForceRemove " + name + " { Fresh }").c_str(), true)), Hr(kSOk));
  EXPECT_FALSE(KeyExists(path + "\\Stale"));
  EXPECT_TRUE(KeyExists(path + "\\Fresh"));
}

TEST_F(Win32RegistryScriptTest, AFailedBlockIsUndone) {
  EXPECT_EQ(Hr(script.Run(InScratch(name + " = s 'x' { A = s 'y' B { val N = d 'twelve' } }").c_str(), true)),
            Hr(DISP_E_TYPEMISMATCH));
  EXPECT_FALSE(KeyExists(path));
}

// The same operations on the platform's registry and on the in-memory double
// give the same answers, so the double's tests hold for the platform.
std::vector<std::int32_t> Exercise(IRegistryAccess& access, RegistryKey base) {
  std::vector<std::int32_t> answers;
  RegistryKey parent = 0;
  RegistryKey child = 0;
  RegistryKey readOnly = 0;
  RegistryKey same = 0;
  std::string name;
  const std::uint8_t data[] = {'v', 0};
  answers.push_back(access.CreateKey(base, "Parent", &parent));
  answers.push_back(access.CreateKey(parent, "beta", &child));
  answers.push_back(access.CloseKey(child));
  answers.push_back(access.CreateKey(parent, "Alpha", &child));
  answers.push_back(access.CloseKey(child));
  answers.push_back(access.CreateKey(parent, "ALPHA", &child));
  answers.push_back(access.CloseKey(child));
  answers.push_back(access.OpenKey(parent, "Missing", false, &child));
  answers.push_back(access.EnumKey(parent, 0, &name));
  answers.push_back(name == "Alpha" ? 0 : -1);
  answers.push_back(access.EnumKey(parent, 1, &name));
  answers.push_back(name == "beta" ? 0 : -1);
  answers.push_back(access.EnumKey(parent, 2, &name));
  answers.push_back(access.OpenKey(base, "Parent", false, &readOnly));
  answers.push_back(access.SetValue(readOnly, "V", kRegSz, data, sizeof data));
  answers.push_back(access.OpenKey(readOnly, "", true, &same));
  answers.push_back(access.SetValue(same, "V", kRegSz, data, sizeof data));
  answers.push_back(access.DeleteValue(same, "v"));
  answers.push_back(access.DeleteValue(same, "V"));
  answers.push_back(access.CloseKey(same));
  answers.push_back(access.DeleteKey(base, "Parent"));
  answers.push_back(access.DeleteKey(readOnly, "Missing"));
  answers.push_back(access.DeleteKey(readOnly, "alpha"));
  answers.push_back(access.DeleteKey(readOnly, "BETA"));
  answers.push_back(access.CloseKey(readOnly));
  answers.push_back(access.CloseKey(parent));
  answers.push_back(access.DeleteKey(base, "Parent"));
  return answers;
}

TEST_F(Win32RegistryScriptTest, AdapterAnswersLikeTheInMemoryRegistry) {
  RegistryKey base = 0;
  ASSERT_EQ(registry.CreateKey(kHKeyCurrentUser, path, &base), 0);
  const std::vector<std::int32_t> platform = Exercise(registry, base);
  EXPECT_EQ(registry.CloseKey(base), 0);

  CInMemoryRegistry double_;
  ASSERT_EQ(double_.CreateKey(kHKeyCurrentUser, path, &base), 0);
  const std::vector<std::int32_t> inMemory = Exercise(double_, base);
  EXPECT_EQ(double_.CloseKey(base), 0);

  EXPECT_EQ(platform, inMemory);
  EXPECT_EQ(platform, (std::vector<std::int32_t>{0, 0, 0, 0, 0, 0, 0, kErrorFileNotFound, 0, 0, 0, 0,
                                                 kErrorNoMoreItems, 0, kErrorAccessDenied, 0, 0, 0,
                                                 kErrorFileNotFound, 0, kErrorAccessDenied, kErrorFileNotFound, 0, 0,
                                                 0, 0, 0}));
}

TEST(Win32NumberConversion, AgreesWithThePortableConverter) {
  for (const char* text : {"0", "12", " 12 ", "007", "4294967295", "4294967296", "abc", "", "1x", "x1", "12 3"}) {
    std::uint32_t platform = 0xDEADBEEF;
    std::uint32_t portable = 0xDEADBEEF;
    EXPECT_EQ(Hr(ConvertTextToUInt32(text, &platform)), Hr(ConvertDecimalToUInt32(text, &portable))) << text;
    EXPECT_EQ(platform, portable) << text;
  }
}

}  // namespace
