// Command-line front end of the audio test helpers, for scripts (the demo,
// calibration runs): makes test signals and measures delay and pitch.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/audio/ClickAnalysis.h"
#include "common/signal/SignalAnalysis.h"
#include "common/signal/TestSignals.h"
#include "tools/audio/WavFile.h"

namespace {

constexpr const char* kUsage =
    "usage: audiotool clicks OUT.wav [SECONDS]\n"
    "       audiotool tone OUT.wav HZ [SECONDS]\n"
    "       audiotool delay STEREO.wav [MAX_MS]       (left = input, right = output)\n"
    "       audiotool delay IN.wav OUT.wav [MAX_MS]\n"
    "       audiotool windows STEREO.wav               (delay per one-second window of speech)\n"
    "       audiotool freq IN.wav [FROM_S TO_S]\n"
    "       audiotool rms IN.wav\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

double Number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0') {
    throw std::invalid_argument(std::string("not a number: ") + text);
  }
  return value;
}

bool IsWavPath(const std::string& s) { return s.size() > 4 && s.compare(s.size() - 4, 4, ".wav") == 0; }

int Delay(int argc, char** argv) {
  audio::WavData input = audio::ReadWav(argv[2]);
  audio::WavData output;
  int next = 3;
  if (argc > 3 && IsWavPath(argv[3])) {
    output = audio::ReadWav(argv[3]);
    next = 4;
  } else {
    if (input.channels != 2) {
      throw std::invalid_argument("a single file must be stereo (left = input, right = output)");
    }
    output = input;
  }
  const double maxMs = argc > next ? Number(argv[next]) : 1000.0;
  const std::vector<std::int16_t> reference = input.Channel(0);
  const std::vector<std::int16_t> delayed = output.Channel(output.channels == 2 && next == 3 ? 1 : 0);
  const auto maxLag = static_cast<long>(maxMs * input.sampleRate / 1000.0);
  // Envelopes: the lag of real audio paths wanders by a few samples.
  const audio::LagEstimate lag = audio::EstimateEnvelopeLag(reference, delayed, 0, maxLag);
  std::printf("delay_ms=%.2f correlation=%.3f", lag.LagMs(input.sampleRate), lag.correlation);
  // Click trains also get per-click lags around that estimate.
  const audio::LagSummary clicks =
      audio::MeasureClickLags(reference, delayed, 5000, maxLag, static_cast<long>(0.02 * input.sampleRate));
  if (clicks.count > 0) {
    const double msPerSample = 1000.0 / input.sampleRate;
    std::printf(" clicks=%zu click_median_ms=%.2f click_min_ms=%.2f click_max_ms=%.2f", clicks.count,
                clicks.medianSamples * msPerSample, clicks.minSamples * msPerSample, clicks.maxSamples * msPerSample);
  }
  std::printf("\n");
  return 0;
}

int Windows(char** argv) {
  const audio::WavData wav = audio::ReadWav(argv[2]);
  if (wav.channels != 2) {
    throw std::invalid_argument("the file must be stereo (left = input, right = output)");
  }
  for (const audio::WindowLag& window : audio::EstimateWindowLags(wav.Channel(0), wav.Channel(1), wav.sampleRate)) {
    std::printf("start_s=%.3f lag_ms=%.3f correlation=%.3f heard=%d\n", window.startSeconds,
                window.lag.LagMs(wav.sampleRate), window.lag.correlation, window.heard ? 1 : 0);
  }
  return 0;
}

int Freq(int argc, char** argv) {
  const audio::WavData wav = audio::ReadWav(argv[2]);
  std::vector<std::int16_t> samples = wav.Channel(0);
  if (argc > 4) {
    const auto from = static_cast<std::size_t>(Number(argv[3]) * wav.sampleRate);
    const auto to = std::min(samples.size(), static_cast<std::size_t>(Number(argv[4]) * wav.sampleRate));
    if (from >= to) {
      throw std::invalid_argument("empty time range");
    }
    samples = std::vector<std::int16_t>(samples.begin() + static_cast<long>(from), samples.begin() + static_cast<long>(to));
  }
  std::printf("frequency_hz=%.1f\n", audio::DominantFrequency(samples, wav.sampleRate));
  return 0;
}

int Levels(char** argv) {
  const audio::WavData wav = audio::ReadWav(argv[2]);
  if (wav.channels == 2) {
    std::printf("rms_left=%.1f rms_right=%.1f\n", audio::Rms(wav.Channel(0)), audio::Rms(wav.Channel(1)));
  } else {
    std::printf("rms=%.1f\n", audio::Rms(wav.Channel(0)));
  }
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 3) {
    return Usage();
  }
  const std::string command = argv[1];
  audio::WavData wav;
  if (command == "clicks") {
    audio::ClickTrainOptions options;
    if (argc > 3) {
      options.seconds = Number(argv[3]);
    }
    wav.samples = audio::MakeClickTrain(options);
    audio::WriteWav(argv[2], wav);
    return 0;
  }
  if (command == "tone" && argc > 3) {
    const double seconds = argc > 4 ? Number(argv[4]) : 4.0;
    wav.samples = audio::MakeTone(wav.sampleRate, Number(argv[3]), seconds, 16000);
    audio::WriteWav(argv[2], wav);
    return 0;
  }
  if (command == "delay") {
    return Delay(argc, argv);
  }
  if (command == "windows") {
    return Windows(argv);
  }
  if (command == "freq") {
    return Freq(argc, argv);
  }
  if (command == "rms") {
    return Levels(argv);
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "audiotool: %s\n", e.what());
    return 1;
  }
}
