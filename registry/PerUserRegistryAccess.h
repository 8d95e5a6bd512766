#pragma once

#include "registry/RegistryAccess.h"

#include <cstdint>
#include <string>

// Registry access for registration by one user without administrator
// rights: the script's HKEY_CLASSES_ROOT becomes the user's own classes key,
// HKEY_CURRENT_USER\Software\Classes, which the platform consults before the
// machine's classes. Every other root passes through unchanged, so the same
// script registers per user or for the machine.
class CPerUserRegistryAccess final : public IRegistryAccess {
 public:
  // The registry must outlive this object.
  explicit CPerUserRegistryAccess(IRegistryAccess& registry) noexcept : registry(registry) {}
  CPerUserRegistryAccess(const CPerUserRegistryAccess&) = delete;
  CPerUserRegistryAccess& operator=(const CPerUserRegistryAccess&) = delete;
  ~CPerUserRegistryAccess() override;

  std::int32_t OpenKey(RegistryKey parent, const std::string& name, bool writable, RegistryKey* key) override;
  std::int32_t CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) override;
  std::int32_t SetValue(RegistryKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
  std::int32_t DeleteValue(RegistryKey key, const std::string& name) override;
  std::int32_t DeleteKey(RegistryKey parent, const std::string& name) override;
  std::int32_t EnumKey(RegistryKey key, std::uint32_t index, std::string* name) override;
  // The classes root is kept open until destruction, like a predefined key.
  std::int32_t CloseKey(RegistryKey key) override;

 private:
  // The key to use for `key`: the user's classes key for HKEY_CLASSES_ROOT,
  // opened on first use (created when `create` is set; reading an absent
  // one answers ERROR_FILE_NOT_FOUND), else `key` itself.
  std::int32_t Resolve(RegistryKey key, bool create, RegistryKey* resolved);

  IRegistryAccess& registry;
  RegistryKey userClasses = 0;
  bool userClassesOpen = false;
};

// The path of the user's classes below HKEY_CURRENT_USER.
inline constexpr const char* kUserClassesPath = "Software\\Classes";
