#include "registry/PerUserRegistryAccess.h"

#include "registry/RegistryCodes.h"

CPerUserRegistryAccess::~CPerUserRegistryAccess() {
  if (userClassesOpen) registry.CloseKey(userClasses);
}

std::int32_t CPerUserRegistryAccess::Resolve(RegistryKey key, bool create, RegistryKey* resolved) {
  if (key != kHKeyClassesRoot) {
    *resolved = key;
    return kErrorSuccess;
  }
  if (!userClassesOpen) {
    const std::int32_t error = create ? registry.CreateKey(kHKeyCurrentUser, kUserClassesPath, &userClasses)
                                      : registry.OpenKey(kHKeyCurrentUser, kUserClassesPath, true, &userClasses);
    if (error != kErrorSuccess) return error;
    userClassesOpen = true;
  }
  *resolved = userClasses;
  return kErrorSuccess;
}

std::int32_t CPerUserRegistryAccess::OpenKey(RegistryKey parent, const std::string& name, bool writable,
                                             RegistryKey* key) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(parent, false, &resolved);
  return error != kErrorSuccess ? error : registry.OpenKey(resolved, name, writable, key);
}

std::int32_t CPerUserRegistryAccess::CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(parent, true, &resolved);
  return error != kErrorSuccess ? error : registry.CreateKey(resolved, name, key);
}

std::int32_t CPerUserRegistryAccess::SetValue(RegistryKey key, const std::string& name, std::uint32_t type,
                                              const std::uint8_t* data, std::uint32_t size) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(key, true, &resolved);
  return error != kErrorSuccess ? error : registry.SetValue(resolved, name, type, data, size);
}

std::int32_t CPerUserRegistryAccess::DeleteValue(RegistryKey key, const std::string& name) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(key, false, &resolved);
  return error != kErrorSuccess ? error : registry.DeleteValue(resolved, name);
}

std::int32_t CPerUserRegistryAccess::DeleteKey(RegistryKey parent, const std::string& name) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(parent, false, &resolved);
  return error != kErrorSuccess ? error : registry.DeleteKey(resolved, name);
}

std::int32_t CPerUserRegistryAccess::EnumKey(RegistryKey key, std::uint32_t index, std::string* name) {
  RegistryKey resolved = 0;
  const std::int32_t error = Resolve(key, false, &resolved);
  return error != kErrorSuccess ? error : registry.EnumKey(resolved, index, name);
}

std::int32_t CPerUserRegistryAccess::CloseKey(RegistryKey key) {
  return key == kHKeyClassesRoot ? kErrorSuccess : registry.CloseKey(key);
}
