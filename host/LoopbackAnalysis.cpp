#include "host/LoopbackAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/signal/SignalAnalysis.h"
#include "common/signal/TestSignals.h"

namespace loopback {
namespace {

using Samples = std::vector<std::int16_t>;

long SamplesOf(double ms) { return std::lround(ms * kSampleRate / 1000.0); }
double MsOf(double samples) { return samples * 1000.0 / kSampleRate; }

// Below this RMS (about -64 dBFS) the input carried nothing: no loopback.
constexpr double kSilentRms = 20.0;
// A click came back clearly when its normalised correlation with the
// probe's click is at least this; noise of any level scores about 0.4 at
// most over the searched lags (48-sample clicks).
constexpr double kClearClick = 0.7;
// Each click is looked for this far either side of the train's lag, and
// agrees with the others within half a millisecond.
constexpr double kClickSearchMs = 2.0;
constexpr double kClickAgreementMs = 0.5;
// Peaks of the train's correlation closer than this are one arrival; peaks
// below this share of the strongest are not looked at.
constexpr double kPeakSpacingMs = 5.0;
constexpr double kPeakShare = 0.25;
// How far the probe's first arrival and the first pass are looked for: the
// devices of a computer add tens to hundreds of milliseconds.
constexpr double kLongestRoundTripMs = 1000.0;
// The component holds at least 40 ms: anything sooner is the probe itself.
constexpr double kShortestPassMs = 20.0;

const char kNoEcho[] =
    "No echo of the probe came back: hold the headphones to the microphone or connect a cable, "
    "and raise the volume.";

struct Arrival {
  bool found = false;
  bool silent = false;
  double lagSamples = 0;
  double confidence = 0;
};

struct ClickVote {
  double confidence = 0;
  double lagSamples = 0;
};

// Looks for every click of the probe on its own near `lag`: the share that
// came back clearly at one lag, and that lag (their median).
ClickVote VoteOfClicks(const Probe& probe, const Samples& recording, long lag) {
  const long search = SamplesOf(kClickSearchMs);
  const std::size_t length = probe.clickSamples;
  std::vector<long> clear;
  for (std::size_t start : probe.clickStarts) {
    double clickEnergy = 0;
    for (std::size_t i = 0; i < length; ++i) clickEnergy += double(probe.samples[start + i]) * probe.samples[start + i];
    double best = 0;
    long bestLag = 0;
    for (long l = lag - search; l <= lag + search; ++l) {
      const long at = static_cast<long>(start) + l;
      if (at < 0 || static_cast<std::size_t>(at) + length > recording.size()) continue;
      double dot = 0;
      double energy = 0;
      for (std::size_t i = 0; i < length; ++i) {
        const double r = recording[static_cast<std::size_t>(at) + i];
        dot += probe.samples[start + i] * r;
        energy += r * r;
      }
      const double norm = std::sqrt(clickEnergy * energy);
      const double score = norm > 0 ? dot / norm : 0.0;
      if (score > best) {
        best = score;
        bestLag = l;
      }
    }
    if (best >= kClearClick) clear.push_back(bestLag);
  }
  ClickVote vote;
  if (clear.empty()) return vote;
  std::sort(clear.begin(), clear.end());
  const long median = clear[clear.size() / 2];
  const long agreement = SamplesOf(kClickAgreementMs);
  std::vector<long> agreeing;
  for (long l : clear) {
    if (std::labs(l - median) <= agreement) agreeing.push_back(l);
  }
  const std::size_t middle = agreeing.size() / 2;
  vote.lagSamples = agreeing.size() % 2 ? double(agreeing[middle]) : 0.5 * double(agreeing[middle - 1] + agreeing[middle]);
  vote.confidence = double(agreeing.size()) / double(probe.clickStarts.size());
  return vote;
}

// The earliest arrival of the probe within minLag..maxLag samples whose
// clicks agree: the peaks of the train's envelope correlation are tried in
// order of time, so in a closed loop the first pass wins over later ones and
// over chance alignments of single clicks.
Arrival FindArrival(const Probe& probe, const Samples& recording, long minLag, long maxLag) {
  Arrival arrival;
  maxLag = std::min(maxLag, static_cast<long>(recording.size()) - static_cast<long>(probe.samples.size()));
  if (minLag < 0 || maxLag < minLag) {
    arrival.silent = true;
    return arrival;
  }
  if (audio::Rms(recording, static_cast<std::size_t>(minLag), static_cast<std::size_t>(maxLag) + probe.samples.size()) <
      kSilentRms) {
    arrival.silent = true;
    return arrival;
  }
  const std::vector<double> correlation =
      audio::CrossCorrelation(audio::Envelope(probe.samples), audio::Envelope(recording), minLag, maxLag);
  const double strongest = *std::max_element(correlation.begin(), correlation.end());
  if (strongest <= 0) return arrival;
  const long spacing = SamplesOf(kPeakSpacingMs);
  const long count = static_cast<long>(correlation.size());
  for (long k = 0; k < count; ++k) {
    const double value = correlation[static_cast<std::size_t>(k)];
    if (value < kPeakShare * strongest) continue;
    const auto from = correlation.begin() + std::max(0L, k - spacing);
    const auto to = correlation.begin() + std::min(count, k + spacing + 1);
    if (*std::max_element(from, to) > value) continue;
    const ClickVote vote = VoteOfClicks(probe, recording, minLag + k);
    arrival.confidence = std::max(arrival.confidence, vote.confidence);
    if (vote.confidence >= kMinConfidence) {
      arrival.found = true;
      arrival.confidence = vote.confidence;
      arrival.lagSamples = vote.lagSamples;
      return arrival;
    }
    k += spacing;
  }
  return arrival;
}

std::string Unclear(const char* what, double confidence) {
  char text[400];
  std::snprintf(text, sizeof text,
                "%s too unclear to measure (confidence %.2f, at least %.2f needed): hold the headphones closer "
                "to the microphone or connect a cable, make the room quieter, and raise the volume.",
                what, confidence, kMinConfidence);
  return text;
}

Finding Failed(const Arrival& arrival, const char* what) {
  Finding finding;
  finding.confidence = arrival.confidence;
  finding.problem = arrival.silent ? kNoEcho : Unclear(what, arrival.confidence);
  return finding;
}

}  // namespace

Probe MakeProbe() {
  audio::ClickTrainOptions options;
  options.sampleRate = kSampleRate;
  options.seconds = 2.0;
  options.firstClickSeconds = 0.05;
  options.minIntervalSeconds = 0.12;
  options.maxIntervalSeconds = 0.25;
  options.clickSamples = 48;
  options.amplitude = 16000;
  Probe probe;
  probe.samples = audio::MakeClickTrain(options);
  probe.clickStarts = audio::ClickPositions(options);
  probe.clickSamples = options.clickSamples;
  return probe;
}

Finding MeasureDeviceLatency(const Probe& probe, const Samples& recording, std::size_t expectedAt) {
  const long origin = static_cast<long>(expectedAt);
  const Arrival arrival = FindArrival(probe, recording, origin, origin + SamplesOf(kLongestRoundTripMs));
  if (!arrival.found) return Failed(arrival, "The probe came back");
  Finding finding;
  finding.measured = true;
  finding.ms = MsOf(arrival.lagSamples - double(origin));
  finding.confidence = arrival.confidence;
  return finding;
}

Finding MeasureHeardDelay(const Probe& probe, const Samples& recording, std::size_t expectedAt,
                          std::int32_t delayMs) {
  const long origin = static_cast<long>(expectedAt);
  const Arrival direct = FindArrival(probe, recording, origin, origin + SamplesOf(kLongestRoundTripMs));
  if (!direct.found) return Failed(direct, "The probe came back");
  const long from = std::lround(direct.lagSamples);
  const Arrival pass = FindArrival(probe, recording, from + SamplesOf(kShortestPassMs),
                                   from + SamplesOf(delayMs + kLongestRoundTripMs));
  if (!pass.found) {
    Finding finding;
    finding.confidence = pass.confidence;
    finding.problem = pass.silent ? kNoEcho
                                  : Unclear("The probe came back, but its pass through the feedback came back", pass.confidence);
    return finding;
  }
  Finding finding;
  finding.measured = true;
  finding.ms = MsOf(pass.lagSamples - direct.lagSamples);
  finding.confidence = std::min(direct.confidence, pass.confidence);
  return finding;
}

std::string DescribeMeasurement(std::int32_t delayMs, const Finding& devices, const Finding& heard) {
  if (!devices.measured) return devices.problem;
  if (!heard.measured) return heard.problem;
  char text[160];
  std::snprintf(text, sizeof text, "At DELAY %d you hear %.0f ms; your devices add %.0f ms (confidence %.2f).",
                static_cast<int>(delayMs), heard.ms, devices.ms, std::min(devices.confidence, heard.confidence));
  return text;
}

}  // namespace loopback
