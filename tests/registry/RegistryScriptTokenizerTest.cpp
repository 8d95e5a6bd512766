#include "registry/RegistryScriptTokenizer.h"

#include "registry/RegistryCodes.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tokens = std::vector<std::string>;

bool ShiftJisLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

// The tokens of a text, up to the first read that fails (at the latest at
// its end).
Tokens ReadAll(const std::string& text, LeadByteTest isLeadByte = nullptr) {
  CRegistryScriptTokenizer tokenizer(text.c_str(), isLeadByte);
  Tokens tokens;
  std::string token;
  while (!Failed(tokenizer.ReadToken(&token))) tokens.push_back(token);
  return tokens;
}

TEST(RegistryScriptTokenizer, WordsEndAtBlankTabLineFeedAndCarriageReturn) {
  EXPECT_EQ(ReadAll(" HKCR\t{\r\nKey{ =}\n"), (Tokens{"HKCR", "{", "Key{", "=}"}));
}

TEST(RegistryScriptTokenizer, QuotedTextDropsItsApostrophesAndHalvesDoubledOnes) {
  EXPECT_EQ(ReadAll("'it''s a key' '' ''''"), (Tokens{"it's a key", "", "'"}));
}

TEST(RegistryScriptTokenizer, ReadingAtTheEndOrInAnOpenQuoteFails) {
  for (const char* text : {"", " \t\r\n", "'no end", "'ends on a doubled one''"}) {
    CRegistryScriptTokenizer tokenizer(text, nullptr);
    std::string token;
    EXPECT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kDispEException)) << '"' << text << '"';
  }
}

TEST(RegistryScriptTokenizer, TokensHoldAtMost4094Bytes) {
  const std::string longest(CRegistryScriptTokenizer::kMaxTokenBytes, 'x');
  for (const std::string& text : {longest, "'" + longest + "'", "'" + std::string(4094 * 2, '\'') + "'"}) {
    CRegistryScriptTokenizer tokenizer(text.c_str(), nullptr);
    std::string token;
    EXPECT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kSOk));
    EXPECT_EQ(token.size(), CRegistryScriptTokenizer::kMaxTokenBytes);
  }
  for (const std::string& text : {longest + "x", "'" + longest + "x'"}) {
    CRegistryScriptTokenizer tokenizer(text.c_str(), nullptr);
    std::string token;
    EXPECT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kDispEException)) << text.size() << " bytes";
  }
}

TEST(RegistryScriptTokenizer, TwoByteCharactersMoveWhole) {
  // The lead byte takes the apostrophe after it along: it does not end the text.
  EXPECT_EQ(ReadAll("'\x81'' x' y", &ShiftJisLeadByte), (Tokens{"\x81'", "x'", "y"}));
  EXPECT_EQ(ReadAll("'\x81'' x' y", nullptr), (Tokens{"\x81' x", "y"}));

  // A character that would cross the limit is refused whole.
  const std::string crossing = std::string(CRegistryScriptTokenizer::kMaxTokenBytes - 1, 'x') + "\x81\x40";
  CRegistryScriptTokenizer tokenizer(crossing.c_str(), &ShiftJisLeadByte);
  std::string token;
  EXPECT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kDispEException));
}

TEST(RegistryScriptTokenizer, RewindReturnsToAnEarlierPosition) {
  CRegistryScriptTokenizer tokenizer("first second", nullptr);
  std::string token;
  ASSERT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kSOk));
  const char* mark = tokenizer.Position();
  ASSERT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kSOk));
  EXPECT_TRUE(tokenizer.AtEnd());
  tokenizer.Rewind(mark);
  ASSERT_EQ(Hr(tokenizer.ReadToken(&token)), Hr(kSOk));
  EXPECT_EQ(token, "second");
}

}  // namespace
