#include "tools/audio/WavFile.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace audio {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutTag(std::vector<std::uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

}  // namespace

std::vector<std::int16_t> WavData::Channel(unsigned index) const {
  if (index >= channels) {
    throw std::out_of_range("no such channel");
  }
  std::vector<std::int16_t> out;
  out.reserve(Frames());
  for (std::size_t i = index; i < samples.size(); i += channels) {
    out.push_back(samples[i]);
  }
  return out;
}

WavData ParseWav(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    throw std::runtime_error("not a RIFF/WAVE file");
  }
  WavData wav;
  bool haveFormat = false;
  std::size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const std::uint8_t* chunk = bytes.data() + pos;
    const std::size_t available = bytes.size() - pos - 8;
    std::size_t size = ReadU32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || size > available) {
        throw std::runtime_error("truncated format chunk");
      }
      const std::uint16_t tag = ReadU16(chunk + 8);
      wav.channels = ReadU16(chunk + 10);
      wav.sampleRate = ReadU32(chunk + 12);
      const std::uint16_t bits = ReadU16(chunk + 22);
      bool pcm = tag == kFormatPcm;
      if (tag == kFormatExtensible && size >= 40) {
        pcm = ReadU16(chunk + 8 + 24) == kFormatPcm;  // first bytes of the sub-format GUID
      }
      if (!pcm || bits != 16 || wav.channels == 0) {
        throw std::runtime_error("only 16-bit PCM is supported");
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) {
        throw std::runtime_error("data chunk before format chunk");
      }
      if (size > available) {
        size = available;
      }
      const std::size_t frameBytes = 2u * wav.channels;
      size -= size % frameBytes;
      wav.samples.resize(size / 2);
      for (std::size_t i = 0; i < wav.samples.size(); ++i) {
        wav.samples[i] = static_cast<std::int16_t>(ReadU16(chunk + 8 + 2 * i));
      }
      return wav;
    }
    if (size > available) {
      break;
    }
    pos += 8 + size + (size & 1);
  }
  throw std::runtime_error(haveFormat ? "no data chunk" : "no format chunk");
}

std::vector<std::uint8_t> SerializeWav(const WavData& wav) {
  if (wav.channels == 0 || wav.samples.size() % wav.channels != 0) {
    throw std::runtime_error("samples do not fill whole frames");
  }
  const auto dataBytes = static_cast<std::uint32_t>(wav.samples.size() * 2);
  const auto blockAlign = static_cast<std::uint16_t>(2 * wav.channels);
  std::vector<std::uint8_t> out;
  out.reserve(44 + dataBytes);
  PutTag(out, "RIFF");
  PutU32(out, 36 + dataBytes);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  PutU32(out, 16);
  PutU16(out, kFormatPcm);
  PutU16(out, wav.channels);
  PutU32(out, wav.sampleRate);
  PutU32(out, wav.sampleRate * blockAlign);
  PutU16(out, blockAlign);
  PutU16(out, 16);
  PutTag(out, "data");
  PutU32(out, dataBytes);
  for (std::int16_t s : wav.samples) {
    PutU16(out, static_cast<std::uint16_t>(s));
  }
  return out;
}

WavData ReadWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    return ParseWav(bytes);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

void WriteWav(const std::string& path, const WavData& wav) {
  const std::vector<std::uint8_t> bytes = SerializeWav(wav);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace audio
