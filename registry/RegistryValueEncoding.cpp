#include "registry/RegistryValueEncoding.h"

#include "registry/RegistryCodes.h"

#include <new>

namespace {

std::uint8_t HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return 0;
}

std::int32_t EncodeString(const std::string& text, RegistryValueData* value) {
  value->type = kRegSz;
  value->bytes.assign(text.begin(), text.end());
  value->bytes.push_back(0);
  return kSOk;
}

std::int32_t EncodeMultiString(const std::string& text, LeadByteTest isLeadByte, RegistryValueData* value) {
  value->type = kRegMultiSz;
  value->bytes.clear();
  value->bytes.reserve(text.size() + 2);
  for (const char* p = text.c_str(); *p != '\0';) {
    if (p[0] == '\\' && p[1] == '0') {
      value->bytes.push_back(0);
      p += 2;
      continue;
    }
    const char* next = NextCharacter(p, isLeadByte);
    value->bytes.insert(value->bytes.end(), p, next);
    p = next;
  }
  value->bytes.push_back(0);
  value->bytes.push_back(0);
  return kSOk;
}

std::int32_t EncodeNumber(const std::string& text, NumberConverter convertNumber, RegistryValueData* value) {
  std::uint32_t number = 0;
  const std::int32_t result = convertNumber(text.c_str(), &number);
  if (Failed(result)) return result;
  value->type = kRegDword;
  value->bytes = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                  static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
  return kSOk;
}

std::int32_t EncodeBinary(const std::string& text, RegistryValueData* value) {
  if (text.size() % 2 != 0) return kEFail;
  value->type = kRegBinary;
  try {
    value->bytes.assign(text.size() / 2, 0);
  } catch (const std::bad_alloc&) {
    return kEFail;
  }
  for (std::size_t i = 0; i < value->bytes.size(); ++i) {
    value->bytes[i] = static_cast<std::uint8_t>(HexDigitValue(text[2 * i]) << 4 | HexDigitValue(text[2 * i + 1]));
  }
  return kSOk;
}

}  // namespace

bool IsValueTypeLetter(const std::string& letter) noexcept {
  return EqualsIgnoringCase(letter, "S") || EqualsIgnoringCase(letter, "M") || EqualsIgnoringCase(letter, "D") ||
         EqualsIgnoringCase(letter, "B");
}

std::int32_t EncodeRegistryValue(const std::string& letter, const std::string& text, NumberConverter convertNumber,
                                 LeadByteTest isLeadByte, RegistryValueData* value) noexcept {
  try {
    if (EqualsIgnoringCase(letter, "S")) return EncodeString(text, value);
    if (EqualsIgnoringCase(letter, "M")) return EncodeMultiString(text, isLeadByte, value);
    if (EqualsIgnoringCase(letter, "D")) return EncodeNumber(text, convertNumber, value);
    if (EqualsIgnoringCase(letter, "B")) return EncodeBinary(text, value);
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
  return kDispEException;
}
