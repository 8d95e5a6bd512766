// Records the stream scheduler's inputs of one real engine session under
// Wine into a trace for tests/engine/traces (format: SchedulerTrace.h).
// Run by hand, once; `make test` only replays the committed traces:
//
//   scripts/pulse-fixture.sh start build/win64/pulse
//   eval "$(scripts/pulse-fixture.sh env build/win64/pulse)"
//   export WINEPREFIX=build/win64/wineprefix WINEDEBUG=-all
//   /usr/lib/wine/wine64 build/win64/tests/record_scheduler_trace.exe MODE OUT.txt [SECONDS]
//   scripts/pulse-fixture.sh stop build/win64/pulse
//
// MODE is one of
//   stall    20 s from the process's first open of the devices, while another
//            thread writes the registry: Wine's server writes it out within
//            seconds and stalls every thread for 40-50 ms
//   start    12 s from a start, after a first 20 s run has taken the
//            process's stall
//   starved  20 s after such a first run, the listener sleeping 45 ms
//            before its cursor read every 2 s
//   committed  20 s after such a first run, the playback devices wrapped
//            in Windows' committed span (support/CommittedSpanPlayback.h):
//            the write cursor at least 40 ms ahead of the play cursor
//   heard    30 s at DELAY 100 after such a first run, a click a second in
//            the microphone; the fixture's mix (microphone, speaker) goes
//            to OUT.txt.wav and the steady clock's reading as the mix began
//            into the trace's description, so that each click's heard delay
//            can be set against where the engine placed it
// SECONDS, when given, sets the recorded session's length. The engine runs
// at DELAY 40 (10 ms blocks) with the voice sample in the microphone. The devices are wrapped through the device seam
// (support/SchedulerInputRecorder.h); the resampler's pending samples come
// from replaying the recorded inputs, which is checked against where the
// engine wrote each block.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/RynManager.h"
#include "engine/SchedulerTrace.h"
#include "support/CommittedSpanPlayback.h"
#include "support/SchedulerInputRecorder.h"
#include "support/VirtualAudioRig.h"
#include "common/signal/TestSignals.h"
#include "tools/audio/WavFile.h"

namespace {

constexpr std::int32_t kDelayMs = 40;
constexpr std::int32_t kHeardDelayMs = 100;
// The committed span of the "committed" mode: Windows' shared mixer
// commonly commits some 30 ms, the decorator's tests take 40.
constexpr double kCommittedGapMs = 40.0;

std::vector<std::int16_t> Voice(double seconds) {
  const audio::WavData voice = audio::ReadWav(RYN_VOICE_SAMPLE);
  std::vector<std::int16_t> signal;
  while (signal.size() < seconds * voice.sampleRate) {
    signal.insert(signal.end(), voice.samples.begin(), voice.samples.end());
  }
  return signal;
}

// Writes a registry value every half second until told to stop.
class RegistryWriter {
 public:
  RegistryWriter()
      : thread([this] {
          HKEY key = nullptr;
          if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != 0) {
            return;
          }
          for (DWORD tick = 0; !stop.load(); ++tick, Sleep(500)) {
            RegSetValueExA(key, "tick", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tick), sizeof tick);
          }
          RegCloseKey(key);
          RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        }) {}
  ~RegistryWriter() {
    stop = true;
    thread.join();
  }

 private:
  static constexpr const char* kKey = "Software\\RynSchedulerTrace";
  std::atomic<bool> stop{false};
  std::thread thread;
};

double SteadyNow() {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<std::int16_t> ClickEverySecond(double seconds) {
  audio::ClickTrainOptions options;
  options.sampleRate = CVirtualAudioRig::kSampleRate;
  options.seconds = seconds;
  options.firstClickSeconds = 0.5;
  options.minIntervalSeconds = 1.0;
  options.maxIntervalSeconds = 1.0;
  return audio::MakeClickTrain(options);
}

// The mix of the session, and the steady clock as its recording began.
struct Heard {
  audio::WavData mix;
  double beganSeconds = 0.0;
};

Heard Run(double seconds, bool clicks = false) {
  CRynManager& manager = CRynManager::GetInstance();
  CVirtualAudioRig rig;
  Heard heard;
  heard.beganSeconds = SteadyNow();
  rig.Begin(clicks ? ClickEverySecond(seconds + 1.0) : Voice(seconds + 1.0), seconds + 0.5);
  manager.Start();
  Sleep(static_cast<DWORD>(seconds * 1000.0));
  manager.Stop();
  heard.mix = rig.End();
  return heard;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: record_scheduler_trace stall|start|starved|committed|heard OUT.txt [SECONDS]\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode != "stall" && mode != "start" && mode != "starved" && mode != "committed" && mode != "heard") return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CRynManager::GetInstance().SetDelay(kDelayMs);
  if (mode != "stall") Run(20.0);

  const double seconds = argc == 4 ? std::atof(argv[3]) : mode == "start" ? 12.0 : mode == "heard" ? 30.0 : 20.0;
  if (!(seconds > 0.0 && seconds <= 600.0)) return 2;
  SchedulerInputRecorder::Starving starving;
  if (mode == "starved") starving = {2.0, 0.045};
  std::vector<SchedulerInputRecorder::Observed> observed;
  Heard heard;
  {
    std::optional<CommittedSpanPlayback> committed;
    if (mode == "committed") committed.emplace(kCommittedGapMs);
    SchedulerInputRecorder recorder(static_cast<std::size_t>(seconds * 200), starving,
                                    committed ? CommittedSpanPlayback::Devices() : DefaultDeviceFactory());
    if (mode == "stall") {
      RegistryWriter writer;
      Run(seconds);
    } else if (mode == "heard") {
      CRynManager::GetInstance().SetDelay(kHeardDelayMs);
      heard = Run(seconds, true);
    } else {
      Run(seconds);
    }
    observed = recorder.Take();
  }

  SchedulerTrace trace;
  trace.ringBytes = 2 * 2 * CVirtualAudioRig::kSampleRate;
  trace.sampleRate = CVirtualAudioRig::kSampleRate;
  for (const auto& o : observed) trace.blocks.push_back(o.block);
  const std::vector<ReplayedBlock> replayed = ReplaySchedulerTrace(trace);
  std::size_t followed = 0;
  double farthest = 0.0;  // samples between the replay's place and the engine's
  double longestGap = 0.0;
  std::size_t quiet = 0;
  for (std::size_t k = 0; k < replayed.size(); ++k) {
    trace.blocks[k].pendingSamples = replayed[k].input.pendingSamples;
    if (replayed[k].placement.writePosition == observed[k].placedAt && replayed[k].produced == observed[k].produced) {
      ++followed;
    }
    const double apart = ((replayed[k].placement.writePosition + trace.ringBytes - observed[k].placedAt) %
                          trace.ringBytes) / 2.0;
    farthest = std::max(farthest, std::min(apart, trace.ringBytes / 2.0 - apart));
    if (k > 0) longestGap = std::max(longestGap, trace.blocks[k].seconds - trace.blocks[k - 1].seconds);
    quiet += trace.blocks[k].quiet ? 1 : 0;
  }
  char summary[300];
  std::snprintf(summary, sizeof summary,
                " %zu blocks of %s; the replay placed %zu of them where the engine did, the others at most %.0f samples\n"
                " apart; longest gap between blocks "
                "%.1f ms; %zu quiet",
                trace.blocks.size(), mode.c_str(), followed, farthest, 1000.0 * longestGap, quiet);
  std::printf("%s\n", summary);
  trace.description = " The stream scheduler's inputs in one real engine session: ryn under Wine 8 (win64) on the\n"
                      " PulseAudio fixture (scripts/pulse-fixture.sh), DELAY 40, the voice sample in the microphone.\n"
                      " Recorded by tests/engine/RecordSchedulerTrace.cpp (see its header), mode \"" + mode + "\":\n" +
                      (mode == "stall"     ? " the process's first session, another thread writing the registry.\n"
                       : mode == "start"   ? " a start after a first 20 s run, from its first block.\n"
                       : mode == "starved" ? " the listener sleeping 45 ms before its cursor read every 2 s.\n"
                       : mode == "heard"   ? " DELAY 100, clicks; the first block came " +
                                               std::to_string(observed.empty() ? 0.0 : observed.front().block.seconds -
                                                                                           heard.beganSeconds) +
                                               " s after the mix began.\n"
                                           : " the write cursor held at least 40 ms ahead of the play cursor.\n") +
                      summary + "\n";
  if (mode == "heard") {
    audio::WriteWav(std::string(argv[2]) + ".wav", heard.mix);
    std::ofstream places(std::string(argv[2]) + ".places", std::ios::binary);
    for (const auto& o : observed) places << o.placedAt << ' ' << o.produced << '\n';
  }
  std::ofstream out(argv[2], std::ios::binary);
  WriteSchedulerTrace(out, trace);
  CRynManager::GetInstance().Stop();
  return out ? 0 : 1;
}
