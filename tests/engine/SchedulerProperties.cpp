#include "engine/SchedulerProperties.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/StreamScheduler.h"

bool NearSlip(const Session& s, double seconds) {
  return std::any_of(s.slips.begin(), s.slips.end(),
                     [seconds](double slip) { return seconds >= slip - 1.0 && seconds <= slip + 5.0; });
}

namespace {

// From two seconds after a slip on, the slip is moved back and no longer heard.
bool AfterSlipIsHeard(const Session& s, double seconds) {
  return std::any_of(s.slips.begin(), s.slips.end(),
                     [seconds](double slip) { return seconds >= slip + 2.0 && seconds <= slip + 5.0; });
}

}  // namespace

Findings Examine(const Session& s, double from, double until) {
  Findings f;
  double committed = 0;
  double produced = 0;
  std::vector<double> heard;
  for (const BlockRecord& r : s.records) {
    if (r.seconds >= until) break;
    if (r.seconds >= 1.0) {
      committed += r.committed;
      produced += r.produced;
    }
    if (r.seconds >= from && !std::isnan(r.heardMs)) heard.push_back(r.heardMs);
  }
  f.committedShare = produced > 0 ? committed / produced : 0.0;
  std::sort(heard.begin(), heard.end());
  f.medianMs = heard.empty() ? NAN : heard[heard.size() / 2];
  double lowest = f.medianMs;
  double highest = f.medianMs;
  // The stretch between slips the block lies in, and its heard delays.
  std::size_t stretch = 0;
  double stretchLowest = INFINITY;
  double stretchHighest = -INFINITY;
  for (std::size_t k = 0; k < s.records.size() && s.records[k].seconds < until; ++k) {
    const BlockRecord& r = s.records[k];
    f.largestCorrection = std::max(f.largestCorrection, r.correction);
    // A discontinuity comes with a count, or continues one that did.
    if (k > 0 && r.discontinuous) {
      ++f.discontinuities;
      if (r.counted == s.records[k - 1].counted && !s.records[k - 1].discontinuous) ++f.uncounted;
    }
    if (r.seconds < from || std::isnan(r.heardMs)) continue;
    if (NearSlip(s, r.seconds)) {
      if (AfterSlipIsHeard(s, r.seconds)) f.slipStrayMs = std::max(f.slipStrayMs, std::fabs(r.heardMs - f.medianMs));
      continue;
    }
    lowest = std::min(lowest, r.heardMs);
    highest = std::max(highest, r.heardMs);
    const auto slipsBefore = static_cast<std::size_t>(
        std::count_if(s.slips.begin(), s.slips.end(), [&r](double slip) { return slip <= r.seconds; }));
    if (slipsBefore != stretch) {
      stretch = slipsBefore;
      stretchLowest = INFINITY;
      stretchHighest = -INFINITY;
    }
    stretchLowest = std::min(stretchLowest, r.heardMs);
    stretchHighest = std::max(stretchHighest, r.heardMs);
    f.stretchSpreadMs = std::max(f.stretchSpreadMs, stretchHighest - stretchLowest);
    f.reportErrorMs = std::max(f.reportErrorMs, std::fabs(r.reportedMs - r.heardMs));
  }
  f.spreadMs = highest - lowest;
  return f;
}

std::string Describe(const std::string& name, const Findings& f) {
  char text[400];
  std::snprintf(text, sizeof text,
                "%s: %.2f %% written where committed, heard %.1f ms, spread %.1f ms (%.1f ms between slips), "
                "%.1f ms off after a slip, "
                "reported up to %.1f ms off, correction up to %.3f %%, %u discontinuities (%u uncounted)",
                name.c_str(), 100 * f.committedShare, f.medianMs, f.spreadMs, f.stretchSpreadMs, f.slipStrayMs, f.reportErrorMs,
                100 * f.largestCorrection, f.discontinuities, f.uncounted);
  return text;
}

void ExpectPlacedSafely(const Findings& f) {
  EXPECT_EQ(f.committedShare, 0.0) << "written where the device had committed";
  EXPECT_LE(f.largestCorrection, StreamScheduler::kMaxCorrection + 1e-12);
  EXPECT_EQ(f.uncounted, 0u) << "a jump of what is heard that no count shows";
}

void ExpectHeardSteadily(const Findings& f) {
  EXPECT_LE(f.spreadMs, 2.0);
  EXPECT_LE(f.slipStrayMs, 10.0);
  EXPECT_LE(f.reportErrorMs, 3.0) << "the measured delay handed to the manager";
}

void ExpectHeardSteadilyBetweenSlips(const Findings& f) {
  EXPECT_LE(f.stretchSpreadMs, 4.0);
  EXPECT_LE(f.reportErrorMs, 3.0) << "the measured delay handed to the manager";
}

void ExpectSteady(const Findings& f) {
  ExpectPlacedSafely(f);
  ExpectHeardSteadily(f);
}
