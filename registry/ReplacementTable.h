#pragma once

#include "registry/ScriptCharacters.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The names a registry script may refer to as %name%, with their 8-bit texts.
class CReplacementTable {
 public:
  // Names of this many characters or more are refused by Expand.
  static constexpr std::size_t kNameLimit = 32;

  // E_INVALIDARG for a null name or text, E_OUTOFMEMORY when the pair cannot
  // be stored. A name added twice keeps its first text.
  std::int32_t Add(const char* name, const char* text) noexcept;
  // The text of a name, compared without regard to case; null when absent.
  const std::string* Find(const std::string& name) const noexcept;

  // Copies the script into *expanded with every %name% replaced by its text
  // and every %% by one percent sign. DISP_E_EXCEPTION for a missing closing
  // percent sign or an unknown name, E_FAIL for a name of kNameLimit
  // characters or more, E_OUTOFMEMORY when the copy cannot grow.
  std::int32_t Expand(const char* script, LeadByteTest isLeadByte, std::string* expanded) const noexcept;

 private:
  std::vector<std::pair<std::string, std::string>> pairs;
};
