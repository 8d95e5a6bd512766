#pragma once

#include <windows.h>

#include <mmreg.h>

#include "engine/PcmFormat.h"

// The engine's audio format as the platform's format record.
inline WAVEFORMATEX EngineWaveFormat() noexcept {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = PcmFormat::kChannels;
  format.nSamplesPerSec = PcmFormat::kSamplesPerSecond;
  format.nAvgBytesPerSec = PcmFormat::kBytesPerSecond;
  format.nBlockAlign = PcmFormat::kBlockAlign;
  format.wBitsPerSample = PcmFormat::kBitsPerSample;
  format.cbSize = 0;
  return format;
}
