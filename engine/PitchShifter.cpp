#include "engine/PitchShifter.h"

#include "engine/ComplexFft.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// Arithmetic: values are loaded from single-precision arrays, combined in
// double precision and rounded to single precision where stored. Every step
// keeps that order of operations exactly, so the output does not depend on
// how the code is arranged (window table, twiddle table, loop order).

namespace {

constexpr double kPi = 3.14159265358979323846;

// x / divisor. When the divisor is a power of two, x times its reciprocal is
// the same number (both are x scaled by a power of two, rounded once) and
// far cheaper.
class Divisor {
 public:
  explicit Divisor(double divisor) : divisor(divisor), reciprocal(1.0 / divisor) {
    int exponent = 0;
    exact = std::frexp(divisor, &exponent) == 0.5;
  }

  double Divide(double x) const { return exact ? x * reciprocal : x / divisor; }

 private:
  double divisor;
  double reciprocal;
  bool exact;
};

// Brings a phase into -pi..pi by removing an even multiple of pi, the
// multiple rounded away from zero.
double WrapPhase(double phase) {
  std::int32_t turns = static_cast<std::int32_t>(phase / kPi);
  if (turns >= 0) {
    turns += turns & 1;
  } else {
    turns -= turns & 1;
  }
  return phase - kPi * turns;
}

}  // namespace

struct PitchShifter::FrameParameters {
  float factor;
  std::int32_t length;
  std::int32_t half;
  std::int32_t hop;
  std::int32_t oversampling;
  double binWidth;
  double expectedAdvance;
};

PitchShifter& PitchShifter::Shared() noexcept {
  static PitchShifter shared;
  return shared;
}

const double* PitchShifter::HannWindow(std::int32_t length) {
  if (tables.windowLength != length) {
    for (std::int32_t k = 0; k < length; ++k) {
      tables.window[k] = -0.5 * std::cos(2.0 * kPi * k / length) + 0.5;
    }
    tables.windowLength = length;
  }
  return tables.window;
}

// For each output bin k, the source bin trunc(k / factor) it fetches, and for
// each bin whether any output bin fetches it.
void PitchShifter::MapBins(float factor, std::int32_t half) {
  if (tables.mappedFactor != factor || tables.mappedHalf != half) {
    std::fill(tables.isSource, tables.isSource + half + 1, false);
    for (std::int32_t k = 0; k <= half; ++k) {
      const auto source = static_cast<std::int32_t>(k / static_cast<double>(factor));
      tables.sourceBin[k] = source;
      if (source <= half) {
        tables.isSource[source] = true;
      }
    }
    tables.mappedFactor = factor;
    tables.mappedHalf = half;
  }
}

// Each fetched bin's magnitude and true frequency, from its phase advance
// since the previous frame. Bins that no output bin fetches (above 682 at
// factor 1.5, every fourth at 0.75) are not analysed. The arc tangents come
// first, in a loop of their own, so the long arithmetic that follows each of
// them overlaps across bins.
void PitchShifter::Analyse(const FrameParameters& frame) {
  const float* workspace = state.workspace;
  const bool* isSource = tables.isSource;
  double* phase = framePhase;
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    if (!isSource[k]) {
      continue;
    }
    if (state.phasePending[k]) {
      state.previousPhase[k] = static_cast<float>(std::atan2(
          static_cast<double>(state.pendingIm[k]), static_cast<double>(state.pendingRe[k])));
      state.phasePending[k] = false;
    }
    phase[k] = std::atan2(static_cast<double>(workspace[2 * k + 1]),
                          static_cast<double>(workspace[2 * k]));
  }
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    if (!isSource[k]) {
      state.pendingRe[k] = workspace[2 * k];
      state.pendingIm[k] = workspace[2 * k + 1];
      state.phasePending[k] = true;
      continue;
    }
    const double re = workspace[2 * k];
    const double im = workspace[2 * k + 1];
    const double magnitude = 2.0 * std::sqrt(re * re + im * im);
    double deviation = phase[k] - state.previousPhase[k];
    state.previousPhase[k] = static_cast<float>(phase[k]);
    deviation -= k * frame.expectedAdvance;
    deviation = WrapPhase(deviation);
    deviation = frame.oversampling * deviation / (2.0 * kPi);
    state.analysisMagnitude[k] = static_cast<float>(magnitude);
    state.analysisFrequency[k] =
        static_cast<float>(k * frame.binWidth + deviation * frame.binWidth);
  }
}

// Each output bin fetches its source bin; a bin whose source is silent
// repeats the bin below it.
void PitchShifter::MoveSpectrum(const FrameParameters& frame) {
  const std::int32_t* sourceBin = tables.sourceBin;
  float* magnitude = state.synthesisMagnitude;
  float* frequency = state.synthesisFrequency;
  std::memset(magnitude, 0, sizeof(float) * frame.length);
  std::memset(frequency, 0, sizeof(float) * frame.length);
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    const std::int32_t source = sourceBin[k];
    if (source <= frame.half) {
      if (state.analysisMagnitude[source] > magnitude[k]) {
        magnitude[k] = state.analysisMagnitude[source];
        frequency[k] = static_cast<float>(static_cast<double>(frame.factor) *
                                          state.analysisFrequency[source]);
      }
      if (frequency[k] == 0.0f && k > 0) {
        frequency[k] = frequency[k - 1];
        magnitude[k] = magnitude[k - 1];
      }
    }
  }
}

// Fresh phases for the moved spectrum. The phase sums stay within one turn:
// left to grow, they would lose a float's precision within minutes and turn
// the phases into noise.
void PitchShifter::Synthesise(const FrameParameters& frame) {
  const Divisor oversampling(frame.oversampling);
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    double advance = (state.synthesisFrequency[k] - k * frame.binWidth) / frame.binWidth;
    advance = oversampling.Divide(2.0 * kPi * advance);
    advance += k * frame.expectedAdvance;
    state.phaseSum[k] = static_cast<float>(WrapPhase(state.phaseSum[k] + advance));
  }
  float* workspace = state.workspace;
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    const double magnitude = state.synthesisMagnitude[k];
    if (magnitude == 0.0) {
      // Empty bins need no cosine: their products are zeros, whose signs no
      // later sum can carry into the output.
      workspace[2 * k] = 0.0f;
      workspace[2 * k + 1] = 0.0f;
      continue;
    }
    const double phase = state.phaseSum[k];
    workspace[2 * k] = static_cast<float>(magnitude * std::cos(phase));
    workspace[2 * k + 1] = static_cast<float>(magnitude * std::sin(phase));
  }
  std::fill(workspace + frame.length + 2, workspace + 2 * frame.length, 0.0f);
}

void PitchShifter::ProcessFrame(float factor, std::int32_t frameLength,
                                std::int32_t oversampling, float sampleRate) {
  FrameParameters frame{};
  frame.factor = factor;
  frame.length = frameLength;
  frame.half = frameLength / 2;
  frame.hop = frameLength / oversampling;
  frame.oversampling = oversampling;
  frame.binWidth = static_cast<double>(sampleRate) / frameLength;
  frame.expectedAdvance = 2.0 * kPi * frame.hop / frameLength;
  const double* hann = HannWindow(frameLength);
  float* workspace = state.workspace;

  // The windowed frame goes straight to its bit-reversed places, the
  // arrangement the transform's permutation would make.
  const std::uint16_t* reversed = BitReversedIndices(frameLength);
  for (std::int32_t k = 0; k < frameLength; ++k) {
    workspace[2 * reversed[k]] = static_cast<float>(state.inputQueue[k] * hann[k]);
    workspace[2 * reversed[k] + 1] = 0.0f;
  }
  ComplexFftOfReordered(workspace, frameLength, -1);
  MapBins(factor, frame.half);
  Analyse(frame);
  MoveSpectrum(frame);
  Synthesise(frame);
  ComplexFft(workspace, frameLength, 1);

  // Overlap-add, windowed once more and scaled by 2 / (half * oversampling).
  const Divisor scale(frame.half * oversampling);
  float* accumulator = state.outputAccumulator;
  for (std::int32_t k = 0; k < frameLength; ++k) {
    accumulator[k] =
        static_cast<float>(accumulator[k] + scale.Divide(2.0 * hann[k] * workspace[2 * k]));
  }
  std::memcpy(state.outputQueue, accumulator, sizeof(float) * frame.hop);
  std::memmove(accumulator, accumulator + frame.hop, sizeof(float) * frameLength);
  std::memmove(state.inputQueue, state.inputQueue + frame.hop,
               sizeof(float) * (frameLength - frame.hop));
}

void PitchShifter::PitchShift(float factor, std::int32_t count, std::int32_t frameLength,
                              std::int32_t oversampling, float sampleRate, const float* input,
                              float* output) noexcept {
  const std::int32_t hop = frameLength / oversampling;
  const std::int32_t fillPoint = frameLength - hop;
  if (state.writePosition == 0) {
    state.writePosition = fillPoint;
  }
  if (!state.initialised) {
    std::memset(state.inputQueue, 0, sizeof state.inputQueue);
    std::memset(state.outputQueue, 0, sizeof state.outputQueue);
    std::memset(state.workspace, 0, sizeof state.workspace);
    std::memset(state.previousPhase, 0, sizeof state.previousPhase);
    std::memset(state.phasePending, 0, sizeof state.phasePending);
    std::memset(state.phaseSum, 0, sizeof state.phaseSum);
    std::memset(state.outputAccumulator, 0, sizeof state.outputAccumulator);
    std::memset(state.analysisMagnitude, 0, sizeof state.analysisMagnitude);
    std::memset(state.analysisFrequency, 0, sizeof state.analysisFrequency);
    state.initialised = true;
  }

  // Samples move in runs up to the next frame boundary. Each run's input is
  // read in full before its output is written, which keeps input == output
  // safe.
  std::int32_t done = 0;
  while (done < count) {
    const std::int32_t run = std::min(count - done, frameLength - state.writePosition);
    std::memcpy(state.inputQueue + state.writePosition, input + done, sizeof(float) * run);
    std::memcpy(output + done, state.outputQueue + (state.writePosition - fillPoint),
                sizeof(float) * run);
    state.writePosition += run;
    done += run;
    if (state.writePosition == frameLength) {
      state.writePosition = fillPoint;
      ProcessFrame(factor, frameLength, oversampling, sampleRate);
    }
  }
}
