#include "registry/TypeLibraryScript.h"

#include "registry/PerUserRegistryAccess.h"
#include "registry/RegistryCodes.h"
#include "registry/RegistryScript.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/registry/InMemoryRegistry.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string kLibrary = "{B535C15B-1F88-4E32-99E5-2522C591D849}";
const std::string kInterface = "{4496E258-5756-4F7F-90EA-8ADE2DA3275F}";
const std::string kMarshaller = "{00020424-0000-0000-C000-000000000046}";

TypeLibraryEntry Entry() {
  TypeLibraryEntry entry;
  entry.libraryId = kLibrary;
  entry.majorVersion = 1;
  entry.minorVersion = 10;
  entry.lcid = 0x409;
  entry.description = "ryn 1.0 Type Library";
  entry.platform = "win64";
  entry.path = "C:\\Users\\O'Neil\\100%\\ryn.dll";
  entry.helpDirectory = "C:\\Users\\O'Neil\\100%\\";
  entry.flags = 8;
  entry.interfaces.push_back({kInterface, "IVelComponent", kMarshaller});
  return entry;
}

class TypeLibraryScriptTest : public ::testing::Test {
 protected:
  std::int32_t Run(const TypeLibraryEntry& entry, bool registerMode) {
    CPerUserRegistryAccess user(registry);
    CRegistryScript script(user, &ConvertDecimalToUInt32);
    return script.Run(BuildTypeLibraryScript(entry).c_str(), registerMode);
  }

  CInMemoryRegistry registry;
};

TEST_F(TypeLibraryScriptTest, WritesTheLibraryAndItsInterfacesAsRegistrationDoes) {
  ASSERT_EQ(Hr(Run(Entry(), true)), Hr(kSOk));
  const std::string lib = "HKCU\\Software\\Classes\\TypeLib\\" + kLibrary;
  const std::string version = lib + "\\1.a";
  const std::string iface = "HKCU\\Software\\Classes\\Interface\\" + kInterface;
  EXPECT_EQ(registry.Dump(),
            (Lines{"HKCU\\Software",
                   "HKCU\\Software\\Classes",
                   "HKCU\\Software\\Classes\\Interface",
                   iface,
                   iface + " [] sz \"IVelComponent\"",
                   iface + "\\ProxyStubClsid",
                   iface + "\\ProxyStubClsid [] sz \"" + kMarshaller + "\"",
                   iface + "\\ProxyStubClsid32",
                   iface + "\\ProxyStubClsid32 [] sz \"" + kMarshaller + "\"",
                   iface + "\\TypeLib",
                   iface + "\\TypeLib [] sz \"" + kLibrary + "\"",
                   iface + "\\TypeLib [Version] sz \"1.a\"",
                   "HKCU\\Software\\Classes\\TypeLib",
                   lib,
                   version,
                   version + " [] sz \"ryn 1.0 Type Library\"",
                   version + "\\409",
                   version + "\\409\\win64",
                   version + "\\409\\win64 [] sz \"C:\\Users\\O'Neil\\100%\\ryn.dll\"",
                   version + "\\FLAGS",
                   version + "\\FLAGS [] sz \"8\"",
                   version + "\\HELPDIR",
                   version + "\\HELPDIR [] sz \"C:\\Users\\O'Neil\\100%\\\""}));
}

TEST_F(TypeLibraryScriptTest, UnregisteringRemovesTheLibraryAndInterfacesButNotTheirContainers) {
  ASSERT_EQ(Hr(Run(Entry(), true)), Hr(kSOk));
  ASSERT_EQ(Hr(Run(Entry(), false)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Software", "HKCU\\Software\\Classes", "HKCU\\Software\\Classes\\Interface",
                                    "HKCU\\Software\\Classes\\TypeLib"}));
}

TEST_F(TypeLibraryScriptTest, RegisteringAgainReplacesAStaleVersionKey) {
  ASSERT_EQ(Hr(Run(Entry(), true)), Hr(kSOk));
  const Lines first = registry.Dump();
  registry.AddString(kHKeyCurrentUser, "Software\\Classes\\TypeLib\\" + kLibrary + "\\1.a\\0\\win32", "", "old");
  ASSERT_EQ(Hr(Run(Entry(), true)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), first);
}

TEST_F(TypeLibraryScriptTest, ALibraryWithoutInterfacesWritesNoInterfaceKey) {
  TypeLibraryEntry entry = Entry();
  entry.interfaces.clear();
  ASSERT_EQ(Hr(Run(entry, true)), Hr(kSOk));
  EXPECT_FALSE(registry.HasKey(kHKeyCurrentUser, "Software\\Classes\\Interface"));
}

}  // namespace
