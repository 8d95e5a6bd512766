#include "common/signal/Fft.h"

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
  // Twiddles computed directly (not by recurrence) keep long transforms
  // accurate. Each stage copies its own side by side and runs its butterflies
  // block by block, so it walks memory in order.
  const double pi = std::acos(-1.0);
  const double angle = (inverse ? 2.0 : -2.0) * pi / static_cast<double>(n);
  std::vector<std::complex<double>> twiddles(n / 2);
  for (std::size_t k = 0; k < twiddles.size(); ++k) {
    twiddles[k] = std::polar(1.0, angle * static_cast<double>(k));
  }
  std::vector<std::complex<double>> stage(n / 2);
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::size_t half = len / 2;
    for (std::size_t k = 0; k < half; ++k) {
      stage[k] = twiddles[k * (n / len)];
    }
    for (std::size_t start = 0; start < n; start += len) {
      std::complex<double>* low = &data[start];
      std::complex<double>* high = low + half;
      for (std::size_t k = 0; k < half; ++k) {
        // Written out: the library's complex product checks for infinities.
        const double re = high[k].real() * stage[k].real() - high[k].imag() * stage[k].imag();
        const double im = high[k].real() * stage[k].imag() + high[k].imag() * stage[k].real();
        const std::complex<double> u = low[k];
        low[k] = {u.real() + re, u.imag() + im};
        high[k] = {u.real() - re, u.imag() - im};
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
