#include "engine/LeadController.h"

#include <algorithm>

double LeadController::Step(double errorSamples, double blockSeconds, bool learn) {
  const double unlimited = drift + errorSamples / (tuning.settleSeconds * sampleRate);
  const double correction = std::clamp(unlimited, -tuning.limit, tuning.limit);
  if (learn && unlimited == correction) {
    // A step of the lead that waits for a quiet block to be moved away is
    // no drift: what one error teaches is bounded.
    const double largest = tuning.learnedErrorSeconds * sampleRate;
    const double bounded = std::clamp(errorSamples, -largest, largest);
    const double follow = tuning.followSeconds;
    drift = std::clamp(drift + bounded * blockSeconds / (follow * follow * sampleRate), -tuning.limit, tuning.limit);
  }
  return 1.0 + correction;
}
