#include "tools/audio/WavFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutU16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

// A WAVE file built chunk by chunk; the RIFF size is not checked by readers.
struct WaveBuilder {
  Bytes bytes;
  WaveBuilder() {
    PutTag(bytes, "RIFF");
    PutU32(bytes, 0);
    PutTag(bytes, "WAVE");
  }
  WaveBuilder& Format(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits, bool extensiblePcm = true) {
    PutTag(bytes, "fmt ");
    PutU32(bytes, tag == 0xFFFE ? 40 : 16);
    PutU16(bytes, tag);
    PutU16(bytes, channels);
    PutU32(bytes, 22050);
    PutU32(bytes, 22050u * channels * bits / 8);
    PutU16(bytes, static_cast<std::uint16_t>(channels * bits / 8));
    PutU16(bytes, bits);
    if (tag == 0xFFFE) {
      PutU16(bytes, 22);
      PutU16(bytes, bits);
      PutU32(bytes, 0);
      PutU16(bytes, extensiblePcm ? 1 : 3);
      const std::uint8_t rest[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
      bytes.insert(bytes.end(), rest, rest + 14);
    }
    return *this;
  }
  WaveBuilder& Chunk(const char* tag, const Bytes& body) {
    PutTag(bytes, tag);
    PutU32(bytes, static_cast<std::uint32_t>(body.size()));
    bytes.insert(bytes.end(), body.begin(), body.end());
    if (body.size() % 2) bytes.push_back(0);
    return *this;
  }
  WaveBuilder& Data(const std::vector<std::int16_t>& samples, std::uint32_t declaredSize) {
    PutTag(bytes, "data");
    PutU32(bytes, declaredSize);
    for (std::int16_t s : samples) PutU16(bytes, static_cast<std::uint16_t>(s));
    return *this;
  }
};

TEST(WavFile, RoundTripKeepsRateChannelsAndSamples) {
  audio::WavData stereo;
  stereo.sampleRate = 44100;
  stereo.channels = 2;
  stereo.samples = {1, -1, 32767, -32768, 0, 12345};
  const audio::WavData back = audio::ParseWav(audio::SerializeWav(stereo));
  EXPECT_EQ(back.sampleRate, 44100u);
  EXPECT_EQ(back.channels, 2u);
  EXPECT_EQ(back.samples, stereo.samples);
  EXPECT_EQ(back.Frames(), 3u);
}

TEST(WavFile, WritesTheCanonicalHeader) {
  audio::WavData mono;
  mono.samples = {0x1234, -2};
  const Bytes bytes = audio::SerializeWav(mono);
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
  EXPECT_EQ(bytes[4], 40);  // 36 + 4 data bytes
  EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(bytes[20], 1);                                   // PCM
  EXPECT_EQ(bytes[22], 1);                                   // one channel
  EXPECT_EQ(bytes[24] | (bytes[25] << 8), 22050);            // sample rate
  EXPECT_EQ(bytes[28] | (bytes[29] << 8), 44100);            // bytes per second
  EXPECT_EQ(bytes[32], 2);                                   // block alignment
  EXPECT_EQ(bytes[34], 16);                                  // bits
  EXPECT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0);
  EXPECT_EQ(bytes[40], 4);
  EXPECT_EQ(bytes[44], 0x34);
  EXPECT_EQ(bytes[45], 0x12);
  EXPECT_EQ(bytes[46], 0xFE);
  EXPECT_EQ(bytes[47], 0xFF);
}

TEST(WavFile, SkipsOtherChunksIncludingOddSizedOnes) {
  WaveBuilder file;
  file.Chunk("LIST", Bytes{1, 2, 3}).Format(1, 1, 16).Chunk("fact", Bytes{9}).Data({5, -5}, 4);
  const audio::WavData wav = audio::ParseWav(file.bytes);
  EXPECT_EQ(wav.samples, (std::vector<std::int16_t>{5, -5}));
}

TEST(WavFile, ReadsTheExtensibleFormatWithPcmSamples) {
  WaveBuilder file;
  file.Format(0xFFFE, 2, 16).Data({1, 2, 3, 4}, 8);
  const audio::WavData wav = audio::ParseWav(file.bytes);
  EXPECT_EQ(wav.channels, 2u);
  EXPECT_EQ(wav.Channel(1), (std::vector<std::int16_t>{2, 4}));
}

TEST(WavFile, InterruptedRecordingReadsToTheEndInWholeFrames) {
  // A recorder killed mid-stream leaves a placeholder size and half a frame.
  WaveBuilder file;
  file.Format(1, 2, 16).Data({1, 2, 3, 4, 5}, 0xFFFFFFFFu);
  const audio::WavData wav = audio::ParseWav(file.bytes);
  EXPECT_EQ(wav.samples, (std::vector<std::int16_t>{1, 2, 3, 4}));
}

TEST(WavFile, RejectsWhatItCannotRead) {
  EXPECT_THROW(audio::ParseWav(Bytes{'R', 'I', 'F', 'F'}), std::runtime_error);
  WaveBuilder eightBit;
  eightBit.Format(1, 1, 8).Data({}, 0);
  EXPECT_THROW(audio::ParseWav(eightBit.bytes), std::runtime_error);
  WaveBuilder floats;
  floats.Format(3, 1, 16).Data({1}, 2);
  EXPECT_THROW(audio::ParseWav(floats.bytes), std::runtime_error);
  WaveBuilder extensibleFloat;
  extensibleFloat.Format(0xFFFE, 1, 16, false).Data({1}, 2);
  EXPECT_THROW(audio::ParseWav(extensibleFloat.bytes), std::runtime_error);
  WaveBuilder noData;
  noData.Format(1, 1, 16);
  EXPECT_THROW(audio::ParseWav(noData.bytes), std::runtime_error);
  WaveBuilder dataFirst;
  dataFirst.Data({1}, 2).Format(1, 1, 16);
  EXPECT_THROW(audio::ParseWav(dataFirst.bytes), std::runtime_error);
}

TEST(WavFile, ChannelOutOfRangeThrows) {
  audio::WavData mono;
  mono.samples = {1, 2};
  EXPECT_EQ(mono.Channel(0), mono.samples);
  EXPECT_THROW(mono.Channel(1), std::out_of_range);
}

TEST(WavFile, SerializeRejectsPartialFrames) {
  audio::WavData stereo;
  stereo.channels = 2;
  stereo.samples = {1, 2, 3};
  EXPECT_THROW(audio::SerializeWav(stereo), std::runtime_error);
}

TEST(WavFile, FileRoundTripAndMissingFile) {
  audio::WavData wav;
  wav.samples = {7, 8, 9};
  const std::string path = testing::TempDir() + "wavfile_roundtrip.wav";
  audio::WriteWav(path, wav);
  EXPECT_EQ(audio::ReadWav(path).samples, wav.samples);
  std::remove(path.c_str());
  try {
    audio::ReadWav(path);
    FAIL() << "no exception for a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

}  // namespace
