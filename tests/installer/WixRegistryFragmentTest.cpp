#include "installer/WixRegistryFragment.h"

#include "tests/registry/DecimalNumberConverter.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

const std::string kClassKey = "CLSID\\{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}";
const std::string kInterfaceKey = "Interface\\{4496E258-5756-4F7F-90EA-8ADE2DA3275F}";

std::string ModuleScript() {
  std::ifstream file(RYN_REGISTRY_SCRIPT, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

WixRegistryRequest Request(const std::string& script, bool win64) {
  WixRegistryRequest request;
  request.script = script;
  request.fileId = "ryn.dll";
  request.directoryId = "INSTALLFOLDER";
  request.groupId = "Registryx64";
  request.componentId = win64 ? "Registryx64" : "Registryx86";
  request.sharedComponentId = "RegistryShared";
  request.win64 = win64;
  request.convertNumber = &ConvertDecimalToUInt32;
  return request;
}

TypeLibraryEntry Library(const std::string& platform) {
  TypeLibraryEntry entry;
  entry.libraryId = "{B535C15B-1F88-4E32-99E5-2522C591D849}";
  entry.majorVersion = 1;
  entry.lcid = 0;
  entry.description = "ryn 1.0 Type Library";
  entry.platform = platform;
  entry.path = "C:\\build\\ryn.dll";
  entry.flags = 8;
  entry.interfaces.push_back(
      {"{4496E258-5756-4F7F-90EA-8ADE2DA3275F}", "IVelComponent", "{00020424-0000-0000-C000-000000000046}"});
  return entry;
}

std::string Value(const std::string& key, const std::string& value, const std::string& name = std::string()) {
  return "<RegistryValue Root=\"HKCR\" Key=\"" + key + "\"" + (name.empty() ? "" : " Name=\"" + name + "\"") +
         " Type=\"string\" Value=\"" + value + "\"";
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The component's own part of a fragment, and the part both packages share.
std::string Part(const std::string& fragment, const std::string& componentId) {
  const std::size_t start = fragment.find("<Component Id=\"" + componentId + "\"");
  if (start == std::string::npos) return std::string();
  return fragment.substr(start, fragment.find("</Component>", start) - start);
}

TEST(WixRegistryFragment, ModuleScriptAndTypeLibraryBecomeTheInstalledFilesEntries) {
  const std::string script = ModuleScript();
  ASSERT_NE(script.find("HKCR"), std::string::npos) << "script not found at " << RYN_REGISTRY_SCRIPT;
  std::string shared[2];
  for (const bool win64 : {true, false}) {
    SCOPED_TRACE(win64 ? "x64" : "x86");
    WixRegistryRequest request = Request(script, win64);
    request.typeLibrary = Library(win64 ? "win64" : "win32");
    std::string fragment = "marker";
    std::string failure;
    ASSERT_EQ(Hr(BuildWixRegistryFragment(request, &fragment, &failure)), Hr(0)) << failure;
    const std::string own = Part(fragment, request.componentId);
    shared[win64] = Part(fragment, "RegistryShared");

    EXPECT_EQ(Count(own, Value(kClassKey + "\\InprocServer32", "[#ryn.dll]")), 1u) << fragment;
    EXPECT_EQ(Count(own, Value(kClassKey + "\\InprocServer32", "both", "ThreadingModel")), 1u);
    EXPECT_EQ(Count(own, Value("Ryn.VelRyn.1\\CLSID", "{B8BB5938-700B-4D8B-B5D5-547BEEE3B656}")), 1u);
    const std::string libraryKey = "TypeLib\\{B535C15B-1F88-4E32-99E5-2522C591D849}\\1.0";
    EXPECT_EQ(Count(own, Value(libraryKey + "\\0\\" + (win64 ? "win64" : "win32"), "[#ryn.dll]")), 1u);
    EXPECT_EQ(Count(own, Value(libraryKey + "\\HELPDIR", "[INSTALLFOLDER]")), 1u);
    EXPECT_EQ(Count(shared[win64], Value(libraryKey + "\\FLAGS", "8")), 1u);
    EXPECT_EQ(Count(shared[win64], Value(kInterfaceKey, "IVelComponent")), 1u);
    // The interfaces also go into the 64-bit package's own view.
    EXPECT_EQ(Count(own, Value(kInterfaceKey, "IVelComponent")), win64 ? 1u : 0u);
    EXPECT_NE(own.find(win64 ? "Win64=\"yes\"" : "Win64=\"no\""), std::string::npos);
    EXPECT_EQ(Count(fragment, "<Component "), 2u);
    EXPECT_EQ(Count(fragment, "KeyPath=\"yes\""), 2u);
  }
  EXPECT_NE(shared[true].find("Win64=\"no\""), std::string::npos) << shared[true];
  EXPECT_EQ(shared[true], shared[false]);
}

TEST(WixRegistryFragment, TextsAreEscapedForTheFormattedColumnsAndTheXml) {
  const std::string script =
      "HKLM { NoRemove Software { 'a[b]' = s 'x<&\"%MODULE%\",1' { val Count = d '12' } } }";
  std::string fragment;
  std::string failure;
  ASSERT_EQ(Hr(BuildWixRegistryFragment(Request(script, true), &fragment, &failure)), Hr(0)) << failure;
  EXPECT_NE(fragment.find("<RegistryValue Root=\"HKLM\" Key=\"Software\\a[\\[]b[\\]]\" Type=\"string\" "
                          "Value=\"x&lt;&amp;&quot;[#ryn.dll]&quot;,1\" KeyPath=\"yes\"/>"),
            std::string::npos)
      << fragment;
  EXPECT_NE(fragment.find("Name=\"Count\" Type=\"integer\" Value=\"12\"/>"), std::string::npos) << fragment;
}

// What a package's registry entries cannot express fails the generation,
// whether or not the interpreter reports it.
TEST(WixRegistryFragment, RefusesWhatThePackageCannotExpress) {
  const struct {
    const char* script;
    const char* reason;
  } cases[] = {
      {"HKCR { Delete Stale }", "deletes HKCR\\Stale"},
      {"HKCR { NoRemove CLSID { Delete Old val Name = s 'x' } }", "deletes HKCR\\CLSID\\Old"},
      {"HKCR { A = s 'x' ForceRemove A = s 'y' }", "deletes HKCR\\A"},
      {"HKCU { Software = s 'x' }", "per-machine"},
      {"HKCR { A = m 'x\\0y' }", "type"},
      {"HKCR { A = b '0102' }", "type"},
      {"HKCR { A = s '' }", "empty"},
      {"HKCR { A { B } }", "HKCR\\A\\B would be created empty"},
      {"HKCR { A = s 'caf\xe9' }", "ASCII"},
      {"HKCR { A = s '%UNKNOWN%' }", "script fails"},
      {"HKCR { A = s 'x'", "script fails"},
      {"HKCR { }", "writes nothing"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.script);
    std::string fragment = "marker";
    std::string failure;
    EXPECT_LT(BuildWixRegistryFragment(Request(item.script, true), &fragment, &failure), 0);
    EXPECT_NE(failure.find(item.reason), std::string::npos) << failure;
    EXPECT_EQ(fragment, "marker");
  }
}

}  // namespace
