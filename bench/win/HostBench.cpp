// Host-side timings of the registered component, created through COM as a
// host creates it:
//   ryn_host_bench host REPS            parameter calls through the vtable and IDispatch::Invoke
//   ryn_host_bench runstop REPS         (PulseAudio fixture running) Run/Stop durations
//   ryn_host_bench changes N            parameter changes while running, N per parameter
//   ryn_host_bench delays OUTDIR REPS   a click recording per delay; writes OUTDIR/*.wav
//   ryn_host_bench session MINUTES      a click a second through a session per delay; the
//                                       heard delay settled after 1, 5 and 10 minutes
// Prints one JSON object per line.
#include <windows.h>

#include <ole2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bench/win/Stopwatch.h"
#include "common/ComPtr.h"
#include "common/HResultError.h"
#include "ryn_h.h"
#include "support/VirtualAudioRig.h"
#include "tools/audio/ClickAnalysis.h"
#include "common/signal/TestSignals.h"
#include "tools/audio/WavFile.h"

namespace {

constexpr int kCallsPerRepetition = 20000;

struct Bstr {
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR value;
};

ComPtr<IVelComponent> CreateComponent() {
  ComPtr<IVelComponent> component;
  ThrowIfFailed(CoCreateInstance(CLSID_VelRyn, nullptr, CLSCTX_INPROC_SERVER, IID_IVelComponent,
                         reinterpret_cast<void**>(component.put())),
        "CoCreateInstance");
  return component;
}

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

DISPID IdOf(IVelComponent* component, const wchar_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  ThrowIfFailed(component->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), "GetIDsOfNames");
  return id;
}

template <typename Call>
void TimeCalls(const char* name, int repetitions, Call call) {
  Stopwatch clock;
  for (int i = 0; i < 1000; ++i) call();
  for (int repetition = 0; repetition < repetitions; ++repetition) {
    const double begin = clock.NowUs();
    for (int i = 0; i < kCallsPerRepetition; ++i) call();
    const double perCall = (clock.NowUs() - begin) / kCallsPerRepetition;
    std::printf("{\"bench\":\"host\",\"call\":\"%s\",\"repetition\":%d,\"calls\":%d,\"mean_us\":%.4f}\n", name,
                repetition, kCallsPerRepetition, perCall);
    std::fflush(stdout);
  }
}

void HostCalls(int repetitions) {
  ComPtr<IVelComponent> component = CreateComponent();
  Bstr volume(L"VOLUME");
  Bstr delay(L"DELAY");
  const DISPID setId = IdOf(component.get(), L"SetParameter");
  const DISPID getId = IdOf(component.get(), L"GetParameter");

  TimeCalls("SetParameter(VOLUME) vtable", repetitions, [&] {
    ThrowIfFailed(component->SetParameter(volume.value, Long(80)), "SetParameter");
  });
  TimeCalls("GetParameter(DELAY) vtable", repetitions, [&] {
    long value = 0;
    ThrowIfFailed(component->GetParameter(delay.value, &value), "GetParameter");
  });
  TimeCalls("SetParameter(VOLUME) Invoke", repetitions, [&] {
    // Arguments in reverse order, as a script engine passes them.
    VARIANTARG args[2];
    args[1].vt = VT_BSTR;
    args[1].bstrVal = volume.value;
    args[0] = Long(80);
    DISPPARAMS params{args, nullptr, 2, 0};
    ThrowIfFailed(component->Invoke(setId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                            nullptr),
          "Invoke SetParameter");
  });
  TimeCalls("GetParameter(DELAY) Invoke", repetitions, [&] {
    VARIANTARG arg;
    arg.vt = VT_BSTR;
    arg.bstrVal = delay.value;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ThrowIfFailed(component->Invoke(getId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                            &result, nullptr, nullptr),
          "Invoke GetParameter");
  });
}

// Run and Stop: the first pair in the process (cold) and later pairs (warm).
void RunStop(int repetitions) {
  Stopwatch clock;
  ComPtr<IVelComponent> component = CreateComponent();
  for (int repetition = 0; repetition <= repetitions; ++repetition) {
    double begin = clock.NowUs();
    ThrowIfFailed(component->Run(), "Run");
    const double runUs = clock.NowUs() - begin;
    Sleep(300);
    begin = clock.NowUs();
    ThrowIfFailed(component->Stop(), "Stop");
    const double stopUs = clock.NowUs() - begin;
    std::printf("{\"bench\":\"runstop\",\"kind\":\"%s\",\"repetition\":%d,\"run_ms\":%.3f,\"stop_ms\":%.3f}\n",
                repetition == 0 ? "cold" : "warm", repetition, runUs / 1000, stopUs / 1000);
    std::fflush(stdout);
    Sleep(100);
  }
}

// Parameter changes while the engine runs. A continuous tone is played into
// the microphone and the speaker recorded by the caller (scripts/bench.sh,
// through the fixture's own player and recorder): times are printed from the
// program's start, with the moment Run returned, so the recording can be
// aligned on the speaker's onset.
void Changes(int changesPerParameter) {
  struct Change {
    const wchar_t* name;
    const char* label;
    long from;
    long to;
  };
  const Change changes[] = {{L"DELAY", "DELAY", 100, 120},
                            {L"FREQUENCY_SHIFT", "FREQUENCY_SHIFT", 0, 3},
                            {L"ZEL_MODE", "ZEL_MODE", 1, 2}};
  constexpr DWORD kSettleMs = 700;

  Stopwatch clock;
  const double start = clock.NowUs();
  ComPtr<IVelComponent> component = CreateComponent();
  Bstr names[] = {Bstr(L"DELAY"), Bstr(L"FREQUENCY_SHIFT"), Bstr(L"ZEL_MODE")};
  ThrowIfFailed(component->SetParameter(names[0].value, Long(100)), "SetParameter");
  ThrowIfFailed(component->Run(), "Run");
  std::printf("{\"bench\":\"run\",\"at_s\":%.4f,\"delay_ms\":100}\n", (clock.NowUs() - start) / 1e6);
  Sleep(1500);
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < changesPerParameter; ++i) {
      const long value = i % 2 == 0 ? changes[k].to : changes[k].from;
      const double begin = clock.NowUs();
      ThrowIfFailed(component->SetParameter(names[k].value, Long(value)), "SetParameter");
      const double end = clock.NowUs();
      std::printf("{\"bench\":\"change\",\"parameter\":\"%s\",\"value\":%ld,\"at_s\":%.4f,\"call_ms\":%.3f}\n",
                  changes[k].label, value, (begin - start) / 1e6, (end - begin) / 1000);
      std::fflush(stdout);
      Sleep(kSettleMs);
    }
    // Back to the starting value before the next parameter, outside the measurement window.
    ThrowIfFailed(component->SetParameter(names[k].value, Long(changes[k].from)), "SetParameter");
    Sleep(kSettleMs);
  }
  ThrowIfFailed(component->Stop(), "Stop");
}

// One click recording per delay (method 1 without and with a shift).
void Delays(const std::string& outDir, int repetitions) {
  audio::ClickTrainOptions options;
  options.sampleRate = CVirtualAudioRig::kSampleRate;
  options.seconds = 3.0;
  const std::vector<std::int16_t> clicks = audio::MakeClickTrain(options);
  ComPtr<IVelComponent> component = CreateComponent();
  Bstr delay(L"DELAY");
  Bstr shift(L"FREQUENCY_SHIFT");
  Bstr method(L"ZEL_MODE");
  ThrowIfFailed(component->SetParameter(method.value, Long(1)), "SetParameter");
  for (int shiftValue : {0, 2}) {
    ThrowIfFailed(component->SetParameter(shift.value, Long(shiftValue)), "SetParameter");
    for (long ms = 40; ms <= 220; ms += 20) {
      ThrowIfFailed(component->SetParameter(delay.value, Long(ms)), "SetParameter");
      for (int repetition = 0; repetition < (shiftValue == 0 ? repetitions : 1); ++repetition) {
        CVirtualAudioRig rig;
        ThrowIfFailed(component->Run(), "Run");
        Sleep(300);
        rig.Begin(clicks, 3.4);
        Sleep(1500);
        long reported = 0;
        ThrowIfFailed(component->GetParameter(delay.value, &reported), "GetParameter");
        const audio::WavData mix = rig.End();
        ThrowIfFailed(component->Stop(), "Stop");
        const std::string file =
            "delay-" + std::to_string(ms) + "-shift" + std::to_string(shiftValue) + "-" + std::to_string(repetition) + ".wav";
        audio::WriteWav(outDir + "\\" + file, mix);
        std::printf(
            "{\"bench\":\"delay\",\"delay_ms\":%ld,\"shift\":%d,\"method\":1,\"repetition\":%d,\"reported_ms\":%ld,"
            "\"file\":\"%s\"}\n",
            ms, shiftValue, repetition, reported, file.c_str());
        std::fflush(stdout);
      }
    }
  }
}

double MedianOf(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One session per delay with a click a second in the microphone: the median
// heard delay of the clicks in the minute up to 1, 5 and 10 minutes (those
// the session reaches), and the spread of every click from the first second
// on.
void Session(int minutes) {
  constexpr std::uint32_t kRate = CVirtualAudioRig::kSampleRate;
  audio::ClickTrainOptions options;
  options.sampleRate = kRate;
  options.seconds = minutes * 60.0;
  options.firstClickSeconds = 0.5;
  options.minIntervalSeconds = 1.0;
  options.maxIntervalSeconds = 1.0;
  const std::vector<std::int16_t> clicks = audio::MakeClickTrain(options);
  ComPtr<IVelComponent> component = CreateComponent();
  Bstr delay(L"DELAY");
  for (long ms : {40L, 100L, 220L}) {
    ThrowIfFailed(component->SetParameter(delay.value, Long(ms)), "SetParameter");
    CVirtualAudioRig rig;
    ThrowIfFailed(component->Run(), "Run");
    Sleep(300);
    rig.Begin(clicks, options.seconds + 1.0);
    const audio::WavData mix = rig.End();
    long reported = 0;
    ThrowIfFailed(component->GetParameter(delay.value, &reported), "GetParameter");
    ThrowIfFailed(component->Stop(), "Stop");
    std::vector<std::pair<double, double>> lags;  // (seconds, ms)
    for (const audio::ClickMatch& match : audio::MatchClicks(mix.Channel(0), mix.Channel(1), 5000, 0, 900 * kRate / 1000)) {
      lags.emplace_back(static_cast<double>(match.inputOnset) / kRate, 1000.0 * match.lagSamples / kRate);
    }
    double lowest = 1e9;
    double highest = -1e9;
    for (const auto& [at, lag] : lags) {
      if (at < 1.0) continue;
      lowest = std::min(lowest, lag);
      highest = std::max(highest, lag);
    }
    for (int at : {1, 5, 10}) {
      if (at > minutes) continue;
      std::vector<double> minute;
      for (const auto& [when, lag] : lags) {
        if (when >= (at - 1) * 60.0 + 1.0 && when < at * 60.0) minute.push_back(lag);
      }
      std::printf("{\"bench\":\"session\",\"delay_ms\":%ld,\"minute\":%d,\"heard_ms\":%.2f,\"clicks\":%zu,"
                  "\"spread_ms\":%.2f,\"reported_ms\":%ld}\n",
                  ms, at, MedianOf(minute), minute.size(), highest - lowest, reported);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The engine logs to stdout from its own threads: each result line leaves
  // in one write (a buffer larger than any line, flushed after every line).
  static char lineBuffer[1 << 16];
  std::setvbuf(stdout, lineBuffer, _IOFBF, sizeof lineBuffer);
  if (argc < 2) {
    std::fputs("usage: ryn_host_bench host REPS | runstop REPS | changes N | delays OUTDIR REPS | session MINUTES\n",
               stderr);
    return 2;
  }
  const std::string mode = argv[1];
  try {
    ThrowIfFailed(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    if (mode == "host") HostCalls(argc > 2 ? std::atoi(argv[2]) : 5);
    if (mode == "runstop") RunStop(argc > 2 ? std::atoi(argv[2]) : 5);
    if (mode == "changes") Changes(argc > 2 ? std::atoi(argv[2]) : 3);
    if (mode == "delays" && argc > 2) Delays(argv[2], argc > 3 ? std::atoi(argv[3]) : 3);
    if (mode == "session") Session(argc > 2 ? std::max(1, std::atoi(argv[2])) : 10);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", mode.c_str(), e.what());
    return 1;
  }
  CoUninitialize();
  return 0;
}
