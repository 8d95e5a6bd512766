#include "tests/fuzz/RegistryScriptFuzzTarget.h"

#include "registry/RegistryCodes.h"
#include "registry/RegistryScript.h"
#include "registry/RegistryScriptTokenizer.h"
#include "registry/ReplacementTable.h"
#include "tests/registry/DecimalNumberConverter.h"
#include "tests/registry/InMemoryRegistry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <tuple>
#include <vector>

namespace {

const char kModulePath[] = "C:\\Dir\\O''Brien\\ryn.dll";
const char kSentinelPath[] = "Software\\Sentinel\\Deep";

const std::int32_t kInjectedErrors[] = {kErrorAccessDenied, kErrorFileNotFound, kErrorOutOfMemory,
                                        kErrorInvalidHandle};

bool ShiftJisLeadByte(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Every token the tokenizer can read from a script, in lower case, reading
// on past a failed read: a superset of what the interpreter can write.
class ScriptTokens {
 public:
  ScriptTokens(const std::string& script, LeadByteTest isLeadByte) {
    CReplacementTable replacements;
    replacements.Add("APPID", "");
    replacements.Add("Module", kModulePath);
    std::string expanded;
    if (Failed(replacements.Expand(script.c_str(), isLeadByte, &expanded))) return;
    CRegistryScriptTokenizer tokenizer(expanded.c_str(), isLeadByte);
    std::string token;
    while (!tokenizer.AtEnd()) {
      if (!Failed(tokenizer.ReadToken(&token))) tokens.insert(Lower(token));
    }
  }
  bool Contains(const std::string& text) const { return tokens.count(Lower(text)) != 0; }

 private:
  std::set<std::string> tokens;
};

using EntryKey = std::tuple<std::string, std::string, bool, std::uint32_t, std::vector<std::uint8_t>>;

EntryKey KeyOf(const RegistryEntry& entry) {
  return EntryKey{Lower(entry.keyPath), entry.valueName ? Lower(*entry.valueName) : std::string(),
                  entry.valueName.has_value(), entry.value.type, entry.value.data};
}

bool IsExpectedResult(std::int32_t result) {
  const auto bits = static_cast<std::uint32_t>(result);
  return result == kSOk || result == kEFail || result == kEOutOfMemory || result == kDispEException ||
         result == kDispETypeMismatch || result == kDispEOverflow || (bits & 0xFFFF0000u) == 0x80070000u;
}

std::string Hex(std::int32_t result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(result)));
  return text;
}

// Every key, value name and text that is new in the registry must be a token
// of the script.
std::string CheckNewEntries(const std::set<EntryKey>& before, const CInMemoryRegistry& registry,
                            const ScriptTokens& tokens) {
  for (const RegistryEntry& entry : registry.Entries()) {
    if (before.count(KeyOf(entry)) != 0) continue;
    if (!entry.valueName) {
      if (!tokens.Contains(entry.keyName)) return "key not named by the script: " + entry.keyPath;
      continue;
    }
    if (!entry.valueName->empty() && !tokens.Contains(*entry.valueName)) {
      return "value not named by the script: " + entry.keyPath;
    }
    if (entry.value.type == kRegSz && !entry.value.data.empty()) {
      const std::string text(entry.value.data.begin(), entry.value.data.end() - 1);
      if (!tokens.Contains(text)) return "text not in the script: " + entry.keyPath + " [" + *entry.valueName + "]";
    }
  }
  return std::string();
}

std::string RunOnce(CRegistryScript& script, CInMemoryRegistry& registry, const std::string& text,
                    bool registerMode, const ScriptTokens& tokens, std::int32_t* result) {
  std::set<EntryKey> before;
  for (const RegistryEntry& entry : registry.Entries()) before.insert(KeyOf(entry));

  *result = script.Run(text.c_str(), registerMode);
  if (!IsExpectedResult(*result)) return "unexpected result " + Hex(*result);
  if (registry.OpenHandleCount() != 0) return std::to_string(registry.OpenHandleCount()) + " keys left open";
  if (!tokens.Contains("Sentinel")) {
    const auto kept = registry.GetValue(kHKeyCurrentUser, kSentinelPath, "Keep");
    if (!kept || kept->data != std::vector<std::uint8_t>{'x', 0}) return "a key the script does not name changed";
  }
  return CheckNewEntries(before, registry, tokens);
}

}  // namespace

std::string RunRegistryScriptFuzzInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return std::string();
  const std::uint8_t flags = data[0];
  const bool registerMode = (flags & 1) != 0;
  const LeadByteTest isLeadByte = (flags & 2) != 0 ? &ShiftJisLeadByte : nullptr;
  const bool unregisterAfter = (flags & 4) != 0;
  // The interpreter reads a NUL-ended text.
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));

  CInMemoryRegistry registry(isLeadByte);
  registry.AddString(kHKeyClassesRoot, "CLSID\\{Existing}\\InprocServer32", "", "C:\\other.dll");
  registry.AddString(kHKeyCurrentUser, kSentinelPath, "Keep", "x");
  registry.MakeReadOnly(kHKeyLocalMachine, "Software\\Locked");
  if (data[1] != 0) registry.FailCallNumber(data[1] - 1u, kInjectedErrors[(flags >> 3) & 3]);

  CRegistryScript script(registry, &ConvertDecimalToUInt32, isLeadByte);
  script.AddReplacement("APPID", "");
  script.AddReplacement("Module", kModulePath);
  const ScriptTokens tokens(text, isLeadByte);

  std::int32_t result = kSOk;
  std::string broken = RunOnce(script, registry, text, registerMode, tokens, &result);
  if (broken.empty() && registerMode && unregisterAfter && result == kSOk) {
    broken = RunOnce(script, registry, text, false, tokens, &result);
  }
  return broken;
}
