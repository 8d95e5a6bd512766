#pragma once

#include <cstdint>

// Phase-vocoder pitch shifter: multiplies every frequency of a continuous
// stream by `factor` while keeping its duration. Frames of frameLength samples
// (a power of two, at most 4096) advance by frameLength / oversampling; the
// output lags the input by one frame length.
//
// An object is one stream, held in fixed arrays that are zero when it is
// made (half a megabyte: not for the stack). Consecutive calls form one
// stream wherever their boundaries fall.
class PitchShifter {
 public:
  // The stream every shift stage of the process feeds: zero when the module
  // loads and never reset, so the audio of one engine run still sounds at
  // the start of the next.
  static PitchShifter& Shared() noexcept;

  // Only one thread may call at a time; frameLength, oversampling and
  // sampleRate must stay the same on every call. input and output may be the
  // same array (not otherwise overlapping). Allocates nothing, cannot fail.
  void PitchShift(float factor, std::int32_t count, std::int32_t frameLength,
                  std::int32_t oversampling, float sampleRate, const float* input,
                  float* output) noexcept;

 private:
  static constexpr std::int32_t kMaxFrame = 8192;
  static constexpr std::int32_t kMaxBins = 4096;

  struct StreamState {
    float inputQueue[kMaxFrame];
    float outputQueue[kMaxFrame];
    float workspace[2 * kMaxFrame];
    float previousPhase[kMaxBins];
    // A bin that no output bin fetched keeps last frame's transform value in
    // place of its phase, to be turned into a phase only when it is fetched.
    bool phasePending[kMaxBins];
    float pendingRe[kMaxBins];
    float pendingIm[kMaxBins];
    float phaseSum[kMaxBins];
    float outputAccumulator[2 * kMaxFrame];
    float analysisMagnitude[kMaxFrame];
    float analysisFrequency[kMaxFrame];
    float synthesisMagnitude[kMaxFrame];
    float synthesisFrequency[kMaxFrame];
    std::int32_t writePosition;
    bool initialised;
  };

  // Tables derived from the call's parameters, so a frame spends no cosines
  // on its window and no divisions on its bin mapping. Recomputed when the
  // parameters change; the values are those the frame would compute itself.
  struct DerivedTables {
    std::int32_t windowLength;
    double window[kMaxFrame];
    float mappedFactor;
    std::int32_t mappedHalf;
    std::int32_t sourceBin[kMaxBins + 1];
    bool isSource[kMaxBins + 1];
  };

  struct FrameParameters;

  void ProcessFrame(float factor, std::int32_t frameLength, std::int32_t oversampling,
                    float sampleRate);
  const double* HannWindow(std::int32_t length);
  void MapBins(float factor, std::int32_t half);
  void Analyse(const FrameParameters& frame);
  void MoveSpectrum(const FrameParameters& frame);
  void Synthesise(const FrameParameters& frame);

  StreamState state{};
  DerivedTables tables{};
  // Per-frame phases, kept with the stream rather than on the stack.
  double framePhase[kMaxBins + 1]{};
};
