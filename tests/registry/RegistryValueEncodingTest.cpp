#include "registry/RegistryValueEncoding.h"

#include "registry/RegistryCodes.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/component/ResultText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

bool ShiftJisLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

struct Encoded {
  std::int32_t result;
  std::uint32_t type;
  Bytes bytes;
};

Encoded Encode(const std::string& letter, const std::string& text, LeadByteTest isLeadByte = nullptr) {
  RegistryValueData value;
  value.type = 0xDEAD;
  const std::int32_t result = EncodeRegistryValue(letter, text, &ConvertDecimalToUInt32, isLeadByte, &value);
  return {result, value.type, value.bytes};
}

TEST(RegistryValueEncoding, StringKeepsItsNul) {
  const Encoded value = Encode("s", "ab");
  EXPECT_EQ(Hr(value.result), Hr(kSOk));
  EXPECT_EQ(value.type, kRegSz);
  EXPECT_EQ(value.bytes, (Bytes{'a', 'b', 0}));
  EXPECT_EQ(Encode("S", "").bytes, (Bytes{0}));
}

TEST(RegistryValueEncoding, MultiStringSplitsAtBackslashZero) {
  const Encoded value = Encode("m", "a\\0bc\\1");
  EXPECT_EQ(Hr(value.result), Hr(kSOk));
  EXPECT_EQ(value.type, kRegMultiSz);
  EXPECT_EQ(value.bytes, (Bytes{'a', 0, 'b', 'c', '\\', '1', 0, 0}));
  EXPECT_EQ(Encode("M", "").bytes, (Bytes{0, 0}));
  EXPECT_EQ(Encode("M", "\\0").bytes, (Bytes{0, 0, 0}));
}

TEST(RegistryValueEncoding, MultiStringDoesNotSplitATwoByteCharacter) {
  EXPECT_EQ(Encode("m", "\x81\\0", &ShiftJisLeadByte).bytes, (Bytes{0x81, '\\', '0', 0, 0}));
  EXPECT_EQ(Encode("m", "\x81\\0", nullptr).bytes, (Bytes{0x81, 0, 0, 0}));
}

TEST(RegistryValueEncoding, NumberIsFourBytesLowFirst) {
  const Encoded twelve = Encode("d", "12");
  EXPECT_EQ(Hr(twelve.result), Hr(kSOk));
  EXPECT_EQ(twelve.type, kRegDword);
  EXPECT_EQ(twelve.bytes, (Bytes{12, 0, 0, 0}));
  EXPECT_EQ(Encode("D", "4294967295").bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode("D", "305419896").bytes, (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST(RegistryValueEncoding, NumberConversionFailureIsReturned) {
  EXPECT_EQ(Hr(Encode("d", "twelve").result), Hr(kDispETypeMismatch));
  EXPECT_EQ(Hr(Encode("d", "").result), Hr(kDispETypeMismatch));
  EXPECT_EQ(Hr(Encode("d", "4294967296").result), Hr(kDispEOverflow));
}

TEST(RegistryValueEncoding, BinaryTakesTwoHexDigitsPerByte) {
  const Encoded value = Encode("b", "0aFF");
  EXPECT_EQ(Hr(value.result), Hr(kSOk));
  EXPECT_EQ(value.type, kRegBinary);
  EXPECT_EQ(value.bytes, (Bytes{0x0A, 0xFF}));
  EXPECT_EQ(Encode("B", "").bytes, Bytes{});
  EXPECT_EQ(Hr(Encode("B", "").result), Hr(kSOk));
}

TEST(RegistryValueEncoding, BinaryCountsOtherCharactersAsZero) {
  EXPECT_EQ(Encode("b", "zz1g-9").bytes, (Bytes{0x00, 0x10, 0x09}));
}

TEST(RegistryValueEncoding, BinaryWithAnOddDigitCountFailsWithEFail) {
  EXPECT_EQ(Hr(Encode("b", "0aF").result), Hr(kEFail));
  EXPECT_EQ(Hr(Encode("b", "0").result), Hr(kEFail));
}

TEST(RegistryValueEncoding, OtherLettersFail) {
  for (const char* letter : {"x", "sz", "", "dword", "ss"}) {
    EXPECT_EQ(Hr(Encode(letter, "1").result), Hr(kDispEException)) << '"' << letter << '"';
    EXPECT_FALSE(IsValueTypeLetter(letter)) << '"' << letter << '"';
  }
  for (const char* letter : {"s", "S", "m", "M", "d", "D", "b", "B"}) EXPECT_TRUE(IsValueTypeLetter(letter)) << letter;
}

}  // namespace
