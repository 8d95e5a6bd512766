#pragma once

#include <cstddef>
#include <string>

// Tells whether a byte starts a two-byte character of the 8-bit code page.
// Null means a single-byte code page.
using LeadByteTest = bool (*)(unsigned char byte);

// Moves past one whole character: a lead byte takes its trail byte along,
// and nothing moves past the terminating NUL.
inline const char* NextCharacter(const char* position, LeadByteTest isLeadByte) noexcept {
  if (*position == '\0') return position;
  if (isLeadByte != nullptr && isLeadByte(static_cast<unsigned char>(*position)) && position[1] != '\0') {
    return position + 2;
  }
  return position + 1;
}

inline std::size_t CountCharacters(const std::string& text, LeadByteTest isLeadByte) noexcept {
  std::size_t count = 0;
  for (const char* p = text.c_str(); *p != '\0'; p = NextCharacter(p, isLeadByte)) ++count;
  return count;
}

// True when the single-byte character c occurs on its own, not as the trail
// byte of a two-byte character.
inline bool ContainsCharacter(const std::string& text, char c, LeadByteTest isLeadByte) noexcept {
  for (const char* p = text.c_str(); *p != '\0'; p = NextCharacter(p, isLeadByte)) {
    if (*p == c) return true;
  }
  return false;
}

// Script names (roots, keywords, replacements, protected keys) are ASCII, so
// case is folded for ASCII letters only.
inline bool EqualsIgnoringCase(const std::string& a, const char* b) noexcept {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}
