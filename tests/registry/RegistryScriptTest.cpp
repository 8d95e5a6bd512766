#include "registry/RegistryScript.h"

#include "registry/RegistryCodes.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/registry/InMemoryRegistry.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

const std::string kClassId = "{6A0C2E4B-93D1-4F57-8B2E-5C7D19A3F046}";
const std::string kOtherClassId = "{11111111-2222-3333-4444-555555555555}";

const std::string kClassScript =
    "HKCR\r\n"
    "{\r\n"
    "\tRyn.VelRyn.1 = s 'VelRyn Class'\r\n"
    "\t{\r\n"
    "\t\tCLSID = s '" + kClassId + "'\r\n"
    "\t}\r\n"
    "\tRyn.VelRyn = s 'VelRyn Class'\r\n"
    "\t{\r\n"
    "\t\tCLSID = s '" + kClassId + "'\r\n"
    "\t}\r\n"
    "\tNoRemove CLSID\r\n"
    "\t{\r\n"
    "\t\tForceRemove " + kClassId + " = s 'VelRyn Class'\r\n"
    "\t\t{\r\n"
    "\t\t\tProgID = s 'Ryn.VelRyn.1'\r\n"
    "\t\t\tVersionIndependentProgID = s 'Ryn.VelRyn'\r\n"
    "\t\t\tInprocServer32 = s '%MODULE%'\r\n"
    "\t\t\t{\r\n"
    "\t\t\t\tval ThreadingModel = s 'both'\r\n"
    "\t\t\t}\r\n"
    "\t\t}\r\n"
    "\t}\r\n"
    "}\r\n";

const std::string kClassKey = "HKCR\\CLSID\\" + kClassId;

const Lines kRegisteredClass = {
    "HKCR\\CLSID",
    kClassKey,
    kClassKey + " [] sz \"VelRyn Class\"",
    kClassKey + "\\InprocServer32",
    kClassKey + "\\InprocServer32 [] sz \"C:\\Program Files\\O'Brien\\ryn.dll\"",
    kClassKey + "\\InprocServer32 [ThreadingModel] sz \"both\"",
    kClassKey + "\\ProgID",
    kClassKey + "\\ProgID [] sz \"Ryn.VelRyn.1\"",
    kClassKey + "\\VersionIndependentProgID",
    kClassKey + "\\VersionIndependentProgID [] sz \"Ryn.VelRyn\"",
    "HKCR\\Ryn.VelRyn",
    "HKCR\\Ryn.VelRyn [] sz \"VelRyn Class\"",
    "HKCR\\Ryn.VelRyn\\CLSID",
    "HKCR\\Ryn.VelRyn\\CLSID [] sz \"" + kClassId + "\"",
    "HKCR\\Ryn.VelRyn.1",
    "HKCR\\Ryn.VelRyn.1 [] sz \"VelRyn Class\"",
    "HKCR\\Ryn.VelRyn.1\\CLSID",
    "HKCR\\Ryn.VelRyn.1\\CLSID [] sz \"" + kClassId + "\"",
};

bool ShiftJisLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

Lines CallsStartingWith(const CInMemoryRegistry& registry, const std::string& prefix) {
  Lines selected;
  for (const std::string& line : registry.Calls()) {
    if (line.rfind(prefix, 0) == 0) selected.push_back(line);
  }
  return selected;
}

class RegistryScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Hr(script.AddReplacement("APPID", "")), Hr(kSOk));
    ASSERT_EQ(Hr(script.AddReplacement("Module", "C:\\Program Files\\O''Brien\\ryn.dll")), Hr(kSOk));
  }
  void TearDown() override { EXPECT_EQ(registry.OpenHandleCount(), 0u) << "keys left open"; }

  std::int32_t Register(const std::string& text) { return script.Run(text.c_str(), true); }
  std::int32_t Unregister(const std::string& text) { return script.Run(text.c_str(), false); }
  Bytes ValueBytes(RegistryKey root, const std::string& path, const std::string& name) {
    const auto value = registry.GetValue(root, path, name);
    return value ? value->data : Bytes{};
  }

  CInMemoryRegistry registry;
  CRegistryScript script{registry, &ConvertDecimalToUInt32};
};

// ---- The class script ----------------------------------------------------------

TEST_F(RegistryScriptTest, RegisterOnAnEmptyRegistryWritesExactlyTheClassEntries) {
  EXPECT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), kRegisteredClass);
}

TEST_F(RegistryScriptTest, RegisterCreatesTheKeysInScriptOrder) {
  ASSERT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  EXPECT_EQ(CallsStartingWith(registry, "CreateKey"),
            (Lines{"CreateKey HKCR\\Ryn.VelRyn.1", "CreateKey HKCR\\Ryn.VelRyn.1\\CLSID", "CreateKey HKCR\\Ryn.VelRyn",
                   "CreateKey HKCR\\Ryn.VelRyn\\CLSID", "CreateKey HKCR\\CLSID", "CreateKey " + kClassKey,
                   "CreateKey " + kClassKey + "\\ProgID", "CreateKey " + kClassKey + "\\VersionIndependentProgID",
                   "CreateKey " + kClassKey + "\\InprocServer32"}));
}

TEST_F(RegistryScriptTest, RegisterAgainDeletesAndRecreatesTheClassKey) {
  ASSERT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  registry.AddString(kHKeyClassesRoot, "CLSID\\" + kClassId + "\\Stale\\Deeper", "old", "value");
  registry.AddString(kHKeyClassesRoot, "CLSID\\" + kClassId, "OldValue", "x");
  registry.ClearCalls();

  EXPECT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), kRegisteredClass);
  const Lines deletions = CallsStartingWith(registry, "DeleteKey");
  EXPECT_NE(std::find(deletions.begin(), deletions.end(), "DeleteKey " + kClassKey), deletions.end());
}

TEST_F(RegistryScriptTest, UnregisterRemovesTheProgIdsAndTheClassKeyAndKeepsClsid) {
  ASSERT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  registry.AddString(kHKeyClassesRoot, "CLSID\\" + kOtherClassId, "", "Other");

  EXPECT_EQ(Hr(Unregister(kClassScript)), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCR\\CLSID", "HKCR\\CLSID\\" + kOtherClassId,
                                    "HKCR\\CLSID\\" + kOtherClassId + " [] sz \"Other\""}));
}

TEST_F(RegistryScriptTest, UnregisterWithNothingRegisteredSucceedsAndChangesNothing) {
  EXPECT_EQ(Hr(Unregister(kClassScript)), Hr(kSOk));
  EXPECT_EQ(registry.ChangingCallCount(), 0u);
  EXPECT_TRUE(registry.Dump().empty());
}

TEST_F(RegistryScriptTest, UnregisterFailsOnAKeyThatKeepsSubkeysTheScriptDoesNotName) {
  ASSERT_EQ(Hr(Register(kClassScript)), Hr(kSOk));
  registry.AddKey(kHKeyClassesRoot, "Ryn.VelRyn\\Extra");

  EXPECT_EQ(Hr(Unregister(kClassScript)), Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_FALSE(registry.HasKey(kHKeyClassesRoot, "Ryn.VelRyn.1"));
  EXPECT_TRUE(registry.HasKey(kHKeyClassesRoot, "Ryn.VelRyn\\Extra"));
  EXPECT_FALSE(registry.HasKey(kHKeyClassesRoot, "Ryn.VelRyn\\CLSID"));
  EXPECT_TRUE(registry.HasKey(kHKeyClassesRoot, "CLSID\\" + kClassId));
}

// ---- Undoing a failed block -------------------------------------------------------

TEST_F(RegistryScriptTest, AFailedValueWriteUndoesTheBlock) {
  registry.AddString(kHKeyClassesRoot, "CLSID\\" + kOtherClassId, "", "Other");
  registry.FailCallsStartingWith("SetValue " + kClassKey + "\\InprocServer32 [ThreadingModel]", kErrorAccessDenied);

  EXPECT_EQ(Hr(Register(kClassScript)), Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCR\\CLSID", "HKCR\\CLSID\\" + kOtherClassId,
                                    "HKCR\\CLSID\\" + kOtherClassId + " [] sz \"Other\""}));
}

TEST_F(RegistryScriptTest, EveryBlockOfAFailedRegisterRunIsUndone) {
  registry.AddString(kHKeyCurrentUser, "Other", "", "kept");
  registry.FailCallsStartingWith("CreateKey HKLM\\Bad", kErrorAccessDenied);
  EXPECT_EQ(Hr(Register("HKCU { Earlier = s 'x' } HKCU { Shared { A } } HKCU { Shared { B } } HKLM { Undone Bad }")),
            Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Other", "HKCU\\Other [] sz \"kept\""}));
}

TEST_F(RegistryScriptTest, ANumberThatDoesNotConvertFailsWithTheConversionResultAndIsUndone) {
  EXPECT_EQ(Hr(Register("HKCU { A = s 'x' B { val N = d 'twelve' } }")), Hr(kDispETypeMismatch));
  EXPECT_TRUE(registry.Dump().empty());
}

TEST_F(RegistryScriptTest, RegistryErrorsBecomeResults) {
  registry.FailCallsStartingWith("CreateKey HKCU\\Denied", kErrorAccessDenied);
  registry.FailCallsStartingWith("CreateKey HKCU\\Large", 0x12345);
  registry.FailCallsStartingWith("CreateKey HKCU\\Negative", -7);
  EXPECT_EQ(Hr(Register("HKCU { Denied }")), "0x80070005");
  EXPECT_EQ(Hr(Register("HKCU { Large }")), "0x80072345");
  EXPECT_EQ(Hr(Register("HKCU { Negative }")), Hr(-7));
}

TEST_F(RegistryScriptTest, AKeyThatOpensOnlyForReadingIsUsedAsSuch) {
  registry.MakeReadOnly(kHKeyCurrentUser, "Locked");

  EXPECT_EQ(Hr(Register("HKCU { Locked { Child } }")), Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_EQ(CallsStartingWith(registry, "OpenKey HKCU\\Locked "),
            (Lines{"OpenKey HKCU\\Locked rw", "OpenKey HKCU\\Locked ro", "OpenKey HKCU\\Locked ro"}));
  EXPECT_EQ(CallsStartingWith(registry, "CreateKey HKCU\\Locked"), (Lines{"CreateKey HKCU\\Locked\\Child"}));
  EXPECT_EQ(Hr(Register("HKCU { Locked = s 'x' }")), Hr(ResultFromWin32(kErrorAccessDenied)));
}

// ---- Replacements ---------------------------------------------------------------

TEST_F(RegistryScriptTest, ReplacementsAreFoundWithoutRegardToCaseAndDoubledPercentSignsHalved) {
  EXPECT_EQ(Hr(Register("HKCU { K = s '%module%' { val P = s '100%% %APPID%' } }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\K", "HKCU\\K [] sz \"C:\\Program Files\\O'Brien\\ryn.dll\"",
                                    "HKCU\\K [P] sz \"100% \""}));
}

TEST_F(RegistryScriptTest, BadReplacementsFailBeforeAnyRegistryCall) {
  EXPECT_EQ(Hr(Register("HKCU { A } HKCU { B = s '%Unknown%' }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Register("HKCU { A } HKCU { B = s '%" + std::string(32, 'N') + "%' }")), Hr(kEFail));
  EXPECT_EQ(Hr(Unregister("HKCU { A } HKCU { B = s '%Unclosed' }")), Hr(kDispEException));
  EXPECT_TRUE(registry.Calls().empty());
}

TEST_F(RegistryScriptTest, MissingArgumentsAreRefused) {
  EXPECT_EQ(Hr(script.AddReplacement(nullptr, "x")), Hr(kEInvalidArg));
  EXPECT_EQ(Hr(script.AddReplacement("x", nullptr)), Hr(kEInvalidArg));
  EXPECT_EQ(Hr(script.Run(nullptr, true)), Hr(kEInvalidArg));
}

// ---- Script form -----------------------------------------------------------------

TEST_F(RegistryScriptTest, EveryRootNameSelectsItsRoot) {
  const struct {
    const char* name;
    RegistryKey root;
  } kRoots[] = {
      {"HKCR", kHKeyClassesRoot},     {"HKEY_CLASSES_ROOT", kHKeyClassesRoot},
      {"HKCU", kHKeyCurrentUser},     {"HKEY_CURRENT_USER", kHKeyCurrentUser},
      {"HKLM", kHKeyLocalMachine},    {"HKEY_LOCAL_MACHINE", kHKeyLocalMachine},
      {"hku", kHKeyUsers},            {"HKEY_USERS", kHKeyUsers},
      {"HKPD", kHKeyPerformanceData}, {"HKEY_PERFORMANCE_DATA", kHKeyPerformanceData},
      {"HKDD", kHKeyDynData},         {"HKEY_DYN_DATA", kHKeyDynData},
      {"HKCC", kHKeyCurrentConfig},   {"hkey_current_config", kHKeyCurrentConfig},
  };
  for (const auto& root : kRoots) {
    CInMemoryRegistry fresh;
    CRegistryScript freshScript(fresh, &ConvertDecimalToUInt32);
    EXPECT_EQ(Hr(freshScript.Run((std::string(root.name) + " { K }").c_str(), true)), Hr(kSOk)) << root.name;
    EXPECT_TRUE(fresh.HasKey(root.root, "K")) << root.name;
    EXPECT_EQ(fresh.Dump().size(), 1u) << root.name;
  }
}

TEST_F(RegistryScriptTest, MalformedScriptsFail) {
  for (const char* text : {"HKXX { K }", "HKCR K", "HKCR {K }", "HKCR { K", "HKCR { K = s }", "HKCR { K = q 'x' }",
                           "HKCR { val V s 'x' }", "HKCR { K } trailing", "   "}) {
    EXPECT_EQ(Hr(Register(text)), Hr(kDispEException)) << text;
  }
}

TEST_F(RegistryScriptTest, AnEmptyScriptDoesNothing) {
  EXPECT_EQ(Hr(Register("")), Hr(kSOk));
  EXPECT_EQ(Hr(Register("HKCU { }\r\n\r\n")), Hr(kSOk));
  EXPECT_TRUE(registry.Calls().empty());
}

TEST_F(RegistryScriptTest, DoubledApostrophesWriteOneApostrophe) {
  EXPECT_EQ(Hr(Register("HKCU { 'O''Key' = s 'it''s' }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\O'Key", "HKCU\\O'Key [] sz \"it's\""}));
}

TEST_F(RegistryScriptTest, BracesStandAloneOnlyBetweenWhiteSpace) {
  EXPECT_EQ(Hr(Register("HKCU { K{ = s 'x' }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\K{", "HKCU\\K{ [] sz \"x\""}));
}

TEST_F(RegistryScriptTest, TokensOver4094BytesFail) {
  const std::string longest(4094, 'v');
  EXPECT_EQ(Hr(Register("HKCU { K = s '" + longest + "' }")), Hr(kSOk));
  EXPECT_EQ(ValueBytes(kHKeyCurrentUser, "K", "").size(), 4095u);
  EXPECT_EQ(Hr(Register("HKCU { K = s '" + longest + "v' }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Register("HKCU { K = s " + longest + "v }")), Hr(kDispEException));
}

TEST_F(RegistryScriptTest, NamesOver259CharactersFail) {
  const std::string name259(259, 'n');
  EXPECT_EQ(Hr(Register("HKCU { val " + name259 + " = s 'x' }")), Hr(kSOk));
  EXPECT_EQ(Hr(Register("HKCU { val " + name259 + "n = s 'x' }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Unregister("HKCU { val " + name259 + "n = s 'x' }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Unregister("HKCU { " + name259 + "n }")), Hr(kDispEException));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU [" + name259 + "] sz \"x\""}));
}

TEST_F(RegistryScriptTest, NestingDeeperThanTheRegistryFails) {
  std::string nested;
  std::string closing;
  for (int level = 1; level < CRegistryScript::kMaxNesting; ++level) {
    nested += "K { ";
    closing += "} ";
  }
  EXPECT_EQ(Hr(Register("HKCU { " + nested + closing + "}")), Hr(kSOk));
  EXPECT_EQ(Hr(Register("HKCU { " + nested + "K { } " + closing + "}")), Hr(kDispEException));
}

TEST_F(RegistryScriptTest, TwoByteCharactersAreNeverSplit) {
  CInMemoryRegistry multiByteRegistry(&ShiftJisLeadByte);
  CRegistryScript multiByte(multiByteRegistry, &ConvertDecimalToUInt32, &ShiftJisLeadByte);
  CRegistryScript singleByte(multiByteRegistry, &ConvertDecimalToUInt32);
  const std::string name = "\x83\x5C";  // a two-byte character whose trail byte is a backslash
  EXPECT_EQ(Hr(multiByte.Run(("HKCU { '" + name + "' }").c_str(), true)), Hr(kSOk));
  EXPECT_EQ(multiByteRegistry.Dump(), Lines{"HKCU\\" + name});
  EXPECT_EQ(Hr(singleByte.Run(("HKCU { '" + name + "' }").c_str(), false)), Hr(kDispEException));
  EXPECT_EQ(Hr(multiByte.Run(("HKCU { '" + name + "' }").c_str(), false)), Hr(kSOk));
  EXPECT_TRUE(multiByteRegistry.Dump().empty());
  EXPECT_EQ(multiByteRegistry.OpenHandleCount(), 0u);
}

// ---- Keys and keywords ----------------------------------------------------------

TEST_F(RegistryScriptTest, KeyNamesThatReachOtherKeysAreRefusedInBothModes) {
  registry.AddKey(kHKeyCurrentUser, "Parent\\Child");
  for (const char* text : {"HKCU { Parent\\Child }", "HKCU { ForceRemove Parent\\Child }", "HKCU { Delete Parent\\Child }",
                           "HKCU { Parent { ForceRemove '' } }", "HKCU { ForceRemove '' }", "HKCU { Parent { '' } }",
                           "HKCU { Delete '' }"}) {
    EXPECT_EQ(Hr(Register(text)), Hr(kDispEException)) << text;
    EXPECT_EQ(Hr(Unregister(text)), Hr(kDispEException)) << text;
    EXPECT_TRUE(registry.HasKey(kHKeyCurrentUser, "Parent\\Child")) << text;
  }
}

TEST_F(RegistryScriptTest, ForceRemoveReplacesAKeyWithItsSubtree) {
  registry.AddString(kHKeyCurrentUser, "Tree\\Branch\\Leaf", "v", "old");
  registry.AddString(kHKeyCurrentUser, "Tree", "", "old");
  EXPECT_EQ(Hr(Register("HKCU { ForceRemove Tree = s 'new' }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Tree", "HKCU\\Tree [] sz \"new\""}));
}

TEST_F(RegistryScriptTest, ForceRemoveNeverDeletesAProtectedKey) {
  for (const char* name : {"AppID", "CLSID", "Component Categories", "FileType", "Interface", "Hardware", "Mime", "SAM",
                           "SECURITY", "SYSTEM", "Software", "TypeLib", "clsid", "SOFTWARE"}) {
    registry.AddKey(kHKeyClassesRoot, std::string(name) + "\\Child");
    EXPECT_EQ(Hr(Register("HKCR { ForceRemove '" + std::string(name) + "' }")), Hr(kSOk)) << name;
    EXPECT_TRUE(registry.HasKey(kHKeyClassesRoot, std::string(name) + "\\Child")) << name;
    EXPECT_EQ(Hr(Register("HKCR { Delete '" + std::string(name) + "' }")), Hr(kSOk)) << name;
    EXPECT_TRUE(registry.HasKey(kHKeyClassesRoot, std::string(name) + "\\Child")) << name;
  }
  EXPECT_EQ(CallsStartingWith(registry, "DeleteKey"), Lines{});
}

TEST_F(RegistryScriptTest, DeleteRemovesAKeyWithItsSubtreeAndSkipsItsAssignment) {
  registry.AddString(kHKeyCurrentUser, "Old\\Deep", "v", "x");
  EXPECT_EQ(Hr(Register("HKCU { Delete Old = s 'ignored' Next Delete Missing }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Next"}));
}

TEST_F(RegistryScriptTest, DeleteFollowedByABlockFailsAndDeletesNothing) {
  registry.AddKey(kHKeyCurrentUser, "Old\\Deep");
  EXPECT_EQ(Hr(Register("HKCU { Delete Old { Deep } }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Register("HKCU { Delete Old = s 'x' { Deep } }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Unregister("HKCU { Delete Old { Deep } }")), Hr(kDispEException));
  EXPECT_TRUE(registry.HasKey(kHKeyCurrentUser, "Old\\Deep"));
}

TEST_F(RegistryScriptTest, UnregisterTreatsForceRemoveAndDeleteAsPlainKeys) {
  registry.AddKey(kHKeyCurrentUser, "A\\Inner");
  registry.AddKey(kHKeyCurrentUser, "B");
  EXPECT_EQ(Hr(Unregister("HKCU { ForceRemove A { Inner } Delete B = s 'x' }")), Hr(kSOk));
  EXPECT_TRUE(registry.Dump().empty());
}

TEST_F(RegistryScriptTest, NoRemoveKeepsAKeyButNotWhatIsBelowIt) {
  registry.AddKey(kHKeyCurrentUser, "Keep\\Gone");
  EXPECT_EQ(Hr(Unregister("HKCU { NoRemove Keep { Gone } }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Keep"}));
}

TEST_F(RegistryScriptTest, UnregisterInsideAMissingKeyOpensNothing) {
  registry.AddKey(kHKeyCurrentUser, "Present");
  EXPECT_EQ(Hr(Unregister("HKCU { Missing { Present { val V = s 'x' } } }")), Hr(kSOk));
  EXPECT_EQ(registry.Calls(), (Lines{"OpenKey HKCU\\Missing ro"}));
}

TEST_F(RegistryScriptTest, AScriptThatIsNotWellFormedChangesNothingInEitherMode) {
  registry.AddKey(kHKeyClassesRoot, "Other");
  registry.AddKey(kHKeyCurrentUser, "After");
  registry.AddKey(kHKeyCurrentUser, "Present");
  registry.AddString(kHKeyCurrentUser, "Earlier", "", "x");
  registry.ClearCalls();
  for (const char* text : {"HKCR { NoRemove Gone { Val x y Other } }", "HKCU { Missing { val V } After }",
                           "HKCU { Present { val V } }", "HKCU { Earlier = s 'x' } HKCU { Later { val V s 'x' } }",
                           "HKCU { Earlier = s 'x' } HKCU { Later } trailing"}) {
    EXPECT_EQ(Hr(Unregister(text)), Hr(kDispEException)) << text;
    EXPECT_EQ(Hr(Register(text)), Hr(kDispEException)) << text;
  }
  EXPECT_EQ(registry.ChangingCallCount(), 0u);
  EXPECT_EQ(registry.Dump(), (Lines{"HKCR\\Other", "HKCU\\After", "HKCU\\Earlier", "HKCU\\Earlier [] sz \"x\"",
                                    "HKCU\\Present"}));
}

TEST_F(RegistryScriptTest, UnregisterFailsOnOtherOpeningAndClosingErrors) {
  registry.AddKey(kHKeyCurrentUser, "Denied\\Inner");
  registry.AddKey(kHKeyCurrentUser, "Sticky");
  registry.FailCallsStartingWith("OpenKey HKCU\\Denied ro", kErrorAccessDenied);
  registry.FailCallsStartingWith("CloseKey HKCU\\Sticky", kErrorInvalidHandle);
  EXPECT_EQ(Hr(Unregister("HKCU { Denied { Inner } }")), Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_EQ(Hr(Unregister("HKCU { Sticky }")), Hr(ResultFromWin32(kErrorInvalidHandle)));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\Denied", "HKCU\\Denied\\Inner", "HKCU\\Sticky"}));
}

// ---- Values ------------------------------------------------------------------

TEST_F(RegistryScriptTest, ValuesAreWrittenByTheirTypeLetter) {
  EXPECT_EQ(Hr(Register("HKCU { K { val D = d '12' val B = b '0aFF' val M = m 'a\\0b' val S = S text "
                        "val E = B '' } }")),
            Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\K", "HKCU\\K [B] type 3: 0a ff", "HKCU\\K [D] dword 12",
                                    "HKCU\\K [E] type 3:", "HKCU\\K [M] type 7: 61 00 62 00 00",
                                    "HKCU\\K [S] sz \"text\""}));
  EXPECT_EQ(ValueBytes(kHKeyCurrentUser, "K", "D"), (Bytes{12, 0, 0, 0}));
}

TEST_F(RegistryScriptTest, BinaryWithAnOddDigitCountFailsWithEFail) {
  EXPECT_EQ(Hr(Register("HKCU { K = b '0aF' }")), Hr(kEFail));
}

TEST_F(RegistryScriptTest, ValWritesIntoTheParentAndUnregisterDeletesIt) {
  registry.AddString(kHKeyCurrentUser, "K", "Kept", "old");
  EXPECT_EQ(Hr(Register("HKCU { val Top = s 't' K { val V = s 'v' NoRemove val Kept = s 'new' } }")), Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU [Top] sz \"t\"", "HKCU\\K", "HKCU\\K [Kept] sz \"new\"",
                                    "HKCU\\K [V] sz \"v\""}));

  EXPECT_EQ(Hr(Unregister("HKCU { val Top = s 't' NoRemove K { val V = s 'v' NoRemove val Kept = s 'new' "
                          "val Missing = s 'm' } }")),
            Hr(kSOk));
  EXPECT_EQ(registry.Dump(), (Lines{"HKCU\\K", "HKCU\\K [Kept] sz \"new\""}));
}

TEST_F(RegistryScriptTest, UnregisterStopsOnAValueThatCannotBeDeleted) {
  registry.AddString(kHKeyCurrentUser, "K", "V", "v");
  registry.FailCallsStartingWith("DeleteValue HKCU\\K [V]", kErrorAccessDenied);
  EXPECT_EQ(Hr(Unregister("HKCU { K { val V = s 'v' } }")), Hr(ResultFromWin32(kErrorAccessDenied)));
  EXPECT_TRUE(registry.HasKey(kHKeyCurrentUser, "K"));
}

TEST_F(RegistryScriptTest, AValueFollowedByABlockFails) {
  EXPECT_EQ(Hr(Register("HKCU { K { val V = s 'v' { Sub } } }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Unregister("HKCU { K { val V = s 'v' { Sub } } }")), Hr(kDispEException));
  EXPECT_FALSE(registry.HasKey(kHKeyCurrentUser, "K\\Sub"));
}

}  // namespace
