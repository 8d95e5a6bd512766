#pragma once

#include "registry/ScriptCharacters.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Reads the tokens of an expanded registry script: white-space separated
// words, or quoted texts in apostrophes where two apostrophes stand for one.
// The text must outlive the tokenizer.
class CRegistryScriptTokenizer {
 public:
  // Longest token, in bytes, without its terminating NUL.
  static constexpr std::size_t kMaxTokenBytes = 4094;

  CRegistryScriptTokenizer(const char* text, LeadByteTest isLeadByte) noexcept;

  bool AtEnd() const noexcept { return *position == '\0'; }
  void SkipWhiteSpace() noexcept;
  // Skips white space and reads one token. DISP_E_EXCEPTION at the end of
  // the text, for a quoted text without its closing apostrophe and for a
  // token longer than kMaxTokenBytes.
  std::int32_t ReadToken(std::string* token);

  const char* Position() const noexcept { return position; }
  void Rewind(const char* earlierPosition) noexcept { position = earlierPosition; }

 private:
  std::int32_t ReadQuoted(std::string* token);
  std::int32_t ReadWord(std::string* token);
  // Appends the character at the read position and moves past it.
  bool TakeCharacter(std::string* token);

  const char* position;
  LeadByteTest isLeadByte;
};
