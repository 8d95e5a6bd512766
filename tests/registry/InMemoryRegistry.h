#pragma once

#include "registry/RegistryAccess.h"
#include "registry/ScriptCharacters.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct StoredRegistryValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// One key (no value name) or one value of a key.
struct RegistryEntry {
  std::string keyPath;  // "HKCR\A\B"
  std::string keyName;  // "B"
  std::optional<std::string> valueName;
  StoredRegistryValue value;
};

// A registry in memory with the platform's rules where the interpreter can
// tell them apart: names compare without regard to case, subkeys enumerate in
// name order, an empty name designates the key itself (also for DeleteKey), a
// key with subkeys cannot be deleted (ERROR_ACCESS_DENIED), writes need a
// writable handle, a deleted key's handles answer ERROR_KEY_DELETED.
//
// Every call is logged as one line such as "CreateKey HKCR\A\B",
// "OpenKey HKCR\A rw", "SetValue HKCR\A [name]", "EnumKey HKCR\A 0",
// "CloseKey HKCR\A"; a failure can be injected for calls whose line starts
// with a given text, or for the n-th call.
class CInMemoryRegistry final : public IRegistryAccess {
 public:
  // Names are split into path parts at backslashes that are whole characters
  // of the code page that isLeadByte describes.
  explicit CInMemoryRegistry(LeadByteTest isLeadByte = nullptr);
  ~CInMemoryRegistry() override;
  CInMemoryRegistry(const CInMemoryRegistry&) = delete;
  CInMemoryRegistry& operator=(const CInMemoryRegistry&) = delete;

  std::int32_t OpenKey(RegistryKey parent, const std::string& name, bool writable, RegistryKey* key) override;
  std::int32_t CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) override;
  std::int32_t SetValue(RegistryKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
  std::int32_t DeleteValue(RegistryKey key, const std::string& name) override;
  std::int32_t DeleteKey(RegistryKey parent, const std::string& name) override;
  std::int32_t EnumKey(RegistryKey key, std::uint32_t index, std::string* name) override;
  std::int32_t CloseKey(RegistryKey key) override;

  // Set-up and inspection by path below a root ("A\B"), bypassing the log.
  void AddKey(RegistryKey root, const std::string& path);
  void AddValue(RegistryKey root, const std::string& path, const std::string& name, std::uint32_t type,
                std::vector<std::uint8_t> data);
  void AddString(RegistryKey root, const std::string& path, const std::string& name, const std::string& text);
  // The key refuses writable opening, creation below it, writes and deletion.
  void MakeReadOnly(RegistryKey root, const std::string& path);
  bool HasKey(RegistryKey root, const std::string& path) const;
  std::optional<StoredRegistryValue> GetValue(RegistryKey root, const std::string& path,
                                              const std::string& name) const;

  // Every key below the roots and every value, in name order, keys before
  // their values and subkeys.
  std::vector<RegistryEntry> Entries() const;
  // The same, one line each:
  //   HKCR\A
  //   HKCR\A [] sz "text"          (a REG_SZ value with one trailing NUL)
  //   HKCR\A [name] dword 12
  //   HKCR\A [name] type 3: 0a ff  (anything else, bytes in hex)
  std::vector<std::string> Dump() const;

  std::size_t OpenHandleCount() const noexcept { return handles.size(); }
  const std::vector<std::string>& Calls() const noexcept { return calls; }
  // Calls other than OpenKey, EnumKey and CloseKey.
  std::size_t ChangingCallCount() const;
  void ClearCalls() { calls.clear(); }

  // Every later call whose log line starts with prefix fails with error.
  void FailCallsStartingWith(const std::string& prefix, std::int32_t error);
  // The call with this zero-based number (counting from construction) fails.
  void FailCallNumber(std::size_t number, std::int32_t error);

 private:
  struct Node;
  struct Handle {
    std::shared_ptr<Node> node;
    bool writable;
  };

  std::vector<std::string> SplitPath(const std::string& path) const;
  std::shared_ptr<Node> Root(RegistryKey key) const;
  std::int32_t Resolve(RegistryKey key, std::shared_ptr<Node>* node, bool* writable) const;
  std::shared_ptr<Node> Find(const std::shared_ptr<Node>& from, const std::string& path) const;
  std::shared_ptr<Node> FindOrAdd(const std::shared_ptr<Node>& from, const std::string& path);
  std::string DescribeKey(RegistryKey key) const;
  // Logs the call; returns the injected error for it, or 0.
  std::int32_t Record(const std::string& line);
  RegistryKey NewHandle(std::shared_ptr<Node> node, bool writable);

  LeadByteTest isLeadByte;
  std::vector<std::shared_ptr<Node>> roots;
  std::map<RegistryKey, Handle> handles;
  RegistryKey nextHandle = 0x1000;
  std::vector<std::string> calls;
  std::size_t callCount = 0;
  std::vector<std::pair<std::string, std::int32_t>> prefixFaults;
  std::map<std::size_t, std::int32_t> numberedFaults;
};
