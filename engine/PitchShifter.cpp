#include "engine/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// Arithmetic: values are loaded from single-precision arrays, combined in
// double precision and rounded to single precision where stored. Every step
// keeps that order of operations exactly, so the output does not depend on
// how the code is arranged (window table, twiddle table, loop order).

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::int32_t kMaxFrame = 8192;
constexpr std::int32_t kMaxBins = 4096;

// The stream state shared by every caller; static storage, so zero at load.
struct StreamState {
  float inputQueue[kMaxFrame];
  float outputQueue[kMaxFrame];
  float workspace[2 * kMaxFrame];
  float previousPhase[kMaxBins];
  // A bin that no output bin fetched keeps last frame's transform value in
  // place of its phase, to be turned into a phase only when it is fetched.
  bool phasePending[kMaxBins];
  float pendingRe[kMaxBins];
  float pendingIm[kMaxBins];
  float phaseSum[kMaxBins];
  float outputAccumulator[2 * kMaxFrame];
  float analysisMagnitude[kMaxFrame];
  float analysisFrequency[kMaxFrame];
  float synthesisMagnitude[kMaxFrame];
  float synthesisFrequency[kMaxFrame];
  std::int32_t writePosition;
  bool initialised;
};

StreamState state;

// Per-frame intermediate values, kept out of the stack.
struct FrameScratch {
  double phase[kMaxBins + 1];
};

FrameScratch scratch;

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
  static constexpr std::int32_t kLargestHalfSpan = kMaxFrame / 2;
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
    for (std::int32_t n = 1; n <= kMaxFrame; n <<= 1) {
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
  std::uint16_t reversed[2 * kMaxFrame - 1];
};

const std::uint16_t* ReversedIndices(std::int32_t n) {
  static const BitReversalTable table;
  return table.For(n);
}

void SwapComplex(float* a, float* b) {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::memcpy(&first, a, sizeof first);
  std::memcpy(&second, b, sizeof second);
  std::memcpy(a, &second, sizeof second);
  std::memcpy(b, &first, sizeof first);
}

// The butterfly stages of a transform whose input is already in
// bit-reversed order: log2 n of them, counted as ln n / ln 2 in double.
void RunStages(float* buffer, std::int32_t n, std::int32_t sign) {
  const TwiddleTable& twiddles = Twiddles();
  const double stages = std::log(static_cast<double>(n)) / std::log(2.0);
  std::int32_t halfSpan = 1;
  for (std::int32_t stage = 0; stage < stages; ++stage, halfSpan <<= 1) {
    RunStage(buffer, n, halfSpan, twiddles.Stage(sign, halfSpan));
  }
}

// Tables derived from the call's parameters, so a frame spends no cosines on
// its window and no divisions on its bin mapping. Recomputed when the
// parameters change; the values are those the frame would compute itself.
struct DerivedTables {
  std::int32_t windowLength;
  double window[kMaxFrame];
  float mappedFactor;
  std::int32_t mappedHalf;
  std::int32_t sourceBin[kMaxBins + 1];
  bool isSource[kMaxBins + 1];
};

DerivedTables tables;

const double* HannWindow(std::int32_t length) {
  if (tables.windowLength != length) {
    for (std::int32_t k = 0; k < length; ++k) {
      tables.window[k] = -0.5 * std::cos(2.0 * kPi * k / length) + 0.5;
    }
    tables.windowLength = length;
  }
  return tables.window;
}

// For each output bin k, the source bin trunc(k / factor) it fetches, and for
// each bin whether any output bin fetches it.
void MapBins(float factor, std::int32_t half) {
  if (tables.mappedFactor != factor || tables.mappedHalf != half) {
    std::fill(tables.isSource, tables.isSource + half + 1, false);
    for (std::int32_t k = 0; k <= half; ++k) {
      const auto source = static_cast<std::int32_t>(k / static_cast<double>(factor));
      tables.sourceBin[k] = source;
      if (source <= half) {
        tables.isSource[source] = true;
      }
    }
    tables.mappedFactor = factor;
    tables.mappedHalf = half;
  }
}

// x / divisor. When the divisor is a power of two, x times its reciprocal is
// the same number (both are x scaled by a power of two, rounded once) and
// far cheaper.
class Divisor {
 public:
  explicit Divisor(double divisor) : divisor(divisor), reciprocal(1.0 / divisor) {
    int exponent = 0;
    exact = std::frexp(divisor, &exponent) == 0.5;
  }

  double Divide(double x) const { return exact ? x * reciprocal : x / divisor; }

 private:
  double divisor;
  double reciprocal;
  bool exact;
};

// Brings a phase into -pi..pi by removing an even multiple of pi, the
// multiple rounded away from zero.
double WrapPhase(double phase) {
  std::int32_t turns = static_cast<std::int32_t>(phase / kPi);
  if (turns >= 0) {
    turns += turns & 1;
  } else {
    turns -= turns & 1;
  }
  return phase - kPi * turns;
}

struct FrameParameters {
  float factor;
  std::int32_t length;
  std::int32_t half;
  std::int32_t hop;
  std::int32_t oversampling;
  double binWidth;
  double expectedAdvance;
};

// Each fetched bin's magnitude and true frequency, from its phase advance
// since the previous frame. Bins that no output bin fetches (above 682 at
// factor 1.5, every fourth at 0.75) are not analysed. The arc tangents come
// first, in a loop of their own, so the long arithmetic that follows each of
// them overlaps across bins.
void Analyse(const FrameParameters& frame) {
  const float* workspace = state.workspace;
  const bool* isSource = tables.isSource;
  double* phase = scratch.phase;
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    if (!isSource[k]) {
      continue;
    }
    if (state.phasePending[k]) {
      state.previousPhase[k] = static_cast<float>(std::atan2(
          static_cast<double>(state.pendingIm[k]), static_cast<double>(state.pendingRe[k])));
      state.phasePending[k] = false;
    }
    phase[k] = std::atan2(static_cast<double>(workspace[2 * k + 1]),
                          static_cast<double>(workspace[2 * k]));
  }
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    if (!isSource[k]) {
      state.pendingRe[k] = workspace[2 * k];
      state.pendingIm[k] = workspace[2 * k + 1];
      state.phasePending[k] = true;
      continue;
    }
    const double re = workspace[2 * k];
    const double im = workspace[2 * k + 1];
    const double magnitude = 2.0 * std::sqrt(re * re + im * im);
    double deviation = phase[k] - state.previousPhase[k];
    state.previousPhase[k] = static_cast<float>(phase[k]);
    deviation -= k * frame.expectedAdvance;
    deviation = WrapPhase(deviation);
    deviation = frame.oversampling * deviation / (2.0 * kPi);
    state.analysisMagnitude[k] = static_cast<float>(magnitude);
    state.analysisFrequency[k] =
        static_cast<float>(k * frame.binWidth + deviation * frame.binWidth);
  }
}

// Each output bin fetches its source bin; a bin whose source is silent
// repeats the bin below it.
void MoveSpectrum(const FrameParameters& frame) {
  const std::int32_t* sourceBin = tables.sourceBin;
  float* magnitude = state.synthesisMagnitude;
  float* frequency = state.synthesisFrequency;
  std::memset(magnitude, 0, sizeof(float) * frame.length);
  std::memset(frequency, 0, sizeof(float) * frame.length);
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    const std::int32_t source = sourceBin[k];
    if (source <= frame.half) {
      if (state.analysisMagnitude[source] > magnitude[k]) {
        magnitude[k] = state.analysisMagnitude[source];
        frequency[k] = static_cast<float>(static_cast<double>(frame.factor) *
                                          state.analysisFrequency[source]);
      }
      if (frequency[k] == 0.0f && k > 0) {
        frequency[k] = frequency[k - 1];
        magnitude[k] = magnitude[k - 1];
      }
    }
  }
}

// Fresh phases for the moved spectrum. The phase sums stay within one turn:
// left to grow, they would lose a float's precision within minutes and turn
// the phases into noise.
void Synthesise(const FrameParameters& frame) {
  const Divisor oversampling(frame.oversampling);
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    double advance = (state.synthesisFrequency[k] - k * frame.binWidth) / frame.binWidth;
    advance = oversampling.Divide(2.0 * kPi * advance);
    advance += k * frame.expectedAdvance;
    state.phaseSum[k] = static_cast<float>(WrapPhase(state.phaseSum[k] + advance));
  }
  float* workspace = state.workspace;
  for (std::int32_t k = 0; k <= frame.half; ++k) {
    const double magnitude = state.synthesisMagnitude[k];
    if (magnitude == 0.0) {
      // Empty bins need no cosine: their products are zeros, whose signs no
      // later sum can carry into the output.
      workspace[2 * k] = 0.0f;
      workspace[2 * k + 1] = 0.0f;
      continue;
    }
    const double phase = state.phaseSum[k];
    workspace[2 * k] = static_cast<float>(magnitude * std::cos(phase));
    workspace[2 * k + 1] = static_cast<float>(magnitude * std::sin(phase));
  }
  std::fill(workspace + frame.length + 2, workspace + 2 * frame.length, 0.0f);
}

void ProcessFrame(float factor, std::int32_t frameLength, std::int32_t oversampling,
                  float sampleRate) {
  FrameParameters frame{};
  frame.factor = factor;
  frame.length = frameLength;
  frame.half = frameLength / 2;
  frame.hop = frameLength / oversampling;
  frame.oversampling = oversampling;
  frame.binWidth = static_cast<double>(sampleRate) / frameLength;
  frame.expectedAdvance = 2.0 * kPi * frame.hop / frameLength;
  const double* hann = HannWindow(frameLength);
  float* workspace = state.workspace;

  // The windowed frame goes straight to its bit-reversed places, the
  // arrangement the transform's permutation would make.
  const std::uint16_t* reversed = ReversedIndices(frameLength);
  for (std::int32_t k = 0; k < frameLength; ++k) {
    workspace[2 * reversed[k]] = static_cast<float>(state.inputQueue[k] * hann[k]);
    workspace[2 * reversed[k] + 1] = 0.0f;
  }
  RunStages(workspace, frameLength, -1);
  MapBins(factor, frame.half);
  Analyse(frame);
  MoveSpectrum(frame);
  Synthesise(frame);
  ComplexFft(workspace, frameLength, 1);

  // Overlap-add, windowed once more and scaled by 2 / (half * oversampling).
  const Divisor scale(frame.half * oversampling);
  float* accumulator = state.outputAccumulator;
  for (std::int32_t k = 0; k < frameLength; ++k) {
    accumulator[k] =
        static_cast<float>(accumulator[k] + scale.Divide(2.0 * hann[k] * workspace[2 * k]));
  }
  std::memcpy(state.outputQueue, accumulator, sizeof(float) * frame.hop);
  std::memmove(accumulator, accumulator + frame.hop, sizeof(float) * frameLength);
  std::memmove(state.inputQueue, state.inputQueue + frame.hop,
               sizeof(float) * (frameLength - frame.hop));
}

}  // namespace

void PitchShift(float factor, std::int32_t count, std::int32_t frameLength,
                std::int32_t oversampling, float sampleRate, const float* input,
                float* output) {
  const std::int32_t hop = frameLength / oversampling;
  const std::int32_t fillPoint = frameLength - hop;
  if (state.writePosition == 0) {
    state.writePosition = fillPoint;
  }
  if (!state.initialised) {
    std::memset(state.inputQueue, 0, sizeof state.inputQueue);
    std::memset(state.outputQueue, 0, sizeof state.outputQueue);
    std::memset(state.workspace, 0, sizeof state.workspace);
    std::memset(state.previousPhase, 0, sizeof state.previousPhase);
    std::memset(state.phasePending, 0, sizeof state.phasePending);
    std::memset(state.phaseSum, 0, sizeof state.phaseSum);
    std::memset(state.outputAccumulator, 0, sizeof state.outputAccumulator);
    std::memset(state.analysisMagnitude, 0, sizeof state.analysisMagnitude);
    std::memset(state.analysisFrequency, 0, sizeof state.analysisFrequency);
    state.initialised = true;
  }

  // Samples move in runs up to the next frame boundary. Each run's input is
  // read in full before its output is written, which keeps input == output
  // safe.
  std::int32_t done = 0;
  while (done < count) {
    const std::int32_t run = std::min(count - done, frameLength - state.writePosition);
    std::memcpy(state.inputQueue + state.writePosition, input + done, sizeof(float) * run);
    std::memcpy(output + done, state.outputQueue + (state.writePosition - fillPoint),
                sizeof(float) * run);
    state.writePosition += run;
    done += run;
    if (state.writePosition == frameLength) {
      state.writePosition = fillPoint;
      ProcessFrame(factor, frameLength, oversampling, sampleRate);
    }
  }
}

void ComplexFft(float* buffer, std::int32_t n, std::int32_t sign) {
  // Bit-reversal permutation: complex element m trades places with the
  // element whose index is m with its log2 n bits reversed.
  const std::uint16_t* reversed = ReversedIndices(n);
  for (std::int32_t m = 1; m < n - 1; ++m) {
    if (m < reversed[m]) {
      SwapComplex(buffer + 2 * m, buffer + 2 * reversed[m]);
    }
  }
  RunStages(buffer, n, sign);
}

void AllowWideTransform(bool allow) {
  wideTransformAllowed = allow;
}

void ResetPitchShiftState() {
  std::memset(&state, 0, sizeof state);
}
