#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "common/signal/Fft.h"

// Spectral measurements for tests, in double precision and independent of the
// code under test: the transform is the audio tools' own.

// Averaged power spectrum (Hann-windowed frames of frameLength, half
// overlapped) of signal[begin, end); bins 0..frameLength/2.
inline std::vector<double> PowerSpectrum(const std::vector<float>& signal, std::size_t begin,
                                         std::size_t end, std::size_t frameLength) {
  std::vector<double> power(frameLength / 2 + 1, 0.0);
  std::vector<std::complex<double>> frame(frameLength);
  for (std::size_t start = begin; start + frameLength <= end; start += frameLength / 2) {
    for (std::size_t k = 0; k < frameLength; ++k) {
      const double w = 0.5 - 0.5 * std::cos(2.0 * 3.14159265358979323846 * k / frameLength);
      frame[k] = signal[start + k] * w;
    }
    audio::FftForward(frame);
    for (std::size_t k = 0; k < power.size(); ++k) {
      power[k] += std::norm(frame[k]);
    }
  }
  return power;
}

inline double BinFrequency(std::size_t bin, std::size_t frameLength, double sampleRate = 22050.0) {
  return static_cast<double>(bin) * sampleRate / static_cast<double>(frameLength);
}

// Frequency of the strongest bin, refined by a parabola through the
// logarithms of it and its neighbours.
inline double PeakFrequency(const std::vector<double>& power, std::size_t frameLength,
                            double sampleRate = 22050.0) {
  std::size_t peak = 1;
  for (std::size_t k = 1; k + 1 < power.size(); ++k) {
    if (power[k] > power[peak]) {
      peak = k;
    }
  }
  const double left = std::log(power[peak - 1]);
  const double centre = std::log(power[peak]);
  const double right = std::log(power[peak + 1]);
  const double offset = 0.5 * (left - right) / (left - 2.0 * centre + right);
  return (static_cast<double>(peak) + offset) * sampleRate / static_cast<double>(frameLength);
}

// Power in [low, high] Hz.
inline double BandPower(const std::vector<double>& power, std::size_t frameLength, double low,
                        double high, double sampleRate = 22050.0) {
  double sum = 0.0;
  for (std::size_t k = 0; k < power.size(); ++k) {
    const double f = BinFrequency(k, frameLength, sampleRate);
    if (f >= low && f <= high) {
      sum += power[k];
    }
  }
  return sum;
}
