#include "tests/registry/InMemoryRegistry.h"

#include "registry/RegistryCodes.h"

#include <cctype>
#include <cstdio>
#include <iterator>
#include <utility>

namespace {

// The registry's limit for one key name, in characters.
constexpr std::size_t kMaxKeyNameLength = 255;

char Fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      const char x = Fold(a[i]);
      const char y = Fold(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

std::string DescribeData(const StoredRegistryValue& value) {
  const auto& d = value.data;
  bool plainString = value.type == kRegSz && !d.empty() && d.back() == 0;
  for (std::size_t i = 0; plainString && i + 1 < d.size(); ++i) plainString = d[i] != 0;
  if (plainString) return "sz \"" + std::string(d.begin(), d.end() - 1) + "\"";
  if (value.type == kRegDword && d.size() == 4) {
    const std::uint32_t number = static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
                                 static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
    return "dword " + std::to_string(number);
  }
  std::string text = "type " + std::to_string(value.type) + ":";
  for (std::uint8_t byte : d) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", byte);
    text += hex;
  }
  return text;
}

}  // namespace

struct CInMemoryRegistry::Node {
  std::string name;
  std::string path;
  bool readOnly = false;
  bool deleted = false;
  std::map<std::string, std::shared_ptr<Node>, CaseInsensitiveLess> subkeys;
  std::map<std::string, StoredRegistryValue, CaseInsensitiveLess> values;
  std::weak_ptr<Node> parent;
};

CInMemoryRegistry::CInMemoryRegistry(LeadByteTest isLeadByte) : isLeadByte(isLeadByte) {
  for (const char* name : {"HKCR", "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD"}) {
    auto root = std::make_shared<Node>();
    root->name = name;
    root->path = name;
    roots.push_back(root);
  }
}

CInMemoryRegistry::~CInMemoryRegistry() = default;

std::vector<std::string> CInMemoryRegistry::SplitPath(const std::string& path) const {
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  parts.emplace_back();
  for (const char* p = path.c_str(); *p != '\0';) {
    const char* next = NextCharacter(p, isLeadByte);
    if (*p == '\\') {
      parts.emplace_back();
    } else {
      parts.back().append(p, next);
    }
    p = next;
  }
  return parts;
}

std::shared_ptr<CInMemoryRegistry::Node> CInMemoryRegistry::Root(RegistryKey key) const {
  const RegistryKey order[] = {kHKeyClassesRoot,     kHKeyCurrentUser,   kHKeyLocalMachine, kHKeyUsers,
                               kHKeyPerformanceData, kHKeyCurrentConfig, kHKeyDynData};
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (order[i] == key) return roots[i];
  }
  return nullptr;
}

std::int32_t CInMemoryRegistry::Resolve(RegistryKey key, std::shared_ptr<Node>* node, bool* writable) const {
  if (auto root = Root(key)) {
    *node = root;
    *writable = true;
    return kErrorSuccess;
  }
  const auto found = handles.find(key);
  if (found == handles.end()) return kErrorInvalidHandle;
  if (found->second.node->deleted) return kErrorKeyDeleted;
  *node = found->second.node;
  *writable = found->second.writable;
  return kErrorSuccess;
}

std::shared_ptr<CInMemoryRegistry::Node> CInMemoryRegistry::Find(const std::shared_ptr<Node>& from,
                                                                  const std::string& path) const {
  std::shared_ptr<Node> node = from;
  for (const std::string& part : SplitPath(path)) {
    const auto found = node->subkeys.find(part);
    if (found == node->subkeys.end()) return nullptr;
    node = found->second;
  }
  return node;
}

std::shared_ptr<CInMemoryRegistry::Node> CInMemoryRegistry::FindOrAdd(const std::shared_ptr<Node>& from,
                                                                       const std::string& path) {
  std::shared_ptr<Node> node = from;
  for (const std::string& part : SplitPath(path)) {
    auto& slot = node->subkeys[part];
    if (!slot) {
      slot = std::make_shared<Node>();
      slot->name = part;
      slot->path = node->path + "\\" + part;
      slot->parent = node;
    }
    node = slot;
  }
  return node;
}

std::string CInMemoryRegistry::DescribeKey(RegistryKey key) const {
  if (auto root = Root(key)) return root->path;
  const auto found = handles.find(key);
  return found == handles.end() ? "<invalid>" : found->second.node->path;
}

std::int32_t CInMemoryRegistry::Record(const std::string& line) {
  calls.push_back(line);
  const std::size_t number = callCount++;
  const auto numbered = numberedFaults.find(number);
  if (numbered != numberedFaults.end()) return numbered->second;
  for (const auto& fault : prefixFaults) {
    if (line.compare(0, fault.first.size(), fault.first) == 0) return fault.second;
  }
  return kErrorSuccess;
}

RegistryKey CInMemoryRegistry::NewHandle(std::shared_ptr<Node> node, bool writable) {
  const RegistryKey key = nextHandle;
  nextHandle += 4;
  handles[key] = Handle{std::move(node), writable};
  return key;
}

std::int32_t CInMemoryRegistry::OpenKey(RegistryKey parent, const std::string& name, bool writable,
                                        RegistryKey* key) {
  if (const std::int32_t fault = Record("OpenKey " + DescribeKey(parent) + (name.empty() ? "" : "\\") + name +
                                        (writable ? " rw" : " ro"))) {
    return fault;
  }
  std::shared_ptr<Node> from;
  bool parentWritable = false;
  if (const std::int32_t error = Resolve(parent, &from, &parentWritable)) return error;
  const std::shared_ptr<Node> node = Find(from, name);
  if (!node) return kErrorFileNotFound;
  if (writable && node->readOnly) return kErrorAccessDenied;
  *key = NewHandle(node, writable);
  return kErrorSuccess;
}

std::int32_t CInMemoryRegistry::CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) {
  if (const std::int32_t fault = Record("CreateKey " + DescribeKey(parent) + (name.empty() ? "" : "\\") + name)) {
    return fault;
  }
  std::shared_ptr<Node> from;
  bool parentWritable = false;
  if (const std::int32_t error = Resolve(parent, &from, &parentWritable)) return error;
  for (const std::string& part : SplitPath(name)) {
    if (part.empty() || part.size() > kMaxKeyNameLength) return kErrorInvalidParameter;
  }
  if (const std::shared_ptr<Node> existing = Find(from, name)) {
    if (existing->readOnly) return kErrorAccessDenied;
    *key = NewHandle(existing, true);
    return kErrorSuccess;
  }
  if (!parentWritable || from->readOnly) return kErrorAccessDenied;
  *key = NewHandle(FindOrAdd(from, name), true);
  return kErrorSuccess;
}

std::int32_t CInMemoryRegistry::SetValue(RegistryKey key, const std::string& name, std::uint32_t type,
                                         const std::uint8_t* data, std::uint32_t size) {
  if (const std::int32_t fault = Record("SetValue " + DescribeKey(key) + " [" + name + "]")) return fault;
  std::shared_ptr<Node> node;
  bool writable = false;
  if (const std::int32_t error = Resolve(key, &node, &writable)) return error;
  if (!writable || node->readOnly) return kErrorAccessDenied;
  node->values[name] = StoredRegistryValue{type, std::vector<std::uint8_t>(data, data + size)};
  return kErrorSuccess;
}

std::int32_t CInMemoryRegistry::DeleteValue(RegistryKey key, const std::string& name) {
  if (const std::int32_t fault = Record("DeleteValue " + DescribeKey(key) + " [" + name + "]")) return fault;
  std::shared_ptr<Node> node;
  bool writable = false;
  if (const std::int32_t error = Resolve(key, &node, &writable)) return error;
  if (!writable || node->readOnly) return kErrorAccessDenied;
  return node->values.erase(name) == 1 ? kErrorSuccess : kErrorFileNotFound;
}

std::int32_t CInMemoryRegistry::DeleteKey(RegistryKey parent, const std::string& name) {
  if (const std::int32_t fault = Record("DeleteKey " + DescribeKey(parent) + (name.empty() ? "" : "\\") + name)) {
    return fault;
  }
  std::shared_ptr<Node> from;
  bool parentWritable = false;
  if (const std::int32_t error = Resolve(parent, &from, &parentWritable)) return error;
  const std::shared_ptr<Node> node = Find(from, name);
  if (!node) return kErrorFileNotFound;
  const std::shared_ptr<Node> owner = node->parent.lock();
  if (!owner || node->readOnly || !node->subkeys.empty()) return kErrorAccessDenied;
  owner->subkeys.erase(node->name);
  node->deleted = true;
  return kErrorSuccess;
}

std::int32_t CInMemoryRegistry::EnumKey(RegistryKey key, std::uint32_t index, std::string* name) {
  if (const std::int32_t fault = Record("EnumKey " + DescribeKey(key) + " " + std::to_string(index))) return fault;
  std::shared_ptr<Node> node;
  bool writable = false;
  if (const std::int32_t error = Resolve(key, &node, &writable)) return error;
  if (index >= node->subkeys.size()) return kErrorNoMoreItems;
  auto it = node->subkeys.begin();
  std::advance(it, index);
  *name = it->first;
  return kErrorSuccess;
}

std::int32_t CInMemoryRegistry::CloseKey(RegistryKey key) {
  if (const std::int32_t fault = Record("CloseKey " + DescribeKey(key))) {
    // A failed close still gives the handle back, as on the platform.
    handles.erase(key);
    return fault;
  }
  if (Root(key)) return kErrorSuccess;
  return handles.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
}

void CInMemoryRegistry::AddKey(RegistryKey root, const std::string& path) { FindOrAdd(Root(root), path); }

void CInMemoryRegistry::AddValue(RegistryKey root, const std::string& path, const std::string& name,
                                 std::uint32_t type, std::vector<std::uint8_t> data) {
  FindOrAdd(Root(root), path)->values[name] = StoredRegistryValue{type, std::move(data)};
}

void CInMemoryRegistry::AddString(RegistryKey root, const std::string& path, const std::string& name,
                                  const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  AddValue(root, path, name, kRegSz, std::move(data));
}

void CInMemoryRegistry::MakeReadOnly(RegistryKey root, const std::string& path) {
  FindOrAdd(Root(root), path)->readOnly = true;
}

bool CInMemoryRegistry::HasKey(RegistryKey root, const std::string& path) const {
  return Find(Root(root), path) != nullptr;
}

std::optional<StoredRegistryValue> CInMemoryRegistry::GetValue(RegistryKey root, const std::string& path,
                                                               const std::string& name) const {
  const std::shared_ptr<Node> node = Find(Root(root), path);
  if (!node) return std::nullopt;
  const auto found = node->values.find(name);
  if (found == node->values.end()) return std::nullopt;
  return found->second;
}

std::vector<RegistryEntry> CInMemoryRegistry::Entries() const {
  std::vector<RegistryEntry> entries;
  std::vector<std::shared_ptr<Node>> pending(roots.rbegin(), roots.rend());
  while (!pending.empty()) {
    const std::shared_ptr<Node> node = pending.back();
    pending.pop_back();
    if (!node->parent.expired()) entries.push_back(RegistryEntry{node->path, node->name, std::nullopt, {}});
    for (const auto& value : node->values) {
      entries.push_back(RegistryEntry{node->path, node->name, value.first, value.second});
    }
    for (auto it = node->subkeys.rbegin(); it != node->subkeys.rend(); ++it) pending.push_back(it->second);
  }
  return entries;
}

std::vector<std::string> CInMemoryRegistry::Dump() const {
  std::vector<std::string> lines;
  for (const RegistryEntry& entry : Entries()) {
    lines.push_back(entry.valueName ? entry.keyPath + " [" + *entry.valueName + "] " + DescribeData(entry.value)
                                    : entry.keyPath);
  }
  return lines;
}

std::size_t CInMemoryRegistry::ChangingCallCount() const {
  std::size_t count = 0;
  for (const std::string& line : calls) {
    if (line.rfind("OpenKey ", 0) != 0 && line.rfind("EnumKey ", 0) != 0 && line.rfind("CloseKey ", 0) != 0) ++count;
  }
  return count;
}

void CInMemoryRegistry::FailCallsStartingWith(const std::string& prefix, std::int32_t error) {
  prefixFaults.emplace_back(prefix, error);
}

void CInMemoryRegistry::FailCallNumber(std::size_t number, std::int32_t error) { numberedFaults[number] = error; }
