#include "registry/ReplacementTable.h"

#include "registry/RegistryCodes.h"

#include <cstring>
#include <new>

namespace {

// The expanded copy starts at twice the script's length (1000 bytes for short
// scripts) and doubles whenever a piece does not fit with its terminating NUL.
class ExpandedText {
 public:
  ExpandedText(std::size_t scriptLength, std::string* text)
      : capacity(scriptLength < 100 ? 1000 : 2 * scriptLength), text(text) {
    text->clear();
    text->reserve(capacity);
  }

  void Append(const char* piece, std::size_t length) {
    if (text->size() + length + 1 > capacity) {
      while (text->size() + length + 1 > capacity) capacity *= 2;
      text->reserve(capacity);
    }
    text->append(piece, length);
  }

 private:
  std::size_t capacity;
  std::string* text;
};

}  // namespace

std::int32_t CReplacementTable::Add(const char* name, const char* text) noexcept {
  if (name == nullptr || text == nullptr) return kEInvalidArg;
  try {
    pairs.emplace_back(name, text);
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
  return kSOk;
}

const std::string* CReplacementTable::Find(const std::string& name) const noexcept {
  for (const auto& pair : pairs) {
    if (EqualsIgnoringCase(name, pair.first.c_str())) return &pair.second;
  }
  return nullptr;
}

std::int32_t CReplacementTable::Expand(const char* script, LeadByteTest isLeadByte,
                                       std::string* expanded) const noexcept {
  try {
    ExpandedText out(std::strlen(script), expanded);
    const char* p = script;
    while (*p != '\0') {
      if (*p != '%') {
        const char* next = NextCharacter(p, isLeadByte);
        out.Append(p, static_cast<std::size_t>(next - p));
        p = next;
        continue;
      }
      ++p;
      if (*p == '%') {
        out.Append("%", 1);
        ++p;
        continue;
      }
      const char* end = p;
      std::size_t characters = 0;
      while (*end != '\0' && *end != '%') {
        end = NextCharacter(end, isLeadByte);
        ++characters;
      }
      if (*end != '%') return kDispEException;
      if (characters >= kNameLimit) return kEFail;
      const std::string* text = Find(std::string(p, end));
      if (text == nullptr) return kDispEException;
      out.Append(text->data(), text->size());
      p = end + 1;
    }
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
  return kSOk;
}
