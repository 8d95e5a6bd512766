#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace audio {

// 16-bit PCM sound, interleaved when it has more than one channel.
struct WavData {
  std::uint32_t sampleRate = 22050;
  std::uint16_t channels = 1;
  std::vector<std::int16_t> samples;

  std::size_t Frames() const { return channels ? samples.size() / channels : 0; }
  // One channel's samples (0 = left).
  std::vector<std::int16_t> Channel(unsigned index) const;
};

// Reads a RIFF/WAVE file with 16-bit PCM (plain or extensible format).
// Recorders that were stopped abruptly leave a data size larger than the
// file; the data then runs to the end of the file. Throws std::runtime_error.
WavData ReadWav(const std::string& path);
WavData ParseWav(const std::vector<std::uint8_t>& bytes);

// Writes a canonical 44-byte-header PCM file. Throws std::runtime_error.
void WriteWav(const std::string& path, const WavData& wav);
std::vector<std::uint8_t> SerializeWav(const WavData& wav);

}  // namespace audio
