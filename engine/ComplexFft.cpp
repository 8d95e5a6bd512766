#include "engine/ComplexFft.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::int32_t kLargestSize = 8192;


// Where the stage of butterflies halfSpan apart starts: stages of one and of
// two butterflies take a block of eight doubles each, larger ones 2 halfSpan.
constexpr std::int32_t TwiddleOffset(std::int32_t halfSpan) {
  return halfSpan == 1 ? 0 : halfSpan == 2 ? 8 : 2 * halfSpan + 8;
}

// Rotation factors of every butterfly stage in the order the recurrence
// produces them: (1, 0), then repeated multiplication by (cos arg,
// sign sin arg), arg = pi / halfSpan, each step rounded to float. Stages do
// not depend on the transform size, so one table serves every size. Stored
// widened to double (exactly), in blocks of four butterflies, four real parts
// then four imaginary parts, the order the butterflies load them in; stages
// of fewer than four butterflies repeat theirs to fill a block.
class TwiddleTable {
 public:
  TwiddleTable() {
    Fill(-1, forward);
    Fill(1, inverse);
  }

  // The stage whose butterflies join elements halfSpan apart.
  const double* Stage(std::int32_t sign, std::int32_t halfSpan) const {
    return (sign < 0 ? forward : inverse) + TwiddleOffset(halfSpan);
  }

 private:
  static constexpr std::int32_t kLargestHalfSpan = kLargestSize / 2;
  static constexpr std::int32_t kSize = TwiddleOffset(kLargestHalfSpan) + 2 * kLargestHalfSpan;

  static void Fill(std::int32_t sign, double* table) {
    for (std::int32_t halfSpan = 1; halfSpan <= kLargestHalfSpan; halfSpan <<= 1) {
      double* stage = table + TwiddleOffset(halfSpan);
      const auto arg = static_cast<float>(kPi / halfSpan);
      const auto wr = static_cast<float>(std::cos(static_cast<double>(arg)));
      const auto wi = static_cast<float>(sign * std::sin(static_cast<double>(arg)));
      float ur = 1.0f;
      float ui = 0.0f;
      for (std::int32_t q = 0; q < halfSpan; ++q) {
        for (std::int32_t slot = q; slot < std::max(halfSpan, 4); slot += halfSpan) {
          stage[8 * (slot / 4) + slot % 4] = ur;
          stage[8 * (slot / 4) + slot % 4 + 4] = ui;
        }
        const auto nextUr = static_cast<float>(static_cast<double>(ur) * wr -
                                               static_cast<double>(ui) * wi);
        ui = static_cast<float>(static_cast<double>(ur) * wi + static_cast<double>(ui) * wr);
        ur = nextUr;
      }
    }
  }

  double forward[kSize];
  double inverse[kSize];
};

const TwiddleTable& Twiddles() {
  static const TwiddleTable table;
  return table;
}

// Real part of the rotation factor of butterfly q of a stage, followed by
// those of the rest of its block of four; the imaginary parts lie four
// doubles further on.
inline const double* TwiddleAt(const double* stage, std::int32_t q) {
  return stage + 8 * (q / 4) + q % 4;
}

bool wideTransformAllowed = true;

#if defined(__SSE2__)

// Two butterflies at once: a and b hold two complex values each (re, im,
// re, im), ur and ui the real and the imaginary parts of their rotation
// factors. tr = br ur - bi ui and ti = br ui + bi ur are formed in double
// precision and rounded to float; then a + t and a - t in float.
inline void ButterflyPair(__m128& a, __m128& b, __m128d ur, __m128d ui) {
  const __m128 parts = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 1, 2, 0));
  const __m128d br = _mm_cvtps_pd(parts);
  const __m128d bi = _mm_cvtps_pd(_mm_movehl_ps(parts, parts));
  const __m128d tr = _mm_sub_pd(_mm_mul_pd(br, ur), _mm_mul_pd(bi, ui));
  const __m128d ti = _mm_add_pd(_mm_mul_pd(br, ui), _mm_mul_pd(bi, ur));
  const __m128 t = _mm_unpacklo_ps(_mm_cvtpd_ps(tr), _mm_cvtpd_ps(ti));
  b = _mm_sub_ps(a, t);
  a = _mm_add_ps(a, t);
}

void ButterflyStage(float* data, std::int32_t n, std::int32_t halfSpan, const double* twiddle) {
  if (halfSpan == 1) {
    // Neighbours pair up: two groups per step, one butterfly each.
    const __m128d ur = _mm_loadu_pd(twiddle);
    const __m128d ui = _mm_loadu_pd(twiddle + 4);
    for (std::int32_t g = 0; g + 4 <= n; g += 4) {
      const __m128 x0 = _mm_loadu_ps(data + 2 * g);
      const __m128 x1 = _mm_loadu_ps(data + 2 * g + 4);
      __m128 a = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(1, 0, 1, 0));
      __m128 b = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 2, 3, 2));
      ButterflyPair(a, b, ur, ui);
      _mm_storeu_ps(data + 2 * g, _mm_movelh_ps(a, b));
      _mm_storeu_ps(data + 2 * g + 4, _mm_movehl_ps(b, a));
    }
    if (n == 2) {
      __m128 a = _mm_loadu_ps(data);
      __m128 b = _mm_movehl_ps(a, a);
      ButterflyPair(a, b, ur, ui);
      _mm_storeu_ps(data, _mm_movelh_ps(a, b));
    }
    return;
  }
  for (std::int32_t g = 0; g < n; g += 2 * halfSpan) {
    float* first = data + 2 * g;
    float* second = first + 2 * halfSpan;
    for (std::int32_t q = 0; q < halfSpan; q += 2) {
      const double* w = TwiddleAt(twiddle, q);
      __m128 a = _mm_loadu_ps(first + 2 * q);
      __m128 b = _mm_loadu_ps(second + 2 * q);
      ButterflyPair(a, b, _mm_loadu_pd(w), _mm_loadu_pd(w + 4));
      _mm_storeu_ps(first + 2 * q, a);
      _mm_storeu_ps(second + 2 * q, b);
    }
  }
}

// The same butterflies four at a time on processors with AVX, for stages of
// four or more; identical roundings, no fused multiply-add.
__attribute__((target("avx"))) void WideButterflyStage(float* data, std::int32_t n,
                                                        std::int32_t halfSpan,
                                                        const double* twiddle) {
  for (std::int32_t g = 0; g < n; g += 2 * halfSpan) {
    float* first = data + 2 * g;
    float* second = first + 2 * halfSpan;
    for (std::int32_t q = 0; q < halfSpan; q += 4) {
      const double* w = TwiddleAt(twiddle, q);
      const __m256 a = _mm256_loadu_ps(first + 2 * q);
      const __m128 low = _mm_loadu_ps(second + 2 * q);
      const __m128 high = _mm_loadu_ps(second + 2 * q + 4);
      const __m256d br = _mm256_cvtps_pd(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
      const __m256d bi = _mm256_cvtps_pd(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1)));
      const __m256d ur = _mm256_loadu_pd(w);
      const __m256d ui = _mm256_loadu_pd(w + 4);
      const __m128 tr =
          _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(br, ur), _mm256_mul_pd(bi, ui)));
      const __m128 ti =
          _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(br, ui), _mm256_mul_pd(bi, ur)));
      const __m256 t = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_unpacklo_ps(tr, ti)),
                                            _mm_unpackhi_ps(tr, ti), 1);
      _mm256_storeu_ps(first + 2 * q, _mm256_add_ps(a, t));
      _mm256_storeu_ps(second + 2 * q, _mm256_sub_ps(a, t));
    }
  }
}

void RunStage(float* data, std::int32_t n, std::int32_t halfSpan, const double* twiddle) {
  static const bool hasAvx = __builtin_cpu_supports("avx");
  if (halfSpan >= 4 && hasAvx && wideTransformAllowed) {
    WideButterflyStage(data, n, halfSpan, twiddle);
  } else {
    ButterflyStage(data, n, halfSpan, twiddle);
  }
}

#else

// Without SSE2: the same butterflies one at a time.
void RunStage(float* data, std::int32_t n, std::int32_t halfSpan, const double* twiddle) {
  for (std::int32_t g = 0; g < n; g += 2 * halfSpan) {
    for (std::int32_t q = 0; q < halfSpan; ++q) {
      float* p1 = data + 2 * (g + q);
      float* p2 = p1 + 2 * halfSpan;
      const double ur = *TwiddleAt(twiddle, q);
      const double ui = *(TwiddleAt(twiddle, q) + 4);
      const auto tr = static_cast<float>(p2[0] * ur - p2[1] * ui);
      const auto ti = static_cast<float>(p2[0] * ui + p2[1] * ur);
      p2[0] = p1[0] - tr;
      p2[1] = p1[1] - ti;
      p1[0] = p1[0] + tr;
      p1[1] = p1[1] + ti;
    }
  }
}

#endif

// Bit-reversed index of every element, for every transform size up to the
// largest.
class BitReversalTable {
 public:
  BitReversalTable() {
    for (std::int32_t n = 1; n <= kLargestSize; n <<= 1) {
      std::uint16_t* table = reversed + (n - 1);
      for (std::int32_t m = 0; m < n; ++m) {
        std::int32_t r = 0;
        for (std::int32_t bit = 1; bit < n; bit <<= 1) {
          r = (r << 1) | ((m & bit) != 0);
        }
        table[m] = static_cast<std::uint16_t>(r);
      }
    }
  }

  // Sizes 1, 2, 4, ... follow each other, so size n starts at n - 1.
  const std::uint16_t* For(std::int32_t n) const { return reversed + (n - 1); }

 private:
  std::uint16_t reversed[2 * kLargestSize - 1];
};

void SwapComplex(float* a, float* b) {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::memcpy(&first, a, sizeof first);
  std::memcpy(&second, b, sizeof second);
  std::memcpy(a, &second, sizeof second);
  std::memcpy(b, &first, sizeof first);
}

}  // namespace

void ComplexFft(float* buffer, std::int32_t n, std::int32_t sign) {
  // Bit-reversal permutation: complex element m trades places with the
  // element whose index is m with its log2 n bits reversed.
  const std::uint16_t* reversed = BitReversedIndices(n);
  for (std::int32_t m = 1; m < n - 1; ++m) {
    if (m < reversed[m]) {
      SwapComplex(buffer + 2 * m, buffer + 2 * reversed[m]);
    }
  }
  ComplexFftOfReordered(buffer, n, sign);
}

void ComplexFftOfReordered(float* buffer, std::int32_t n, std::int32_t sign) {
  // log2 n butterfly stages, counted as ln n / ln 2 in double.
  const TwiddleTable& twiddles = Twiddles();
  const double stages = std::log(static_cast<double>(n)) / std::log(2.0);
  std::int32_t halfSpan = 1;
  for (std::int32_t stage = 0; stage < stages; ++stage, halfSpan <<= 1) {
    RunStage(buffer, n, halfSpan, twiddles.Stage(sign, halfSpan));
  }
}

const std::uint16_t* BitReversedIndices(std::int32_t n) {
  static const BitReversalTable table;
  return table.For(n);
}

void AllowWideTransform(bool allow) {
  wideTransformAllowed = allow;
}
