#pragma once

#include <cstdint>
#include <vector>

// The pitch shifter written step by step in its plainest form: per-sample
// loop, window and twiddle factors computed where they are used, bit reversal
// by testing every bit. The engine's version must produce the same bits.
class PlainPitchShifter {
 public:
  PlainPitchShifter();

  void Process(float factor, std::int32_t count, std::int32_t frameLength,
               std::int32_t oversampling, float sampleRate, const float* input, float* output);

  static void ComplexFft(float* buffer, std::int32_t n, std::int32_t sign);

 private:
  void ProcessFrame(float factor, std::int32_t frameLength, std::int32_t oversampling,
                    float sampleRate);

  std::vector<float> inputQueue;
  std::vector<float> outputQueue;
  std::vector<float> workspace;
  std::vector<float> previousPhase;
  std::vector<float> phaseSum;
  std::vector<float> outputAccumulator;
  std::vector<float> analysisMagnitude;
  std::vector<float> analysisFrequency;
  std::vector<float> synthesisMagnitude;
  std::vector<float> synthesisFrequency;
  std::int32_t writePosition = 0;
};
