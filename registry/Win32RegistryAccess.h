#pragma once

#include "registry/RegistryAccess.h"

#include <cstdint>
#include <string>

// The registry script's registry access on the platform's 8-bit registry
// functions. Keys are opened with KEY_READ, or KEY_READ | KEY_WRITE when
// writable.
class CWin32RegistryAccess final : public IRegistryAccess {
 public:
  std::int32_t OpenKey(RegistryKey parent, const std::string& name, bool writable, RegistryKey* key) override;
  std::int32_t CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) override;
  std::int32_t SetValue(RegistryKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
  std::int32_t DeleteValue(RegistryKey key, const std::string& name) override;
  std::int32_t DeleteKey(RegistryKey parent, const std::string& name) override;
  std::int32_t EnumKey(RegistryKey key, std::uint32_t index, std::string* name) override;
  std::int32_t CloseKey(RegistryKey key) override;
};

// The registry script's number conversion: VarUI4FromStr with locale 0 and no
// flags, on the text widened from the ANSI code page.
std::int32_t ConvertTextToUInt32(const char* text, std::uint32_t* value) noexcept;

// The ANSI code page's lead-byte test (the 8-bit registry functions read
// names in that code page).
bool IsAnsiLeadByte(unsigned char byte) noexcept;
