#include "registry/PerUserRegistryAccess.h"

#include "registry/RegistryCodes.h"
#include "registry/RegistryScript.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/registry/InMemoryRegistry.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string kClassKey = "CLSID\\{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}";
const std::string kModule = "C:\\Users\\ann\\ryn\\ryn.dll";

// The module's own registry script, as registration runs it.
std::string ModuleScript() {
  std::ifstream file(RYN_REGISTRY_SCRIPT, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Lines WithPrefix(const Lines& lines, const std::string& prefix) {
  Lines selected;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) selected.push_back(line);
  }
  return selected;
}

// The machine's registration of the same script, for comparison.
Lines MachineRegistration() {
  CInMemoryRegistry machine;
  CRegistryScript script(machine, &ConvertDecimalToUInt32);
  script.AddReplacement("APPID", "");
  script.AddReplacement("Module", kModule.c_str());
  const std::string text = ModuleScript();
  EXPECT_EQ(Hr(script.Run(text.c_str(), true)), Hr(kSOk));
  return machine.Dump();
}

class PerUserRegistryAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = ModuleScript();
    ASSERT_NE(script_.find("HKCR"), std::string::npos) << "script not found at " << RYN_REGISTRY_SCRIPT;
  }

  // Runs the module's script for the current user, as DllInstall does.
  std::int32_t Run(bool registerMode) {
    CPerUserRegistryAccess user(registry);
    CRegistryScript script(user, &ConvertDecimalToUInt32);
    script.AddReplacement("APPID", "");
    script.AddReplacement("Module", kModule.c_str());
    return script.Run(script_.c_str(), registerMode);
  }

  CInMemoryRegistry registry;
  std::string script_;
};

TEST_F(PerUserRegistryAccessTest, RegistrationWritesTheMachineEntriesBelowTheUsersClasses) {
  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));

  Lines expected = {"HKCU\\Software", "HKCU\\Software\\Classes"};
  for (const std::string& line : MachineRegistration()) {
    ASSERT_EQ(line.rfind("HKCR\\", 0), 0u) << line;
    expected.push_back("HKCU\\Software\\Classes\\" + line.substr(5));
  }
  EXPECT_EQ(registry.Dump(), expected);
  EXPECT_TRUE(registry.GetValue(kHKeyCurrentUser, "Software\\Classes\\" + kClassKey + "\\InprocServer32", ""));
}

TEST_F(PerUserRegistryAccessTest, NothingIsWrittenOutsideTheUsersClasses) {
  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));
  for (const std::string& line : registry.Dump()) {
    EXPECT_EQ(line.rfind("HKCU\\Software", 0), 0u) << line;
  }
  for (const std::string& call : registry.Calls()) {
    EXPECT_EQ(call.find("HKCR"), std::string::npos) << call;
  }
}

TEST_F(PerUserRegistryAccessTest, UnregistrationRemovesEverythingButTheProtectedClsidKey) {
  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));
  ASSERT_EQ(Hr(Run(false)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Software", "HKCU\\Software\\Classes", "HKCU\\Software\\Classes\\CLSID"}));
}

TEST_F(PerUserRegistryAccessTest, UnregistrationWithoutUserClassesSucceedsAndCreatesNothing) {
  EXPECT_EQ(Hr(Run(false)), Hr(kSOk));
  EXPECT_EQ(registry.ChangingCallCount(), 0u);
  EXPECT_TRUE(registry.Dump().empty());
}

TEST_F(PerUserRegistryAccessTest, AMachineRegistrationIsLeftAlone) {
  registry.AddString(kHKeyClassesRoot, kClassKey + "\\InprocServer32", "", "C:\\Program Files\\ryn\\ryn.dll");
  registry.AddString(kHKeyClassesRoot, "Ryn.VelRyn.1\\CLSID", "", "machine");
  const Lines machine = WithPrefix(registry.Dump(), "HKCR");

  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));
  EXPECT_EQ(WithPrefix(registry.Dump(), "HKCR"), machine);
  ASSERT_EQ(Hr(Run(false)), Hr(kSOk));
  EXPECT_EQ(WithPrefix(registry.Dump(), "HKCR"), machine);
}

TEST_F(PerUserRegistryAccessTest, RegisteringTwiceGivesTheSameEntries) {
  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));
  const Lines first = registry.Dump();
  registry.AddString(kHKeyCurrentUser, "Software\\Classes\\" + kClassKey + "\\Stale", "", "old");
  ASSERT_EQ(Hr(Run(true)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), first);
}

TEST_F(PerUserRegistryAccessTest, OtherRootsPassThroughUnchanged) {
  CPerUserRegistryAccess user(registry);
  CRegistryScript script(user, &ConvertDecimalToUInt32);
  ASSERT_EQ(Hr(script.Run("HKLM { Software { Ryn = s 'machine' } } HKCU { Ryn = s 'user' }", true)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Ryn", "HKCU\\Ryn [] sz \"user\"", "HKLM\\Software", "HKLM\\Software\\Ryn",
                                    "HKLM\\Software\\Ryn [] sz \"machine\""}));
}

TEST_F(PerUserRegistryAccessTest, AFailureToCreateTheUsersClassesIsReturned) {
  registry.FailCallsStartingWith("CreateKey HKCU\\Software\\Classes", kErrorAccessDenied);
  EXPECT_EQ(Hr(Run(true)), Hr(static_cast<std::int32_t>(0x80070005u)));
  EXPECT_TRUE(WithPrefix(registry.Dump(), "HKCU\\Software\\Classes\\").empty());
}

TEST_F(PerUserRegistryAccessTest, TheUsersClassesKeyIsOpenedOnceAndClosedAtTheEnd) {
  {
    CPerUserRegistryAccess user(registry);
    CRegistryScript script(user, &ConvertDecimalToUInt32);
    script.AddReplacement("APPID", "");
    script.AddReplacement("Module", kModule.c_str());
    ASSERT_EQ(Hr(script.Run(script_.c_str(), true)), Hr(kSOk));
    const Lines calls = registry.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "CreateKey HKCU\\Software\\Classes"), 1);
    EXPECT_EQ(registry.OpenHandleCount(), 1u) << "only the user's classes key stays open";
  }
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

}  // namespace
