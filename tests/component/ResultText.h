#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// An HRESULT as "0x80020009", so a failed comparison shows both results.
inline std::string Hr(std::int32_t result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(result)));
  return text;
}
