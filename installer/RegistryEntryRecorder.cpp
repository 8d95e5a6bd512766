#include "installer/RegistryEntryRecorder.h"

#include "registry/RegistryCodes.h"

#include <string>

namespace {

bool IsPrintableAscii(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::int32_t CRegistryEntryRecorder::Refuse(const std::string& why) {
  if (refusal.empty()) refusal = why;
  return kErrorAccessDenied;
}

bool CRegistryEntryRecorder::SettlePendingOpen(std::size_t parent, const std::string& name) {
  if (!openPending) return true;
  openPending = false;
  if (pendingOpen.parent == parent && SameName(pendingOpen.name, name)) return true;
  Refuse("the script deletes " + Describe(pendingOpen.parent, pendingOpen.name));
  return false;
}

std::int32_t CRegistryEntryRecorder::ResolveParent(RegistryKey handle, std::size_t* index) {
  if (handle == kHKeyClassesRoot) {
    *index = 0;
  } else if (handle == kHKeyLocalMachine) {
    *index = 1;
  } else if (handle == kHKeyCurrentUser || handle == kHKeyUsers || handle == kHKeyPerformanceData ||
             handle == kHKeyCurrentConfig || handle == kHKeyDynData) {
    return Refuse("a per-machine package writes below HKCR and HKLM only");
  } else {
    const auto found = handles.find(handle);
    if (found == handles.end()) return kErrorInvalidHandle;
    *index = found->second;
  }
  return kErrorSuccess;
}

std::size_t CRegistryEntryRecorder::FindChild(std::size_t parent, const std::string& name) const {
  for (std::size_t index = 0; index < keys.size(); ++index) {
    if (parents[index] == parent && SameName(keys[index].path.substr(keys[index].path.rfind('\\') + 1), name)) {
      return index;
    }
  }
  return kNone;
}

std::string CRegistryEntryRecorder::Describe(std::size_t parent, const std::string& name) const {
  const Key& key = keys[parent];
  return key.root + "\\" + (key.path.empty() ? name : key.path + "\\" + name);
}

RegistryKey CRegistryEntryRecorder::NewHandle(std::size_t index) {
  const RegistryKey handle = nextHandle++;
  handles[handle] = index;
  return handle;
}

std::int32_t CRegistryEntryRecorder::OpenKey(RegistryKey parent, const std::string& name, bool, RegistryKey* key) {
  std::size_t parentIndex = 0;
  const std::int32_t error = ResolveParent(parent, &parentIndex);
  if (error != kErrorSuccess) return error;
  if (!SettlePendingOpen(parentIndex, name)) return kErrorAccessDenied;
  if (name.empty()) {
    *key = NewHandle(parentIndex);
    return kErrorSuccess;
  }
  const std::size_t index = FindChild(parentIndex, name);
  if (index == kNone) {
    openPending = true;
    pendingOpen = {parentIndex, name};
    return kErrorFileNotFound;
  }
  *key = NewHandle(index);
  return kErrorSuccess;
}

std::int32_t CRegistryEntryRecorder::CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) {
  std::size_t parentIndex = 0;
  const std::int32_t error = ResolveParent(parent, &parentIndex);
  if (error != kErrorSuccess) return error;
  if (!SettlePendingOpen(parentIndex, name)) return kErrorAccessDenied;
  if (!IsPrintableAscii(name)) {
    return Refuse("the key name of " + Describe(parentIndex, name) + " is not printable ASCII");
  }
  std::size_t index = FindChild(parentIndex, name);
  if (index == kNone) {
    const Key& owner = keys[parentIndex];
    keys.push_back({owner.root, owner.path.empty() ? name : owner.path + "\\" + name, {}});
    parents.push_back(parentIndex);
    index = keys.size() - 1;
  }
  *key = NewHandle(index);
  return kErrorSuccess;
}

std::int32_t CRegistryEntryRecorder::SetValue(RegistryKey key, const std::string& name, std::uint32_t type,
                                              const std::uint8_t* data, std::uint32_t size) {
  if (!SettlePendingOpen(kNone, std::string())) return kErrorAccessDenied;
  const auto found = handles.find(key);
  if (found == handles.end()) return kErrorInvalidHandle;
  Key& owner = keys[found->second];
  const std::string where = owner.root + "\\" + owner.path + " [" + name + "]";
  if (parents[found->second] == kNone) return Refuse("the script writes a value into a root key: " + where);
  if (!IsPrintableAscii(name)) return Refuse("the value name of " + where + " is not printable ASCII");
  Value value{name, type, std::string()};
  if (type == kRegSz) {
    if (size < 2 || data[size - 1] != 0) return Refuse("the string value " + where + " is empty");
    value.text.assign(reinterpret_cast<const char*>(data), size - 1);
    if (!IsPrintableAscii(value.text)) return Refuse("the text of " + where + " is not printable ASCII");
  } else if (type == kRegDword && size == 4) {
    const std::uint32_t number =
        data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    value.text = std::to_string(number);
  } else {
    return Refuse("the value " + where + " has a type the package cannot carry (" + std::to_string(type) + ")");
  }
  for (Value& existing : owner.values) {
    if (SameName(existing.name, name)) {
      existing = value;
      return kErrorSuccess;
    }
  }
  owner.values.push_back(value);
  return kErrorSuccess;
}

std::int32_t CRegistryEntryRecorder::DeleteValue(RegistryKey key, const std::string& name) {
  const auto found = handles.find(key);
  if (found == handles.end()) return kErrorInvalidHandle;
  return Refuse("the script deletes the value " + keys[found->second].path + " [" + name + "]");
}

std::int32_t CRegistryEntryRecorder::DeleteKey(RegistryKey parent, const std::string& name) {
  std::size_t parentIndex = 0;
  const std::int32_t error = ResolveParent(parent, &parentIndex);
  if (error != kErrorSuccess) return error;
  return Refuse("the script deletes " + Describe(parentIndex, name));
}

std::int32_t CRegistryEntryRecorder::EnumKey(RegistryKey key, std::uint32_t index, std::string* name) {
  const auto found = handles.find(key);
  if (found == handles.end()) return kErrorInvalidHandle;
  std::uint32_t seen = 0;
  for (std::size_t child = 0; child < keys.size(); ++child) {
    if (parents[child] != found->second) continue;
    if (seen++ == index) {
      *name = keys[child].path.substr(keys[child].path.rfind('\\') + 1);
      return kErrorSuccess;
    }
  }
  return kErrorNoMoreItems;
}

std::int32_t CRegistryEntryRecorder::CloseKey(RegistryKey key) {
  return handles.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
}

bool CRegistryEntryRecorder::Finish() {
  SettlePendingOpen(kNone, std::string());
  // A key holds something when it has a value or a descendant that has one;
  // children come after their parents, so one backward pass sees them first.
  std::vector<bool> holds(keys.size(), false);
  for (std::size_t index = keys.size(); index-- > 2;) {
    if (!keys[index].values.empty()) holds[index] = true;
    if (!holds[index]) {
      Refuse("the key " + keys[index].root + "\\" + keys[index].path + " would be created empty");
    } else if (parents[index] != kNone) {
      holds[parents[index]] = true;
    }
  }
  return refusal.empty();
}

std::vector<CRegistryEntryRecorder::Key> CRegistryEntryRecorder::Keys() const {
  return std::vector<Key>(keys.begin() + 2, keys.end());
}
