#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace audio {

// Smallest power of two that is >= n (1 for n == 0).
std::size_t NextPowerOfTwo(std::size_t n);

// In-place radix-2 transform; the size must be a power of two. The inverse
// is scaled by 1/N so that Forward then Inverse gives the input back.
void FftForward(std::vector<std::complex<double>>& data);
void FftInverse(std::vector<std::complex<double>>& data);

}  // namespace audio
