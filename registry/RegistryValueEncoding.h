#pragma once

#include "registry/ScriptCharacters.h"

#include <cstdint>
#include <string>
#include <vector>

// Converts a text to an unsigned 32-bit number the way the platform's
// VarUI4FromStr (locale 0, no flags) does; returns an HRESULT.
using NumberConverter = std::int32_t (*)(const char* text, std::uint32_t* value);

struct RegistryValueData {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> bytes;
};

// True for the value type letters "S", "M", "D" and "B", in either case.
bool IsValueTypeLetter(const std::string& letter) noexcept;

// Turns a value text into the registry type and bytes its type letter asks for:
//   S  REG_SZ, the text with its NUL;
//   M  REG_MULTI_SZ, the text split at each backslash-zero, every string
//      NUL-ended and the list ended by one more NUL;
//   D  REG_DWORD, 4 bytes little-endian, the converter's failure otherwise;
//   B  REG_BINARY, two hexadecimal digits per byte (anything else counts as
//      0); E_FAIL for an odd number of digits.
// DISP_E_EXCEPTION for any other letter; E_OUTOFMEMORY (E_FAIL for B) when
// the bytes cannot be allocated.
std::int32_t EncodeRegistryValue(const std::string& letter, const std::string& text, NumberConverter convertNumber,
                                 LeadByteTest isLeadByte, RegistryValueData* value) noexcept;
