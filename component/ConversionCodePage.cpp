#include "component/ConversionCodePage.h"

#include <atomic>

namespace {

// 0 means "not chosen yet": no real code page has that number, CP_ACP aside,
// which the rule never yields.
std::atomic<UINT> chosenCodePage{0};

bool IsNt5OrLater() noexcept {
  const DWORD version = GetVersion();
  const bool isNt = (version & 0x80000000u) == 0;
  return isNt && LOBYTE(LOWORD(version)) >= 5;
}

UINT ThreadLocaleAnsiCodePage() noexcept {
  char digits[8] = {};
  UINT codePage = 0;
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits, sizeof(digits)) != 0) {
    for (const char* p = digits; *p >= '0' && *p <= '9'; ++p) codePage = codePage * 10 + static_cast<UINT>(*p - '0');
  }
  return codePage != 0 ? codePage : GetACP();
}

}  // namespace

UINT ConversionCodePage() noexcept {
  UINT codePage = chosenCodePage.load();
  if (codePage == 0) {
    codePage = IsNt5OrLater() ? CP_THREAD_ACP : ThreadLocaleAnsiCodePage();
    chosenCodePage.exchange(codePage);
  }
  return codePage;
}
