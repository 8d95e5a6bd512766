#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio {

struct LagEstimate {
  double lagSamples = 0;   // how much later `delayed` carries `reference`
  double correlation = 0;  // peak of the normalised cross-correlation, 0..1
  double LagMs(std::uint32_t sampleRate) const { return 1000.0 * lagSamples / sampleRate; }
};

// Normalised cross-correlation of `delayed` against `reference` at each lag
// of minLag..maxLag samples (element 0 is minLag): the sum of
// reference[i] * delayed[i + lag] over the square root of both signals'
// energies, so an exact copy peaks at 1. Lags past either signal's end
// correlate nothing (0). Throws std::invalid_argument for empty input or an
// empty lag range.
std::vector<double> CrossCorrelation(const std::vector<double>& reference, const std::vector<double>& delayed,
                                     long minLag, long maxLag);

// Lag of the strongest cross-correlation peak of `delayed` against
// `reference`, searched over minLag..maxLag samples (negative means `delayed`
// leads), refined between samples by a parabola through the peak.
// Throws std::invalid_argument for empty input or an empty lag range.
LagEstimate EstimateLag(const std::vector<double>& reference, const std::vector<double>& delayed, long minLag,
                        long maxLag);
LagEstimate EstimateLag(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& delayed,
                        long minLag, long maxLag);

// Loudness contour: |x| averaged over `window` samples centred on each
// sample, with its mean removed. Insensitive to the phase of the carrier, so
// lags that wander by a few samples (resampling, block placement) still
// correlate.
std::vector<double> Envelope(const std::vector<std::int16_t>& samples, unsigned window = 32);

// EstimateLag on the envelopes of both signals.
LagEstimate EstimateEnvelopeLag(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& delayed,
                                long minLag, long maxLag, unsigned window = 32);

// Where the lag of a recording is measured piece by piece: windows of
// `windowSeconds` every `hopSeconds`, each searched for lags of 0 up to
// `maxLagSeconds` on envelopes of `envelopeSeconds`.
struct WindowLagOptions {
  double windowSeconds = 1.0;
  double hopSeconds = 0.5;
  double maxLagSeconds = 1.0;
  double envelopeSeconds = 0.005;
};

struct WindowLag {
  double startSeconds = 0;
  LagEstimate lag;
  bool heard = false;  // `delayed` carried sound within the window and its lag range
};

// EstimateEnvelopeLag in each window of `reference` that holds speech (at
// least 0.3 of the whole reference's RMS; pauses are skipped), against
// `delayed` from the window's start to its end plus the largest lag. A window
// is heard when `delayed` has at least 0.05 of the window's RMS there.
// Windows whose lag range would run past the end are left out.
std::vector<WindowLag> EstimateWindowLags(const std::vector<std::int16_t>& reference,
                                          const std::vector<std::int16_t>& delayed, std::uint32_t sampleRate,
                                          const WindowLagOptions& options = {});

// Frequency of the strongest spectral peak above minHz (Hann window,
// zero-padded transform, parabolic refinement). With smoothingHz > 0 the
// power spectrum is first averaged over that width: a tone cut into bursts
// has lines at multiples of the burst rate, and the smoothed spectrum peaks
// at the tone inside the bursts rather than at the nearest line.
double DominantFrequency(const std::vector<std::int16_t>& samples, std::uint32_t sampleRate, double minHz = 20.0,
                         double smoothingHz = 0.0);

double Rms(const std::vector<std::int16_t>& samples, std::size_t begin = 0, std::size_t end = SIZE_MAX);

}  // namespace audio
