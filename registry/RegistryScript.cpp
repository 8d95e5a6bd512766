#include "registry/RegistryScript.h"

#include "registry/RegistryCodes.h"
#include "registry/RegistryScriptTokenizer.h"

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#define RETURN_IF_FAILED(expression)             \
  do {                                           \
    const std::int32_t failure_ = (expression);  \
    if (Failed(failure_)) return failure_;       \
  } while (false)

namespace {

struct RootKeyName {
  const char* name;
  RegistryKey key;
};

const RootKeyName kRootKeys[] = {
    {"HKCR", kHKeyClassesRoot},   {"HKEY_CLASSES_ROOT", kHKeyClassesRoot},
    {"HKCU", kHKeyCurrentUser},   {"HKEY_CURRENT_USER", kHKeyCurrentUser},
    {"HKLM", kHKeyLocalMachine},  {"HKEY_LOCAL_MACHINE", kHKeyLocalMachine},
    {"HKU", kHKeyUsers},          {"HKEY_USERS", kHKeyUsers},
    {"HKPD", kHKeyPerformanceData}, {"HKEY_PERFORMANCE_DATA", kHKeyPerformanceData},
    {"HKDD", kHKeyDynData},       {"HKEY_DYN_DATA", kHKeyDynData},
    {"HKCC", kHKeyCurrentConfig}, {"HKEY_CURRENT_CONFIG", kHKeyCurrentConfig},
};

// Keys that a forced removal never deletes, whatever their parent.
const char* const kProtectedKeys[] = {
    "AppID", "CLSID", "Component Categories", "FileType", "Interface", "Hardware",
    "Mime",  "SAM",   "SECURITY",             "SYSTEM",   "Software",  "TypeLib",
};

bool FindRootKey(const std::string& name, RegistryKey* key) noexcept {
  for (const RootKeyName& root : kRootKeys) {
    if (EqualsIgnoringCase(name, root.name)) {
      *key = root.key;
      return true;
    }
  }
  return false;
}

bool IsProtectedKey(const std::string& name) noexcept {
  for (const char* protectedName : kProtectedKeys) {
    if (EqualsIgnoringCase(name, protectedName)) return true;
  }
  return false;
}

// Owns one opened key; closes it on scope exit unless closed explicitly.
class OpenedKey {
 public:
  OpenedKey(IRegistryAccess& registry, RegistryKey key) noexcept : registry(registry), key(key) {}
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;
  ~OpenedKey() {
    if (!open) return;
    try {
      registry.CloseKey(key);
    } catch (...) {
      // Unwinding already carries the run's failure.
    }
  }

  RegistryKey Get() const noexcept { return key; }
  std::int32_t Close() {
    open = false;
    return registry.CloseKey(key);
  }

 private:
  IRegistryAccess& registry;
  RegistryKey key;
  bool open = true;
};

// One run of an expanded script: the read position, the current token and
// the block processing in both modes.
class ScriptRun {
 public:
  ScriptRun(IRegistryAccess& registry, NumberConverter convertNumber, LeadByteTest isLeadByte, const char* text)
      : registry(registry), convertNumber(convertNumber), isLeadByte(isLeadByte), tokenizer(text, isLeadByte) {}

  std::int32_t Execute(bool registerMode);

 private:
  std::int32_t ReadRootBlockStart(RegistryKey* root);
  std::int32_t ProcessRootBlock(RegistryKey root, bool registerMode, bool recovery) noexcept;
  std::int32_t ProcessBlock(RegistryKey parent, bool registerMode, bool recovery, int depth);
  std::int32_t ProcessValueEntry(RegistryKey parent, bool registerMode, bool recovery, bool removeMarking);
  std::int32_t ProcessDeleteEntry(RegistryKey parent);
  std::int32_t RegisterKey(RegistryKey parent, int depth);
  std::int32_t UnregisterKey(RegistryKey parent, bool recovery, bool removeMarking, bool deleteEntry, int depth);
  std::int32_t WriteValue(RegistryKey key, const std::string& valueName);
  std::int32_t RemoveValue(RegistryKey parent, const std::string& valueName);
  std::int32_t SkipAssignment();
  std::int32_t CheckKeyName(const std::string& name) const noexcept;
  std::int32_t DeleteTree(RegistryKey parent, const std::string& name);

  std::int32_t NextToken() { return tokenizer.ReadToken(&token); }
  bool TokenIsKeyword(const char* keyword) const noexcept { return EqualsIgnoringCase(token, keyword); }

  IRegistryAccess& registry;
  NumberConverter convertNumber;
  LeadByteTest isLeadByte;
  CRegistryScriptTokenizer tokenizer;
  std::string token;
};

std::int32_t ScriptRun::Execute(bool registerMode) {
  // The whole script's form is read first, with nothing opened (as under a
  // missing key): a script that is not well formed changes nothing, in
  // either mode. The same pass counts the blocks.
  const char* const scriptStart = tokenizer.Position();
  std::size_t blockCount = 0;
  while (!tokenizer.AtEnd()) {
    RegistryKey root = 0;
    RETURN_IF_FAILED(ReadRootBlockStart(&root));
    RETURN_IF_FAILED(ProcessRootBlock(root, false, true));
    tokenizer.SkipWhiteSpace();
    ++blockCount;
  }

  tokenizer.Rewind(scriptStart);
  std::vector<std::pair<RegistryKey, const char*>> blocks;
  blocks.reserve(blockCount);
  while (!tokenizer.AtEnd()) {
    RegistryKey root = 0;
    RETURN_IF_FAILED(ReadRootBlockStart(&root));
    blocks.emplace_back(root, tokenizer.Position());
    const std::int32_t result = ProcessRootBlock(root, registerMode, false);
    if (Failed(result)) {
      // A failed register run takes back what it wrote: every block it has
      // processed, the failed one included, is run once more in unregister
      // mode, the last first.
      if (registerMode) {
        for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
          tokenizer.Rewind(block->second);
          ProcessRootBlock(block->first, false, false);
        }
      }
      return result;
    }
    tokenizer.SkipWhiteSpace();
  }
  return kSOk;
}

std::int32_t ScriptRun::ReadRootBlockStart(RegistryKey* root) {
  RETURN_IF_FAILED(NextToken());
  if (!FindRootKey(token, root)) return kDispEException;
  RETURN_IF_FAILED(NextToken());
  return token == "{" ? kSOk : kDispEException;
}

// Keeps an exception inside one block, so that a failed block is still undone.
std::int32_t ScriptRun::ProcessRootBlock(RegistryKey root, bool registerMode, bool recovery) noexcept {
  try {
    return ProcessBlock(root, registerMode, recovery, 1);
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  } catch (...) {
    return kEFail;
  }
}

std::int32_t ScriptRun::ProcessBlock(RegistryKey parent, bool registerMode, bool recovery, int depth) {
  if (depth > CRegistryScript::kMaxNesting) return kDispEException;
  RETURN_IF_FAILED(NextToken());
  while (token != "}") {
    if (TokenIsKeyword("ForceRemove") || TokenIsKeyword("Delete")) {
      const bool deleteEntry = TokenIsKeyword("Delete");
      RETURN_IF_FAILED(NextToken());
      if (!registerMode) {
        RETURN_IF_FAILED(UnregisterKey(parent, recovery, true, deleteEntry, depth));
      } else if (deleteEntry) {
        RETURN_IF_FAILED(ProcessDeleteEntry(parent));
      } else {
        RETURN_IF_FAILED(CheckKeyName(token));
        if (!IsProtectedKey(token)) DeleteTree(parent, token);
        RETURN_IF_FAILED(RegisterKey(parent, depth));
      }
      continue;
    }
    bool removeMarking = true;
    if (TokenIsKeyword("NoRemove")) {
      removeMarking = false;
      RETURN_IF_FAILED(NextToken());
    }
    if (TokenIsKeyword("Val")) {
      RETURN_IF_FAILED(ProcessValueEntry(parent, registerMode, recovery, removeMarking));
    } else if (registerMode) {
      RETURN_IF_FAILED(RegisterKey(parent, depth));
    } else {
      RETURN_IF_FAILED(UnregisterKey(parent, recovery, removeMarking, false, depth));
    }
  }
  return kSOk;
}

std::int32_t ScriptRun::ProcessValueEntry(RegistryKey parent, bool registerMode, bool recovery, bool removeMarking) {
  std::string valueName;
  RETURN_IF_FAILED(tokenizer.ReadToken(&valueName));
  if (CountCharacters(valueName, isLeadByte) > CRegistryScript::kMaxNameCharacters) return kDispEException;
  RETURN_IF_FAILED(NextToken());
  if (token != "=") return kDispEException;
  if (registerMode) {
    RETURN_IF_FAILED(WriteValue(parent, valueName));
  } else {
    if (!recovery && removeMarking) RETURN_IF_FAILED(RemoveValue(parent, valueName));
    RETURN_IF_FAILED(SkipAssignment());
  }
  // A value has no subkeys: a block after it has nothing to work on.
  if (token == "{") return kDispEException;
  return kSOk;
}

// Register mode: the key goes with its subtree; an assignment after it is
// skipped. The entry is read to its end first, so a malformed one deletes
// nothing.
std::int32_t ScriptRun::ProcessDeleteEntry(RegistryKey parent) {
  RETURN_IF_FAILED(CheckKeyName(token));
  const std::string name = token;
  RETURN_IF_FAILED(NextToken());
  RETURN_IF_FAILED(SkipAssignment());
  if (token == "{") return kDispEException;
  if (!IsProtectedKey(name)) DeleteTree(parent, name);
  return kSOk;
}

std::int32_t ScriptRun::RegisterKey(RegistryKey parent, int depth) {
  RETURN_IF_FAILED(CheckKeyName(token));
  RegistryKey opened = 0;
  std::int32_t error = registry.OpenKey(parent, token, true, &opened);
  if (error != kErrorSuccess) error = registry.OpenKey(parent, token, false, &opened);
  if (error != kErrorSuccess) error = registry.CreateKey(parent, token, &opened);
  if (error != kErrorSuccess) return ResultFromWin32(error);
  OpenedKey key(registry, opened);
  RETURN_IF_FAILED(NextToken());
  if (token == "=") RETURN_IF_FAILED(WriteValue(key.Get(), std::string()));
  if (token == "{") {
    RETURN_IF_FAILED(ProcessBlock(key.Get(), true, false, depth + 1));
    RETURN_IF_FAILED(NextToken());
  }
  return kSOk;
}

// A key that cannot be opened puts its block in recovery: nothing below it
// is opened or deleted. What fails there is the script's form, which ends
// the run like anywhere else: reading on from the middle of the block would
// take its remaining tokens for entries of the parent.
std::int32_t ScriptRun::UnregisterKey(RegistryKey parent, bool recovery, bool removeMarking, bool deleteEntry,
                                      int depth) {
  RETURN_IF_FAILED(CheckKeyName(token));
  const std::string name = token;
  RegistryKey opened = 0;
  const std::int32_t openError = recovery ? kErrorFileNotFound : registry.OpenKey(parent, name, false, &opened);
  std::optional<OpenedKey> key;
  if (openError == kErrorSuccess) key.emplace(registry, opened);
  const bool keyRecovery = recovery || openError != kErrorSuccess;

  RETURN_IF_FAILED(NextToken());
  RETURN_IF_FAILED(SkipAssignment());
  if (token == "{") {
    if (deleteEntry) return kDispEException;
    RETURN_IF_FAILED(ProcessBlock(key ? key->Get() : 0, false, keyRecovery, depth + 1));
    RETURN_IF_FAILED(NextToken());
  }
  if (openError == kErrorFileNotFound) return kSOk;
  if (openError != kErrorSuccess) return ResultFromWin32(openError);

  const std::int32_t closeError = key->Close();
  if (closeError != kErrorSuccess) return ResultFromWin32(closeError);
  if (!removeMarking) return kSOk;
  const std::int32_t deleteError = registry.DeleteKey(parent, name);
  return deleteError == kErrorSuccess ? kSOk : ResultFromWin32(deleteError);
}

std::int32_t ScriptRun::WriteValue(RegistryKey key, const std::string& valueName) {
  std::string letter;
  RETURN_IF_FAILED(tokenizer.ReadToken(&letter));
  if (!IsValueTypeLetter(letter)) return kDispEException;
  tokenizer.SkipWhiteSpace();
  std::string text;
  RETURN_IF_FAILED(tokenizer.ReadToken(&text));
  RegistryValueData value;
  RETURN_IF_FAILED(EncodeRegistryValue(letter, text, convertNumber, isLeadByte, &value));
  static const std::uint8_t kNoBytes = 0;
  const std::uint8_t* data = value.bytes.empty() ? &kNoBytes : value.bytes.data();
  const std::int32_t error =
      registry.SetValue(key, valueName, value.type, data, static_cast<std::uint32_t>(value.bytes.size()));
  if (error != kErrorSuccess) return ResultFromWin32(error);
  return NextToken();
}

std::int32_t ScriptRun::RemoveValue(RegistryKey parent, const std::string& valueName) {
  RegistryKey opened = 0;
  std::int32_t error = registry.OpenKey(parent, std::string(), true, &opened);
  if (error != kErrorSuccess) return ResultFromWin32(error);
  OpenedKey key(registry, opened);
  error = registry.DeleteValue(key.Get(), valueName);
  if (error != kErrorSuccess && error != kErrorFileNotFound) return ResultFromWin32(error);
  return kSOk;
}

std::int32_t ScriptRun::SkipAssignment() {
  if (token != "=") return kSOk;
  std::string skipped;
  RETURN_IF_FAILED(tokenizer.ReadToken(&skipped));
  tokenizer.SkipWhiteSpace();
  RETURN_IF_FAILED(tokenizer.ReadToken(&skipped));
  return NextToken();
}

// An empty name would designate the parent itself, a backslash a deeper key:
// both would reach keys the script does not name.
std::int32_t ScriptRun::CheckKeyName(const std::string& name) const noexcept {
  if (name.empty() || ContainsCharacter(name, '\\', isLeadByte) ||
      CountCharacters(name, isLeadByte) > CRegistryScript::kMaxNameCharacters) {
    return kDispEException;
  }
  return kSOk;
}

// Returns a Win32 error code; stops at the first failure.
std::int32_t ScriptRun::DeleteTree(RegistryKey parent, const std::string& name) {
  RegistryKey opened = 0;
  std::int32_t error = registry.OpenKey(parent, name, true, &opened);
  if (error != kErrorSuccess) return error;
  OpenedKey key(registry, opened);
  std::string subkey;
  for (;;) {
    error = registry.EnumKey(key.Get(), 0, &subkey);
    if (error == kErrorNoMoreItems) break;
    if (error != kErrorSuccess) return error;
    error = DeleteTree(key.Get(), subkey);
    if (error != kErrorSuccess) return error;
  }
  key.Close();
  return registry.DeleteKey(parent, name);
}

}  // namespace

CRegistryScript::CRegistryScript(IRegistryAccess& registry, NumberConverter convertNumber,
                                 LeadByteTest isLeadByte) noexcept
    : registry(registry), convertNumber(convertNumber), isLeadByte(isLeadByte) {}

std::int32_t CRegistryScript::AddReplacement(const char* name, const char* text) noexcept {
  return replacements.Add(name, text);
}

std::int32_t CRegistryScript::Run(const char* scriptText, bool registerMode) noexcept {
  if (scriptText == nullptr) return kEInvalidArg;
  try {
    std::string expanded;
    RETURN_IF_FAILED(replacements.Expand(scriptText, isLeadByte, &expanded));
    ScriptRun run(registry, convertNumber, isLeadByte, expanded.c_str());
    return run.Execute(registerMode);
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  } catch (...) {
    return kEFail;
  }
}
