#pragma once

// The resampling step that steers the stream's lead to the lead held: a
// lead too long is shortened by reading the input a little faster. The
// proportional part takes an error up over `settleSeconds`; the integral
// part learns the clocks' ratio over `followSeconds`, twice as long, which
// damps the two critically. The step never lies further than `limit` from
// 1, so the correction cannot be heard, and while it is at the limit the
// integral part stops learning (anti-windup).
class LeadController {
 public:
  struct Tuning {
    double settleSeconds;
    double followSeconds;
    double limit;               // largest correction, as a fraction of 1
    double learnedErrorSeconds;  // largest error the integral part learns from at once
  };

  LeadController(const Tuning& tuning, double sampleRate) : tuning(tuning), sampleRate(sampleRate) {}

  // The step for a block of `blockSeconds` whose lead is `errorSamples` too
  // long; learns from the error when `learn`.
  double Step(double errorSamples, double blockSeconds, bool learn);
  // The step with no error to steer: the learned ratio alone.
  double Step() const { return 1.0 + drift; }

 private:
  Tuning tuning;
  double sampleRate;
  double drift = 0.0;  // the integral part: the clocks' learned ratio less 1
};
