#include "host/LoopbackAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/SyntheticSignals.h"

namespace {

using Samples = std::vector<std::int16_t>;
using loopback::kSampleRate;

std::size_t SamplesOf(double ms) { return static_cast<std::size_t>(std::lround(ms * kSampleRate / 1000.0)); }

// Where a recording would hold the probe if the devices took no time.
constexpr std::size_t kExpectedAt = 3000;

// A recording of `seconds` with a little noise, and `gain` times the probe
// added from `at` on.
class Recording {
 public:
  explicit Recording(double seconds) : samples(SampleNoise(SamplesOf(seconds * 1000), 30, 5)) {}
  void Add(const Samples& probe, std::size_t at, double gain) {
    for (std::size_t i = 0; i < probe.size() && at + i < samples.size(); ++i) {
      samples[at + i] = static_cast<std::int16_t>(std::lround(samples[at + i] + gain * probe[i]));
    }
  }
  Samples samples;
};

TEST(LoopbackAnalysis, DeviceLatencyIsTheProbesRoundTrip) {
  const loopback::Probe probe = loopback::MakeProbe();
  for (double latencyMs : {12.0, 58.0, 240.0}) {
    Recording recording(4.0);
    recording.Add(probe.samples, kExpectedAt + SamplesOf(latencyMs), 0.3);
    const loopback::Finding devices = loopback::MeasureDeviceLatency(probe, recording.samples, kExpectedAt);
    ASSERT_TRUE(devices.measured) << latencyMs << " ms: " << devices.problem;
    EXPECT_NEAR(devices.ms, latencyMs, 0.1);
    EXPECT_GE(devices.confidence, 0.9);
  }
}

TEST(LoopbackAnalysis, HeardDelayIsTheFirstPassOfAClosedLoop) {
  // Every pass comes back quieter by the component's volume, one heard delay
  // after the one before; slow decay makes the later passes nearly as loud.
  const loopback::Probe probe = loopback::MakeProbe();
  for (double gain : {0.3, 0.9}) {
    for (double heardMs : {98.0, 161.0, 290.0}) {
      Recording recording(5.0);
      const std::size_t direct = kExpectedAt + SamplesOf(58);
      double level = 0.5;
      for (std::size_t pass = 0; pass < 8; ++pass, level *= gain) {
        recording.Add(probe.samples, direct + pass * SamplesOf(heardMs), level);
      }
      const loopback::Finding heard = loopback::MeasureHeardDelay(probe, recording.samples, kExpectedAt, 100);
      ASSERT_TRUE(heard.measured) << gain << " " << heardMs << ": " << heard.problem;
      EXPECT_NEAR(heard.ms, heardMs, 0.1) << "gain " << gain;
      EXPECT_GE(heard.confidence, loopback::kMinConfidence);
    }
  }
}

TEST(LoopbackAnalysis, SilenceIsAFailureWithAdviceAndNoNumber) {
  const loopback::Probe probe = loopback::MakeProbe();
  const Samples silence(SamplesOf(4000), 0);
  const loopback::Finding devices = loopback::MeasureDeviceLatency(probe, silence, kExpectedAt);
  EXPECT_FALSE(devices.measured);
  EXPECT_NE(devices.problem.find("No echo of the probe came back"), std::string::npos) << devices.problem;
  const loopback::Finding heard = loopback::MeasureHeardDelay(probe, silence, kExpectedAt, 100);
  EXPECT_FALSE(heard.measured);
  const std::string text = loopback::DescribeMeasurement(100, devices, heard);
  EXPECT_EQ(text, devices.problem);
}

TEST(LoopbackAnalysis, NoiseWithoutAnEchoIsAFailure) {
  const loopback::Probe probe = loopback::MakeProbe();
  for (int amplitude : {300, 8000}) {
    const Samples noise = SampleNoise(SamplesOf(4000), amplitude, 9);
    const loopback::Finding devices = loopback::MeasureDeviceLatency(probe, noise, kExpectedAt);
    EXPECT_FALSE(devices.measured) << amplitude;
    EXPECT_LT(devices.confidence, loopback::kMinConfidence);
    EXPECT_NE(devices.problem.find("too unclear"), std::string::npos) << devices.problem;
  }
}

TEST(LoopbackAnalysis, AProbeWithoutItsPassThroughTheFeedbackIsAFailure) {
  const loopback::Probe probe = loopback::MakeProbe();
  Recording recording(5.0);
  recording.Add(probe.samples, kExpectedAt + SamplesOf(58), 0.5);
  const loopback::Finding heard = loopback::MeasureHeardDelay(probe, recording.samples, kExpectedAt, 100);
  EXPECT_FALSE(heard.measured);
  EXPECT_NE(heard.problem.find("feedback"), std::string::npos) << heard.problem;
}

TEST(LoopbackAnalysis, DescriptionGivesBothFiguresOrTheFirstProblem) {
  loopback::Finding devices;
  devices.measured = true;
  devices.ms = 57.6;
  devices.confidence = 1.0;
  loopback::Finding heard;
  heard.measured = true;
  heard.ms = 158.2;
  heard.confidence = 0.9;
  EXPECT_EQ(loopback::DescribeMeasurement(100, devices, heard),
            "At DELAY 100 you hear 158 ms; your devices add 58 ms (confidence 0.90).");
  heard.measured = false;
  heard.problem = "heard failed";
  EXPECT_EQ(loopback::DescribeMeasurement(100, devices, heard), "heard failed");
  devices.measured = false;
  devices.problem = "devices failed";
  EXPECT_EQ(loopback::DescribeMeasurement(100, devices, heard), "devices failed");
}

}  // namespace
