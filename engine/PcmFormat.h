#pragma once

#include <cstdint>

// The one audio format of the engine: 16-bit signed PCM, one channel,
// 22050 samples per second. Capture, playback and the shifters all use it.
struct PcmFormat {
  static constexpr std::uint16_t kChannels = 1;
  static constexpr std::uint32_t kSamplesPerSecond = 22050;
  static constexpr std::uint16_t kBitsPerSample = 16;
  static constexpr std::uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;
  static constexpr std::uint32_t kBytesPerSecond = kSamplesPerSecond * kBlockAlign;
};
