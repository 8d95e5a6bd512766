#include "engine/ShiftStage.h"

#include "engine/SampleConversion.h"

#include <algorithm>

namespace {

constexpr std::int32_t kFrameLength = 2048;
constexpr std::int32_t kOversampling = 4;
constexpr float kSampleRate = 22050.0f;

// Method 2 splits blocks above this many samples into two halves, each read
// on its own, so the held last sample of a half stays short.
constexpr std::uint32_t kLargestWholeBlock = 1024;
// Method 2 lowering the pitch: the fade-in covers this many samples, the
// fade-out one fewer.
constexpr std::uint32_t kFadeLength = 50;
constexpr float kFadeStep = 0.02f;

}  // namespace

float PitchFactorFor(std::int32_t frequencyShift) {
  // Float constants, sum formed in double: for every shift in -10..10 this
  // gives the float nearest to the decimal factor.
  if (frequencyShift > 0) {
    return static_cast<float>(frequencyShift * static_cast<double>(0.05f) + 1.0);
  }
  return static_cast<float>(1.0 - frequencyShift * static_cast<double>(-0.025f));
}

ShiftStage::ShiftStage(std::int32_t frequencyShift, PitchShifter& vocoder)
    : pitchFactor(PitchFactorFor(frequencyShift)), vocoder(vocoder) {}

void ShiftStage::ShiftBlock(void* block, std::uint32_t bytes, std::int32_t frequencyShift,
                            ShiftMethod method) noexcept {
  if (frequencyShift == 0) {
    return;
  }
  auto* samples = static_cast<std::int16_t*>(block);
  const std::uint32_t count = bytes / 2;
  // The engine's blocks come in one part; the vocoder's stream is the same
  // whichever way it is cut.
  for (std::uint32_t at = 0; at < count; at += kMaxBlockSamples) {
    const std::uint32_t part = std::min(count - at, kMaxBlockSamples);
    switch (method) {
      case ShiftMethod::PhaseVocoder:
        ShiftByPhaseVocoder(samples + at, part);
        break;
      case ShiftMethod::Resampling:
        ShiftByResampling(samples + at, part);
        break;
    }
  }
}

float* ShiftStage::LoadScratch(const std::int16_t* samples, std::uint32_t count) noexcept {
  float* values = scratch.data();
  for (std::uint32_t i = 0; i < count; ++i) {
    values[i] = SampleToFloat(samples[i]);
  }
  return values;
}

void ShiftStage::ShiftByPhaseVocoder(std::int16_t* samples, std::uint32_t count) noexcept {
  float* values = LoadScratch(samples, count);
  vocoder.PitchShift(pitchFactor, static_cast<std::int32_t>(count), kFrameLength, kOversampling,
                     kSampleRate, values, values);
  for (std::uint32_t i = 0; i < count; ++i) {
    samples[i] = SampleFromFloat(values[i]);
  }
}

void ShiftStage::ShiftByResampling(std::int16_t* samples, std::uint32_t count) noexcept {
  const float* values = LoadScratch(samples, count);
  const float factor = pitchFactor;
  float position = 0.0f;

  if (factor > 1.0) {
    // Read faster; once reading would pass a part's end, hold its last sample.
    const std::uint32_t parts = count <= kLargestWholeBlock ? 1 : 2;
    const std::uint32_t partLength = count / parts;
    for (std::uint32_t part = 0; part < parts; ++part) {
      const std::uint32_t end = (part + 1) * partLength;
      for (std::uint32_t i = part * partLength; i < end; ++i) {
        if (static_cast<std::uint32_t>(static_cast<double>(position) + factor) > end) {
          samples[i] = SampleFromFloat(values[end - 1]);
        } else {
          samples[i] = SampleFromFloat(values[static_cast<std::uint32_t>(position)]);
          position = position + factor;
        }
      }
    }
    return;
  }

  // Read slower, dropping the block's tail; ramp both edges so the cut
  // between blocks does not click. The step lies just below 0.02, so the
  // ramps stay inside 0..1: the fade-in ends at 0.9999996, the fade-out at
  // 0.02 on the block's last sample. Where the ramps meet (blocks under 99
  // samples) the fade-out wins.
  float fadeIn = 0.0f;
  float fadeOut = 1.0f;
  for (std::uint32_t i = 0; i < count; ++i) {
    const float value = values[static_cast<std::uint32_t>(position)];
    samples[i] = SampleFromFloat(value);
    if (i < kFadeLength) {
      fadeIn = fadeIn + kFadeStep;
      samples[i] = SampleFromScaled(static_cast<double>(fadeIn) * value * 32767.0);
    }
    if (count - i < kFadeLength) {
      fadeOut = fadeOut - kFadeStep;
      samples[i] = SampleFromScaled(static_cast<double>(value) * 32767.0 * fadeOut);
    }
    position = position + factor;
  }
}
