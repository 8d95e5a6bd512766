#pragma once

#include "registry/RegistryAccess.h"

#include <cstdint>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

// A registry backend for the script interpreter that writes nothing: in
// register mode it records the keys and values a script would write, so an
// installer package can carry them as data. It starts empty, as a machine
// without the component, and refuses what a package's registry entries cannot
// express: deleting keys or values, roots other than HKEY_CLASSES_ROOT and
// HKEY_LOCAL_MACHINE (the package installs per machine), values other than
// non-empty strings and 32-bit numbers, texts that are not printable ASCII,
// and keys that would stay empty. A refused call fails, and Refusal() tells
// why (the interpreter ignores some failures, such as a forced removal's).
class CRegistryEntryRecorder final : public IRegistryAccess {
 public:
  struct Value {
    std::string name;  // empty for the key's default value
    std::uint32_t type = 0;
    std::string text;  // a string value's text, or a number's decimal form
  };
  struct Key {
    std::string root;  // "HKCR" or "HKLM"
    std::string path;  // below the root, parts joined by backslashes
    std::vector<Value> values;
  };

  std::int32_t OpenKey(RegistryKey parent, const std::string& name, bool writable, RegistryKey* key) override;
  std::int32_t CreateKey(RegistryKey parent, const std::string& name, RegistryKey* key) override;
  std::int32_t SetValue(RegistryKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                        std::uint32_t size) override;
  std::int32_t DeleteValue(RegistryKey key, const std::string& name) override;
  std::int32_t DeleteKey(RegistryKey parent, const std::string& name) override;
  std::int32_t EnumKey(RegistryKey key, std::uint32_t index, std::string* name) override;
  std::int32_t CloseKey(RegistryKey key) override;

  // Ends a script run: refuses a deletion the run asked for and the
  // interpreter did not report, and keys left without any value in them or
  // below them. False when anything was refused.
  bool Finish();
  const std::string& Refusal() const noexcept { return refusal; }
  // Every recorded key, in the order of creation, parents first.
  std::vector<Key> Keys() const;

 private:
  // The key an open failed for: the interpreter opens a key before it
  // creates it, and a deletion opens it without creating it afterwards.
  struct FailedOpen {
    std::size_t parent;
    std::string name;
  };

  std::int32_t Refuse(const std::string& why);
  // Refuses a pending deletion unless this call opens or creates that key.
  bool SettlePendingOpen(std::size_t parent, const std::string& name);
  std::int32_t ResolveParent(RegistryKey handle, std::size_t* index);
  std::size_t FindChild(std::size_t parent, const std::string& name) const;
  std::string Describe(std::size_t parent, const std::string& name) const;
  RegistryKey NewHandle(std::size_t index);

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Node 0 is HKEY_CLASSES_ROOT, node 1 HKEY_LOCAL_MACHINE; each key's
  // parent comes before it.
  std::vector<Key> keys{{"HKCR", "", {}}, {"HKLM", "", {}}};
  std::vector<std::size_t> parents{kNone, kNone};
  std::map<RegistryKey, std::size_t> handles;
  RegistryKey nextHandle = 0x1000;
  bool openPending = false;
  FailedOpen pendingOpen;
  std::string refusal;
};
