// Eight host threads in the multithreaded apartment call Run, Stop,
// SetParameter and GetParameter in random order on two component objects
// while capture delivers segments. Nothing crashes or deadlocks (a watchdog
// ends the program after a bound), every call answers as documented, and at
// the end one Stop leaves no listener thread and the parameters hold the last
// values accepted.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/RynManager.h"
#include "reliability/ReliabilitySupport.h"
#include "support/HResultCheck.h"
#include "support/FakeDirectSound.h"
#include "support/ProcessResources.h"
#include "support/StdoutLineCounter.h"

namespace {

using comtest::Bstr;
using comtest::Variant;
using reliability::Figure;
using reliability::kInvalid;
using reliability::kParameters;
using reliability::kUnsupported;
using reliability::Parameter;

constexpr int kHostThreads = 8;
constexpr std::size_t kParameterCount = sizeof kParameters / sizeof kParameters[0];

// The last value the component accepted for one name. Calls setting that
// name are made under its lock, so the order in which they were accepted is
// the order of the lock; other names, Run, Stop and GetParameter run freely
// beside them.
struct Accepted {
  std::mutex lock;
  LONG value = 0;
  long count = 0;
};

// A value for SetParameter and the answer it must get.
struct Attempt {
  Variant value;
  HRESULT expected;
  LONG stored;  // when expected is S_OK
};

Attempt MakeAttempt(const Parameter& parameter, std::mt19937& random) {
  std::uniform_int_distribution<LONG> inRange(parameter.min, parameter.max);
  const LONG valid = inRange(random);
  switch (random() % 6) {
    case 0:
      return {Variant::I4(valid), S_OK, valid};
    case 1: {
      const LONG outside = random() % 2 == 0 ? parameter.min - 1 - static_cast<LONG>(random() % 1000)
                                             : parameter.max + 1 + static_cast<LONG>(random() % 1000);
      return {Variant::I4(outside), kInvalid, 0};
    }
    case 2:
      return {Variant::Text(std::to_wstring(valid).c_str()), S_OK, valid};
    case 3:
      return {Variant::Text(L"abc"), DISP_E_TYPEMISMATCH, 0};
    case 4:
      return {Variant::R8(1e12), DISP_E_OVERFLOW, 0};
    default:
      // Rounds to the nearest integer.
      return {Variant::R8(valid + 0.25), S_OK, valid};
  }
}

// Ends the program when the run does not finish in time: a deadlocked host
// thread would otherwise hang the test until ctest's time-out, with nothing
// said about where.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds bound)
      : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        thread([this, bound] {
          const DWORD ms = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count());
          if (WaitForSingleObject(done, ms) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "watchdog: the host threads did not finish within %lld s (deadlock?)\n",
                         static_cast<long long>(bound.count()));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
          }
        }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    SetEvent(done);
    thread.join();
    CloseHandle(done);
  }

 private:
  HANDLE done;
  std::thread thread;
};

struct Counts {
  std::atomic<long> runs{0};
  std::atomic<long> stops{0};
  std::atomic<long> sets{0};
  std::atomic<long> setsAccepted{0};
  std::atomic<long> gets{0};
  std::atomic<long> segmentsDelivered{0};
};

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& object : objects) {
      object = reliability::CreateComponent();
      ASSERT_TRUE(object);
    }
    ASSERT_HR(S_OK, objects[0]->Stop());
    const LONG initial[kParameterCount] = {40, 0, 100, 1};
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      ASSERT_HR(S_OK, reliability::SetParameter(objects[0].get(), kParameters[i].name, initial[i]));
      accepted[i].value = initial[i];
    }
  }

  void TearDown() override { CRynManager::GetInstance().Stop(); }

  // Records a broken expectation from any thread; the main thread reports.
  void Broken(const std::string& what) {
    std::lock_guard<std::mutex> lock(problemsLock);
    if (problems.size() < 20) problems.push_back(what);
    ++problemCount;
  }

  void CheckErrorObject(HRESULT hr, const char* call) {
    const comtest::ErrorObject error = comtest::TakeErrorObject();
    if (SUCCEEDED(hr) && error.present) Broken(std::string(call) + " succeeded but set an error object");
    if (FAILED(hr) && !error.present) Broken(std::string(call) + " failed with " + Hex(hr) + " but set no error object");
    if (FAILED(hr) && error.present && error.description.empty()) Broken(std::string(call) + ": empty description");
  }

  void HostThread(unsigned seed, std::chrono::steady_clock::time_point deadline) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::mt19937 random(seed);
    while (std::chrono::steady_clock::now() < deadline) {
      IVelComponent* object = objects[random() % 2].get();
      const unsigned action = random() % 10;
      if (action == 0) {
        const HRESULT hr = object->Run();
        ++counts.runs;
        if (hr != S_OK) Broken("Run: " + Hex(hr));
        CheckErrorObject(hr, "Run");
      } else if (action == 1) {
        const HRESULT hr = object->Stop();
        ++counts.stops;
        if (hr != S_OK) Broken("Stop: " + Hex(hr));
        CheckErrorObject(hr, "Stop");
      } else if (action <= 7) {
        const std::size_t which = random() % kParameterCount;
        Attempt attempt = MakeAttempt(kParameters[which], random);
        const Bstr name(kParameters[which].name);
        std::lock_guard<std::mutex> lock(accepted[which].lock);
        const HRESULT hr = object->SetParameter(name.get(), attempt.value.get());
        ++counts.sets;
        if (hr == S_OK) {
          accepted[which].value = attempt.stored;
          ++accepted[which].count;
          ++counts.setsAccepted;
        }
        if (hr != attempt.expected) Broken("SetParameter: " + Hex(hr) + " instead of " + Hex(attempt.expected));
        CheckErrorObject(hr, "SetParameter");
      } else {
        const bool known = random() % 2 == 0;
        const Bstr name(known ? L"DELAY" : (random() % 2 == 0 ? L"VOLUME" : L"delay"));
        LONG value = -12345;
        const HRESULT hr = object->GetParameter(name.get(), &value);
        ++counts.gets;
        if (hr != (known ? S_OK : kUnsupported)) Broken("GetParameter: " + Hex(hr));
        if (!known && value != -12345) Broken("GetParameter wrote its out-value on failure");
        if (known && value < 0) Broken("GetParameter answered a negative delay");
        CheckErrorObject(hr, "GetParameter");
      }
    }
    CoUninitialize();
  }

  // Hands segments to whichever capture buffer is newest, in ring order,
  // about every millisecond; the only thread that holds pointers to fakes, so
  // it also discards the released ones.
  void Feeder(fakeds::FakeAudioDevices& devices, const std::atomic<bool>& stop) {
    DWORD entry = 0;
    for (long round = 0; !stop.load(); ++round) {
      fakeds::FakeCaptureBuffer* capture = devices.CaptureBuffer();
      if (capture != nullptr && capture->DeliverSegment(entry, static_cast<std::uint8_t>(entry))) {
        entry = (entry + 1) % 16;
        ++counts.segmentsDelivered;
      }
      if (round % 256 == 0) devices.DiscardReleased();
      Sleep(1);
    }
  }

  // Starts the engine alone and waits until a captured block reaches
  // playback; the scripted capture is given a segment, the real one delivers
  // its own.
  bool PlaysAlone(fakeds::FakeAudioDevices* devices) {
    CRynManager& manager = CRynManager::GetInstance();
    if (objects[0]->Run() != S_OK) return false;
    const std::uint64_t before = manager.GetCapturedBlockCount();
    if (devices != nullptr && !devices->CaptureBuffer()->DeliverSegment(0, std::uint8_t{1})) return false;
    const auto start = std::chrono::steady_clock::now();
    bool played = false;
    while (!played && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
      Sleep(1);
      played = manager.GetCapturedBlockCount() > before;
    }
    firstBlockMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return objects[0]->Stop() == S_OK && played;
  }

  void Run(std::chrono::seconds duration, fakeds::FakeAudioDevices* devices) {
    CRynManager& manager = CRynManager::GetInstance();
    // Once alone first: the platform's audio threads, made on first use and
    // kept, are not counted against the engine.
    ASSERT_TRUE(PlaysAlone(devices)) << "the engine does not play before the run";
    const ProcessResources before = ProcessResources::Measure();
    const std::uint64_t blocksBefore = manager.GetCapturedBlockCount();
    const auto start = std::chrono::steady_clock::now();
    {
      const Watchdog watchdog(duration + std::chrono::seconds(120));
      std::atomic<bool> stopFeeding{false};
      std::optional<std::thread> feeder;
      if (devices != nullptr) feeder.emplace([&] { Feeder(*devices, stopFeeding); });
      std::vector<std::thread> hosts;
      const auto deadline = start + duration;
      for (int i = 0; i < kHostThreads; ++i) hosts.emplace_back([this, i, deadline] { HostThread(1000u + i, deadline); });
      for (auto& host : hosts) host.join();
      stopFeeding = true;
      if (feeder) feeder->join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool runningAtTheEnd = manager.IsRunning();

    // One Stop ends everything.
    ASSERT_HR(S_OK, objects[1]->Stop());
    EXPECT_FALSE(manager.IsRunning());
    if (devices != nullptr) {
      devices->DiscardReleased();
      EXPECT_EQ(0u, devices->LiveReferences());
      EXPECT_EQ(0, devices->CallsAfterRelease());
    }
    const ProcessResources delta = ProcessResources::Measure() - before;
    EXPECT_EQ(0, delta.threads) << "a listener thread outlived Stop: " << Describe(delta);

    for (std::size_t i = 0; i < kParameterCount; ++i) {
      EXPECT_EQ(accepted[i].value, kParameters[i].stored(manager)) << "last accepted " << kParameters[i].name;
    }
    {
      std::lock_guard<std::mutex> lock(problemsLock);
      for (const std::string& problem : problems) ADD_FAILURE() << problem;
      EXPECT_EQ(0, problemCount);
    }

    const std::uint64_t blocks = manager.GetCapturedBlockCount() - blocksBefore;
    Figure("concurrency (%s): %d host threads, 2 objects, %.1f s: %ld Run, %ld Stop, %ld SetParameter (%ld accepted: "
           "DELAY %ld, FREQUENCY_SHIFT %ld, VOLUME %ld, ZEL_MODE %ld), %ld GetParameter",
           devices != nullptr ? "scripted devices" : "real devices", kHostThreads, seconds, counts.runs.load(),
           counts.stops.load(), counts.sets.load(), counts.setsAccepted.load(), accepted[0].count, accepted[1].count,
           accepted[2].count, accepted[3].count, counts.gets.load());
    Figure("concurrency (%s): %ld segments delivered by the test, %llu blocks played (first block %.0f ms after a "
           "Run alone), engine %s at the end; after one Stop: %s; %d broken answers",
           devices != nullptr ? "scripted devices" : "real devices", counts.segmentsDelivered.load(),
           static_cast<unsigned long long>(blocks), firstBlockMs, runningAtTheEnd ? "running" : "stopped",
           Describe(delta).c_str(), problemCount);
    EXPECT_GT(counts.runs.load(), 0);
    // Real capture needs longer from a start to its first segment than the
    // engine lives between the restarts here, so only the scripted run must
    // have played during the storm.
    if (devices != nullptr) {
      EXPECT_GT(blocks, 0u) << "no captured block reached playback";
    }
    EXPECT_TRUE(PlaysAlone(devices)) << "the engine no longer plays after the run";
  }

  StdoutLineCounter out;
  ComPtr<IVelComponent> objects[2];
  Accepted accepted[kParameterCount];
  Counts counts;
  std::mutex problemsLock;
  std::vector<std::string> problems;
  int problemCount = 0;
  double firstBlockMs = 0;
};

TEST_F(Concurrency, HostThreadsOnScriptedDevices) {
  fakeds::FakeAudioDevices devices;
  Run(std::chrono::seconds(reliability::ShortOrLong(10, 60)), &devices);
}

// Through the PulseAudio fixture's devices (label audio).
TEST_F(Concurrency, HostThreadsOnRealDevices) {
  if (!reliability::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
  Run(std::chrono::seconds(reliability::ShortOrLong(10, 60)), nullptr);
}

}  // namespace
