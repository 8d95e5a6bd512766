#include "registry/ReplacementTable.h"

#include "registry/RegistryCodes.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool ShiftJisLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

class ReplacementTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Hr(table.Add("APPID", "")), Hr(kSOk));
    ASSERT_EQ(Hr(table.Add("Module", "C:\\O''Brien\\ryn.dll")), Hr(kSOk));
  }

  std::int32_t Expand(const char* script) {
    expanded = "marker";
    return table.Expand(script, nullptr, &expanded);
  }

  CReplacementTable table;
  std::string expanded;
};

TEST_F(ReplacementTableTest, RefusesAMissingNameOrText) {
  EXPECT_EQ(Hr(table.Add(nullptr, "text")), Hr(kEInvalidArg));
  EXPECT_EQ(Hr(table.Add("name", nullptr)), Hr(kEInvalidArg));
  EXPECT_EQ(table.Find("name"), nullptr);
}

TEST_F(ReplacementTableTest, NamesAreFoundWithoutRegardToCaseAndTheFirstTextStays) {
  ASSERT_EQ(Hr(table.Add("MODULE", "second")), Hr(kSOk));
  ASSERT_NE(table.Find("module"), nullptr);
  EXPECT_EQ(*table.Find("module"), "C:\\O''Brien\\ryn.dll");
  EXPECT_EQ(table.Find("Modul"), nullptr);
}

TEST_F(ReplacementTableTest, ReplacesNamesAndHalvesDoubledPercentSigns) {
  EXPECT_EQ(Hr(Expand("a %MODULE% b %appid%c 100%% %%MODULE%%")), Hr(kSOk));
  EXPECT_EQ(expanded, "a C:\\O''Brien\\ryn.dll b c 100% %MODULE%");
}

TEST_F(ReplacementTableTest, ReplacedTextIsNotExpandedAgain) {
  ASSERT_EQ(Hr(table.Add("Percent", "%APPID%")), Hr(kSOk));
  EXPECT_EQ(Hr(Expand("%Percent%")), Hr(kSOk));
  EXPECT_EQ(expanded, "%APPID%");
}

TEST_F(ReplacementTableTest, UnknownOrUnclosedNamesFail) {
  EXPECT_EQ(Hr(Expand("HKCR { %Unknown% }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Expand("HKCR { %MODULE }")), Hr(kDispEException));
  EXPECT_EQ(Hr(Expand("ends in %")), Hr(kDispEException));
}

TEST_F(ReplacementTableTest, NamesOf32CharactersOrMoreFailWithEFail) {
  const std::string name31(31, 'n');
  ASSERT_EQ(Hr(table.Add(name31.c_str(), "ok")), Hr(kSOk));
  EXPECT_EQ(Hr(Expand(("%" + name31 + "%").c_str())), Hr(kSOk));
  EXPECT_EQ(expanded, "ok");
  EXPECT_EQ(Hr(Expand(("%" + std::string(32, 'n') + "%").c_str())), Hr(kEFail));
  EXPECT_EQ(Hr(Expand(("%" + std::string(33, 'n') + "%").c_str())), Hr(kEFail));
}

TEST_F(ReplacementTableTest, NameLengthCountsTwoByteCharactersOnce) {
  std::string name;
  for (int i = 0; i < 20; ++i) name += "\x82\xA0";
  ASSERT_EQ(Hr(table.Add(name.c_str(), "wide")), Hr(kSOk));
  EXPECT_EQ(Hr(table.Expand(("%" + name + "%").c_str(), &ShiftJisLeadByte, &expanded)), Hr(kSOk));
  EXPECT_EQ(expanded, "wide");
  EXPECT_EQ(Hr(table.Expand(("%" + name + "%").c_str(), nullptr, &expanded)), Hr(kEFail));
}

TEST_F(ReplacementTableTest, ExpandsLongScriptsWhole) {
  const std::string script(5000, 'x');
  std::string withNames;
  for (int i = 0; i < 500; ++i) withNames += "%Module%";
  EXPECT_EQ(Hr(Expand(script.c_str())), Hr(kSOk));
  EXPECT_EQ(expanded, script);
  EXPECT_EQ(Hr(Expand(withNames.c_str())), Hr(kSOk));
  EXPECT_EQ(expanded.size(), 500 * std::string("C:\\O''Brien\\ryn.dll").size());
}

}  // namespace
