#include "registry/RegistryScriptTokenizer.h"

#include "registry/RegistryCodes.h"

namespace {

bool IsWhiteSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

CRegistryScriptTokenizer::CRegistryScriptTokenizer(const char* text, LeadByteTest isLeadByte) noexcept
    : position(text), isLeadByte(isLeadByte) {}

void CRegistryScriptTokenizer::SkipWhiteSpace() noexcept {
  while (IsWhiteSpace(*position)) ++position;
}

std::int32_t CRegistryScriptTokenizer::ReadToken(std::string* token) {
  token->clear();
  SkipWhiteSpace();
  if (AtEnd()) return kDispEException;
  return *position == '\'' ? ReadQuoted(token) : ReadWord(token);
}

std::int32_t CRegistryScriptTokenizer::ReadQuoted(std::string* token) {
  ++position;
  for (;;) {
    if (AtEnd()) return kDispEException;
    if (*position == '\'') {
      if (position[1] != '\'') {
        ++position;
        return kSOk;
      }
      ++position;
    }
    if (!TakeCharacter(token)) return kDispEException;
  }
}

std::int32_t CRegistryScriptTokenizer::ReadWord(std::string* token) {
  while (!AtEnd() && !IsWhiteSpace(*position)) {
    if (!TakeCharacter(token)) return kDispEException;
  }
  return kSOk;
}

bool CRegistryScriptTokenizer::TakeCharacter(std::string* token) {
  const char* next = NextCharacter(position, isLeadByte);
  const auto length = static_cast<std::size_t>(next - position);
  if (token->size() + length > kMaxTokenBytes) return false;
  token->append(position, length);
  position = next;
  return true;
}
