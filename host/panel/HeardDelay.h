#pragma once

#include <cstdint>
#include <string>

// The panel's heard-delay mode: the user names the delay they want to hear,
// and DELAY becomes that less what the devices add (their latency, from a
// loopback measurement), held within the component's DELAY range.
struct HeardDelayPlan {
  // What the user asked to hear, in ms.
  std::int32_t wantedMs = 0;
  // What the sound card's input and output add, in ms.
  double deviceLatencyMs = 0;
  // wantedMs less the latency, rounded to whole ms; may lie outside the range.
  std::int32_t neededDelayMs = 0;
  // The DELAY to set: neededDelayMs, or the nearest end of the range.
  std::int32_t delayMs = 0;

  bool BelowRange() const noexcept { return neededDelayMs < delayMs; }
  bool AboveRange() const noexcept { return neededDelayMs > delayMs; }
  // What the user hears at delayMs, in ms.
  double HeardMs() const noexcept { return delayMs + deviceLatencyMs; }
};

HeardDelayPlan PlanHeardDelay(std::int32_t wantedMs, double deviceLatencyMs);

// The line the panel shows under the mode's controls: the DELAY it set and
// what that gives, and, when the wanted delay cannot be had, why and what
// the user hears instead.
std::wstring HeardDelayNote(const HeardDelayPlan& plan);
