#include "common/signal/SignalAnalysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

#include "common/signal/Fft.h"

namespace audio {
namespace {

// Vertex offset (-0.5..0.5) of the parabola through three equally spaced points.
double ParabolicOffset(double left, double centre, double right) {
  const double denominator = left - 2.0 * centre + right;
  if (denominator == 0.0) {
    return 0.0;
  }
  return std::clamp(0.5 * (left - right) / denominator, -0.5, 0.5);
}

double Energy(const std::vector<double>& x) {
  double sum = 0.0;
  for (double s : x) {
    sum += s * s;
  }
  return sum;
}

std::vector<double> ToDouble(const std::vector<std::int16_t>& x) { return std::vector<double>(x.begin(), x.end()); }

}  // namespace

std::vector<double> CrossCorrelation(const std::vector<double>& reference, const std::vector<double>& delayed,
                                     long minLag, long maxLag) {
  if (reference.empty() || delayed.empty()) {
    throw std::invalid_argument("empty signal");
  }
  if (minLag > maxLag) {
    throw std::invalid_argument("empty lag range");
  }
  // Long enough that no searched lag wraps around into another; lags past
  // either signal's end correlate nothing and need no room.
  const std::size_t ahead = std::min<std::size_t>(static_cast<std::size_t>(std::max(maxLag, 0L)), delayed.size());
  const std::size_t behind = std::min<std::size_t>(static_cast<std::size_t>(std::max(-minLag, 0L)), reference.size());
  const std::size_t n = NextPowerOfTwo(std::max(reference.size() + ahead, delayed.size() + behind));
  // Both real signals in one transform, reference + i * delayed; their
  // spectra are the even and odd parts of its spectrum.
  std::vector<std::complex<double>> both(n);
  for (std::size_t i = 0; i < reference.size(); ++i) {
    both[i].real(reference[i]);
  }
  for (std::size_t i = 0; i < delayed.size(); ++i) {
    both[i].imag(delayed[i]);
  }
  FftForward(both);
  std::vector<std::complex<double>> b(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::complex<double> mirror = std::conj(both[(n - k) & (n - 1)]);
    const std::complex<double> referenceSpectrum = 0.5 * (both[k] + mirror);
    const std::complex<double> delayedSpectrum = std::complex<double>(0.0, -0.5) * (both[k] - mirror);
    b[k] = delayedSpectrum * std::conj(referenceSpectrum);
  }
  FftInverse(b);
  // b[k] = sum reference[i] * delayed[i + k]; negative k wrap to the end.
  const double norm = std::sqrt(Energy(reference) * Energy(delayed));
  std::vector<double> correlation(static_cast<std::size_t>(maxLag - minLag + 1), 0.0);
  if (norm <= 0.0) {
    return correlation;
  }
  for (long lag = minLag; lag <= maxLag; ++lag) {
    if (lag >= static_cast<long>(delayed.size()) || -lag >= static_cast<long>(reference.size())) {
      continue;
    }
    correlation[static_cast<std::size_t>(lag - minLag)] =
        b[static_cast<std::size_t>(lag >= 0 ? lag : static_cast<long>(n) + lag)].real() / norm;
  }
  return correlation;
}

LagEstimate EstimateLag(const std::vector<double>& reference, const std::vector<double>& delayed, long minLag,
                        long maxLag) {
  const std::vector<double> correlation = CrossCorrelation(reference, delayed, minLag, maxLag);
  const auto at = [&](long lag) { return correlation[static_cast<std::size_t>(lag - minLag)]; };
  long best = minLag;
  for (long lag = minLag; lag <= maxLag; ++lag) {
    if (at(lag) > at(best)) {
      best = lag;
    }
  }
  LagEstimate estimate;
  estimate.lagSamples = static_cast<double>(best);
  if (best > minLag && best < maxLag) {
    estimate.lagSamples += ParabolicOffset(at(best - 1), at(best), at(best + 1));
  }
  estimate.correlation = std::max(0.0, at(best));
  return estimate;
}

LagEstimate EstimateLag(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& delayed,
                        long minLag, long maxLag) {
  return EstimateLag(ToDouble(reference), ToDouble(delayed), minLag, maxLag);
}

std::vector<double> Envelope(const std::vector<std::int16_t>& samples, unsigned window) {
  if (window == 0) {
    throw std::invalid_argument("empty window");
  }
  const std::size_t n = samples.size();
  std::vector<double> prefix(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    prefix[i + 1] = prefix[i] + std::abs(static_cast<double>(samples[i]));
  }
  std::vector<double> envelope(n);
  const std::size_t before = window / 2;
  const std::size_t after = window - before;
  double mean = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t from = i > before ? i - before : 0;
    const std::size_t to = std::min(n, i + after);
    envelope[i] = (prefix[to] - prefix[from]) / window;
    mean += envelope[i];
  }
  mean /= n > 0 ? static_cast<double>(n) : 1.0;
  for (double& e : envelope) {
    e -= mean;
  }
  return envelope;
}

LagEstimate EstimateEnvelopeLag(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& delayed,
                                long minLag, long maxLag, unsigned window) {
  return EstimateLag(Envelope(reference, window), Envelope(delayed, window), minLag, maxLag);
}

std::vector<WindowLag> EstimateWindowLags(const std::vector<std::int16_t>& reference,
                                          const std::vector<std::int16_t>& delayed, std::uint32_t sampleRate,
                                          const WindowLagOptions& options) {
  const auto samples = [sampleRate](double seconds) { return static_cast<std::size_t>(seconds * sampleRate); };
  const std::size_t window = samples(options.windowSeconds);
  const std::size_t hop = samples(options.hopSeconds);
  const std::size_t maxLag = samples(options.maxLagSeconds);
  const auto envelope = std::max<unsigned>(1, static_cast<unsigned>(samples(options.envelopeSeconds)));
  if (window == 0 || hop == 0) {
    throw std::invalid_argument("empty window or hop");
  }
  const std::size_t length = std::min(reference.size(), delayed.size());
  const double level = Rms(reference);
  std::vector<WindowLag> windows;
  for (std::size_t start = 0; start + window + maxLag < length; start += hop) {
    const double speech = Rms(reference, start, start + window);
    if (speech < 0.3 * level) {
      continue;
    }
    const auto piece = [start](const std::vector<std::int16_t>& x, std::size_t count) {
      const auto from = x.begin() + static_cast<long>(start);
      return std::vector<std::int16_t>(from, from + static_cast<long>(count));
    };
    WindowLag result;
    result.startSeconds = static_cast<double>(start) / sampleRate;
    result.lag = EstimateEnvelopeLag(piece(reference, window), piece(delayed, window + maxLag), 0,
                                     static_cast<long>(maxLag), envelope);
    result.heard = Rms(delayed, start, start + window + maxLag) > 0.05 * speech;
    windows.push_back(result);
  }
  return windows;
}

double DominantFrequency(const std::vector<std::int16_t>& samples, std::uint32_t sampleRate, double minHz,
                         double smoothingHz) {
  if (samples.empty()) {
    throw std::invalid_argument("empty signal");
  }
  const std::size_t n = 2 * NextPowerOfTwo(samples.size());
  std::vector<std::complex<double>> spectrum(n);
  const double pi = std::acos(-1.0);
  const double length = static_cast<double>(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    spectrum[i] = samples[i] * (0.5 - 0.5 * std::cos(2.0 * pi * (static_cast<double>(i) + 0.5) / length));
  }
  FftForward(spectrum);
  const double binHz = static_cast<double>(sampleRate) / static_cast<double>(n);
  const std::size_t half = n / 2;
  std::vector<double> power(half);
  for (std::size_t k = 0; k < half; ++k) {
    power[k] = std::norm(spectrum[k]);
  }
  const auto first = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(minHz / binHz)));
  const std::size_t last = half - 1;
  if (first >= last) {
    throw std::invalid_argument("no bins above the lower limit");
  }
  const auto radius = static_cast<std::size_t>(smoothingHz / binHz / 2.0);
  if (radius == 0) {
    std::size_t peak = first;
    for (std::size_t k = first; k < last; ++k) {
      if (power[k] > power[peak]) {
        peak = k;
      }
    }
    const auto logPower = [&](std::size_t k) { return std::log(power[k] + 1e-300); };
    const double offset = peak > first ? ParabolicOffset(logPower(peak - 1), logPower(peak), logPower(peak + 1)) : 0.0;
    return (static_cast<double>(peak) + offset) * binHz;
  }
  // The band of smoothingHz with the most power, then its power-weighted
  // centre.
  std::vector<double> prefix(half + 1, 0.0);
  for (std::size_t k = 0; k < half; ++k) {
    prefix[k + 1] = prefix[k] + power[k];
  }
  const auto bandPower = [&](std::size_t k) {
    return prefix[std::min(half, k + radius + 1)] - prefix[k > radius ? k - radius : 0];
  };
  std::size_t centre = first;
  for (std::size_t k = first; k < last; ++k) {
    if (bandPower(k) > bandPower(centre)) {
      centre = k;
    }
  }
  double weighted = 0.0;
  double total = 0.0;
  for (std::size_t k = centre > radius ? centre - radius : 0; k <= std::min(last, centre + radius); ++k) {
    weighted += power[k] * static_cast<double>(k);
    total += power[k];
  }
  return total > 0.0 ? weighted / total * binHz : static_cast<double>(centre) * binHz;
}

double Rms(const std::vector<std::int16_t>& samples, std::size_t begin, std::size_t end) {
  end = std::min(end, samples.size());
  if (begin >= end) {
    return 0.0;
  }
  double sum = 0.0;
  for (std::size_t i = begin; i < end; ++i) {
    sum += static_cast<double>(samples[i]) * samples[i];
  }
  return std::sqrt(sum / static_cast<double>(end - begin));
}

}  // namespace audio
