#include "tests/registry/DecimalNumberConverter.h"

#include "registry/RegistryCodes.h"

namespace {

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

std::int32_t ConvertDecimalToUInt32(const char* text, std::uint32_t* value) noexcept {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (*p < '0' || *p > '9') return kDispETypeMismatch;
  std::uint64_t number = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    number = number * 10 + static_cast<std::uint64_t>(*p - '0');
    if (number > 0xFFFFFFFFu) {
      overflow = true;
      number = 0xFFFFFFFFu;
    }
  }
  while (IsBlank(*p)) ++p;
  if (*p != '\0') return kDispETypeMismatch;
  if (overflow) return kDispEOverflow;
  *value = static_cast<std::uint32_t>(number);
  return kSOk;
}
