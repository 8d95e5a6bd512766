#include "host/panel/HeardDelay.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

#include "common/ParameterRanges.h"

HeardDelayPlan PlanHeardDelay(std::int32_t wantedMs, double deviceLatencyMs) {
  HeardDelayPlan plan;
  plan.wantedMs = wantedMs;
  plan.deviceLatencyMs = deviceLatencyMs;
  plan.neededDelayMs = static_cast<std::int32_t>(std::lround(wantedMs - deviceLatencyMs));
  plan.delayMs = std::clamp(plan.neededDelayMs, kDelayRangeMs.low, kDelayRangeMs.high);
  return plan;
}

std::wstring HeardDelayNote(const HeardDelayPlan& plan) {
  wchar_t text[256];
  if (plan.BelowRange() || plan.AboveRange()) {
    std::swprintf(text, 256,
                  L"%d ms cannot be had with these devices: it needs DELAY %d ms, %ls the %ls DELAY, %d ms. "
                  L"DELAY is %d ms, so you hear %.0f ms.",
                  plan.wantedMs, plan.neededDelayMs, plan.BelowRange() ? L"below" : L"above",
                  plan.BelowRange() ? L"lowest" : L"highest", plan.delayMs, plan.delayMs, plan.HeardMs());
  } else {
    std::swprintf(text, 256, L"DELAY %d ms + devices %.0f ms = %.0f ms heard.", plan.delayMs, plan.deviceLatencyMs,
                  plan.HeardMs());
  }
  return text;
}
