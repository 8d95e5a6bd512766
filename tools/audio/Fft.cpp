#include "tools/audio/Fft.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace audio {
namespace {

void Transform(std::vector<std::complex<double>>& data, bool inverse) {
  const std::size_t n = data.size();
  if (n == 0 || (n & (n - 1)) != 0) {
    throw std::invalid_argument("FFT size must be a power of two");
  }
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) {
      j ^= bit;
    }
    j ^= bit;
    if (i < j) {
      std::swap(data[i], data[j]);
    }
  }
  const double pi = std::acos(-1.0);
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = (inverse ? 2.0 : -2.0) * pi / static_cast<double>(len);
    const std::size_t half = len / 2;
    for (std::size_t k = 0; k < half; ++k) {
      // Twiddles computed directly (not by recurrence) keep long transforms accurate.
      const std::complex<double> w = std::polar(1.0, angle * static_cast<double>(k));
      for (std::size_t start = 0; start < n; start += len) {
        const std::complex<double> u = data[start + k];
        const std::complex<double> v = data[start + k + half] * w;
        data[start + k] = u + v;
        data[start + k + half] = u - v;
      }
    }
  }
  if (inverse) {
    const double scale = 1.0 / static_cast<double>(n);
    for (auto& x : data) {
      x *= scale;
    }
  }
}

}  // namespace

std::size_t NextPowerOfTwo(std::size_t n) {
  std::size_t p = 1;
  while (p < n) {
    p <<= 1;
  }
  return p;
}

void FftForward(std::vector<std::complex<double>>& data) { Transform(data, false); }

void FftInverse(std::vector<std::complex<double>>& data) { Transform(data, true); }

}  // namespace audio
