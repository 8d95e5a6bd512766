#pragma once

#include <cstdint>
#include <string>

// Opaque key handle. The predefined roots carry the platform's own values:
// 32-bit constants sign-extended to the pointer width, as the platform
// defines them, so an adapter can hand a handle to the platform unchanged.
using RegistryKey = std::uintptr_t;

inline constexpr RegistryKey PredefinedRegistryKey(std::uint32_t value) {
  return static_cast<RegistryKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
}

inline constexpr RegistryKey kHKeyClassesRoot = PredefinedRegistryKey(0x80000000u);
inline constexpr RegistryKey kHKeyCurrentUser = PredefinedRegistryKey(0x80000001u);
inline constexpr RegistryKey kHKeyLocalMachine = PredefinedRegistryKey(0x80000002u);
inline constexpr RegistryKey kHKeyUsers = PredefinedRegistryKey(0x80000003u);
inline constexpr RegistryKey kHKeyPerformanceData = PredefinedRegistryKey(0x80000004u);
inline constexpr RegistryKey kHKeyCurrentConfig = PredefinedRegistryKey(0x80000005u);
inline constexpr RegistryKey kHKeyDynData = PredefinedRegistryKey(0x80000006u);

// The registry operations the script interpreter needs, and nothing more, so
// the same interpreter runs on the platform's registry and on a test double.
// Names are 8-bit text; an empty key name designates the key itself. Each
// operation returns a Win32 error code, 0 on success.
class IRegistryAccess {
 public:
  virtual ~IRegistryAccess() = default;

  // Opens an existing key for reading, or for reading and writing.
  virtual std::int32_t OpenKey(RegistryKey parent, const std::string& name, bool writable, RegistryKey* key) = 0;
  // Opens the key for reading and writing, creating it (non-volatile) when missing.
  virtual std::int32_t CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) = 0;
  virtual std::int32_t SetValue(RegistryKey key, const std::string& name, std::uint32_t type,
                                const std::uint8_t* data, std::uint32_t size) = 0;
  virtual std::int32_t DeleteValue(RegistryKey key, const std::string& name) = 0;
  // Deletes a subkey that has no subkeys of its own.
  virtual std::int32_t DeleteKey(RegistryKey parent, const std::string& name) = 0;
  // Name of the index-th subkey; ERROR_NO_MORE_ITEMS past the last one.
  virtual std::int32_t EnumKey(RegistryKey key, std::uint32_t index, std::string* name) = 0;
  virtual std::int32_t CloseKey(RegistryKey key) = 0;
};
