// Cost of one captured block on the audio thread: the player's Write (cursor
// reads, frequency shift, placement, copy into the playback ring) on a
// started player whose devices are the scripted fakes, set up by a manager
// as in a run.
// Prints one JSON object per line and repetition.
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/win/Stopwatch.h"
#include "engine/CaptureGeometry.h"
#include "engine/PcmFormat.h"
#include "engine/Player.h"
#include "engine/RynManager.h"
#include "support/FakeDirectSound.h"

namespace {

constexpr int kWarmupBlocks = 64;
constexpr int kBlocksPerRepetition = 400;
constexpr double kPi = 3.14159265358979323846;

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

std::vector<std::uint8_t> Tone(std::uint32_t bytes) {
  std::vector<std::uint8_t> block(bytes);
  for (std::uint32_t i = 0; i + 1 < bytes; i += 2) {
    const auto sample = static_cast<std::int16_t>(12000 * std::sin(2 * kPi * 440.0 * (i / 2) / 22050.0));
    std::memcpy(&block[i], &sample, 2);
  }
  return block;
}

void Measure(int shift, int method, int delayMs, int repetitions) {
  fakeds::FakeAudioDevices devices;
  CRynManager manager;
  manager.SetDelay(delayMs);
  manager.SetFrequencyShift(shift);
  manager.SetZelMode(method);
  CPlayer player(manager);
  player.Start();

  const std::uint32_t bytesPerSecond = PcmFormat::kSamplesPerSecond * 2;
  const CaptureGeometry geometry = ComputeCaptureGeometry(delayMs, bytesPerSecond, 2);
  const std::vector<std::uint8_t> tone = Tone(geometry.segmentBytes);
  std::vector<std::uint8_t> block(tone);
  const double blockUs = 1e6 * geometry.segmentBytes / bytesPerSecond;

  Stopwatch clock;
  fakeds::FakeSoundBuffer* ring = devices.SecondaryBuffer();
  DWORD cursor = 0;
  auto oneBlock = [&]() {
    // The play cursor advances by one block per block, as on a device.
    cursor = (cursor + geometry.segmentBytes) % (4 * geometry.bufferBytes);
    ring->SetCursors(cursor % ring->Desc().dwBufferBytes, (cursor + 2 * geometry.segmentBytes) % ring->Desc().dwBufferBytes);
    std::memcpy(block.data(), tone.data(), block.size());
    const double begin = clock.NowUs();
    player.Write(block.data(), static_cast<std::uint32_t>(block.size()), 0);
    return clock.NowUs() - begin;
  };
  for (int i = 0; i < kWarmupBlocks; ++i) oneBlock();
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    std::vector<double> times;
    times.reserve(kBlocksPerRepetition);
    for (int i = 0; i < kBlocksPerRepetition; ++i) times.push_back(oneBlock());
    ring->ClearRecords();
    std::printf(
        "{\"bench\":\"block\",\"shift\":%d,\"method\":%d,\"delay_ms\":%d,\"block_bytes\":%u,\"block_us\":%.1f,"
        "\"repetition\":%d,\"blocks\":%d,\"mean_us\":%.3f,\"median_us\":%.3f,\"p99_us\":%.3f,\"max_us\":%.3f}\n",
        shift, method, delayMs, geometry.segmentBytes, blockUs, repetition, kBlocksPerRepetition, Mean(times),
        Percentile(times, 0.5), Percentile(times, 0.99), Percentile(times, 1.0));
    std::fflush(stdout);
  }
  player.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  // The engine logs to stdout from its own threads: each result line leaves
  // in one write (a buffer larger than any line, flushed after every line).
  static char lineBuffer[1 << 16];
  std::setvbuf(stdout, lineBuffer, _IOFBF, sizeof lineBuffer);
  const int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
  try {
    struct Case {
      int shift;
      int method;
    };
    for (const Case c : {Case{0, 1}, Case{5, 1}, Case{5, 2}}) {
      for (int delayMs : {40, 220}) Measure(c.shift, c.method, delayMs, repetitions);
    }
  } catch (...) {
    std::fprintf(stderr, "block benchmark failed\n");
    return 1;
  }
  return 0;
}
