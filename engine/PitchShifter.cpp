#include "engine/PitchShifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// Hann window of the frame length in use, so a frame costs no cosines for it.
struct WindowTable {
  std::int32_t length;
  double values[kMaxFrame];
};

WindowTable window;

const double* HannWindow(std::int32_t length) {
  if (window.length != length) {
    for (std::int32_t k = 0; k < length; ++k) {
      window.values[k] = -0.5 * std::cos(2.0 * kPi * k / length) + 0.5;
    }
    window.length = length;
  }
  return window.values;
}

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

void ProcessFrame(float factor, std::int32_t frameLength, std::int32_t oversampling,
                  float sampleRate) {
  const std::int32_t half = frameLength / 2;
  const std::int32_t hop = frameLength / oversampling;
  const double binWidth = static_cast<double>(sampleRate) / frameLength;
  const double expectedAdvance = 2.0 * kPi * hop / frameLength;
  const double* hann = HannWindow(frameLength);
  float* workspace = state.workspace;

  for (std::int32_t k = 0; k < frameLength; ++k) {
    workspace[2 * k] = static_cast<float>(state.inputQueue[k] * hann[k]);
    workspace[2 * k + 1] = 0.0f;
  }
  ComplexFft(workspace, frameLength, -1);

  // Analysis: each bin's true frequency from its phase advance since the
  // previous frame.
  for (std::int32_t k = 0; k <= half; ++k) {
    const double re = workspace[2 * k];
    const double im = workspace[2 * k + 1];
    const double magnitude = 2.0 * std::sqrt(re * re + im * im);
    const double phase = std::atan2(im, re);
    double deviation = phase - state.previousPhase[k];
    state.previousPhase[k] = static_cast<float>(phase);
    deviation -= k * expectedAdvance;
    deviation = WrapPhase(deviation);
    deviation = oversampling * deviation / (2.0 * kPi);
    state.analysisMagnitude[k] = static_cast<float>(magnitude);
    state.analysisFrequency[k] = static_cast<float>(k * binWidth + deviation * binWidth);
  }

  // Each output bin fetches the source bin its frequency comes from.
  std::memset(state.synthesisMagnitude, 0, sizeof(float) * frameLength);
  std::memset(state.synthesisFrequency, 0, sizeof(float) * frameLength);
  for (std::int32_t k = 0; k <= half; ++k) {
    const auto source = static_cast<std::int32_t>(k / static_cast<double>(factor));
    if (source <= half) {
      if (state.analysisMagnitude[source] > state.synthesisMagnitude[k]) {
        state.synthesisMagnitude[k] = state.analysisMagnitude[source];
        state.synthesisFrequency[k] =
            static_cast<float>(static_cast<double>(factor) * state.analysisFrequency[source]);
      }
      if (state.synthesisFrequency[k] == 0.0f && k > 0) {
        state.synthesisFrequency[k] = state.synthesisFrequency[k - 1];
        state.synthesisMagnitude[k] = state.synthesisMagnitude[k - 1];
      }
    }
  }

  // Synthesis. The phase sums stay within one turn: unbounded, they would
  // lose a float's precision within minutes and turn the phases into noise.
  for (std::int32_t k = 0; k <= half; ++k) {
    double advance = (state.synthesisFrequency[k] - k * binWidth) / binWidth;
    advance = 2.0 * kPi * advance / oversampling;
    advance += k * expectedAdvance;
    state.phaseSum[k] = static_cast<float>(WrapPhase(state.phaseSum[k] + advance));
    const double magnitude = state.synthesisMagnitude[k];
    const double phase = state.phaseSum[k];
    workspace[2 * k] = static_cast<float>(magnitude * std::cos(phase));
    workspace[2 * k + 1] = static_cast<float>(magnitude * std::sin(phase));
  }
  std::fill(workspace + frameLength + 2, workspace + 2 * frameLength, 0.0f);
  ComplexFft(workspace, frameLength, 1);

  const std::int32_t scale = half * oversampling;
  float* accumulator = state.outputAccumulator;
  for (std::int32_t k = 0; k < frameLength; ++k) {
    accumulator[k] = static_cast<float>(accumulator[k] + 2.0 * hann[k] * workspace[2 * k] / scale);
  }
  std::memcpy(state.outputQueue, accumulator, sizeof(float) * hop);
  std::memmove(accumulator, accumulator + hop, sizeof(float) * frameLength);
  std::memmove(state.inputQueue, state.inputQueue + hop, sizeof(float) * (frameLength - hop));
}

// Rotation factors of every butterfly stage in the order the recurrence
// produces them: (1, 0), then repeated multiplication by (cos arg,
// sign sin arg), arg = pi / halfSpan, everything rounded to float. Stages
// do not depend on the transform size, so one table serves every size.
class TwiddleTable {
 public:
  TwiddleTable() {
    Fill(-1, forward);
    Fill(1, inverse);
  }

  // halfSpan floats pairs (ur, ui) for the stage whose butterflies join
  // elements halfSpan apart.
  const float* Stage(std::int32_t sign, std::int32_t halfSpan) const {
    return (sign < 0 ? forward : inverse) + 2 * (halfSpan - 1);
  }

 private:
  static void Fill(std::int32_t sign, float* table) {
    for (std::int32_t halfSpan = 1; halfSpan < kMaxFrame; halfSpan <<= 1) {
      float* stage = table + 2 * (halfSpan - 1);
      const auto arg = static_cast<float>(kPi / halfSpan);
      const auto wr = static_cast<float>(std::cos(static_cast<double>(arg)));
      const auto wi = static_cast<float>(sign * std::sin(static_cast<double>(arg)));
      float ur = 1.0f;
      float ui = 0.0f;
      for (std::int32_t q = 0; q < halfSpan; ++q) {
        stage[2 * q] = ur;
        stage[2 * q + 1] = ui;
        const auto nextUr = static_cast<float>(static_cast<double>(ur) * wr -
                                               static_cast<double>(ui) * wi);
        ui = static_cast<float>(static_cast<double>(ur) * wi + static_cast<double>(ui) * wr);
        ur = nextUr;
      }
    }
  }

  float forward[2 * (kMaxFrame - 1)];
  float inverse[2 * (kMaxFrame - 1)];
};

const TwiddleTable& Twiddles() {
  static const TwiddleTable table;
  return table;
}

#if defined(__SSE2__)

// Two butterflies at once: a and b hold two complex values each (re, im,
// re, im), w their two rotation factors. t = b * w is formed in double
// precision and rounded to float; then a + t and a - t in float.
inline void ButterflyPair(__m128& a, __m128& b, __m128 w) {
  const __m128d negateReal = _mm_set_pd(0.0, -0.0);
  const __m128d b0 = _mm_cvtps_pd(b);
  const __m128d b1 = _mm_cvtps_pd(_mm_movehl_ps(b, b));
  const __m128d w0 = _mm_cvtps_pd(w);
  const __m128d w1 = _mm_cvtps_pd(_mm_movehl_ps(w, w));
  // (br ur + -(bi ui), bi ur + br ui): the same roundings as
  // br ur - bi ui and br ui + bi ur.
  const __m128d t0 = _mm_add_pd(
      _mm_mul_pd(b0, _mm_unpacklo_pd(w0, w0)),
      _mm_xor_pd(_mm_mul_pd(_mm_shuffle_pd(b0, b0, 1), _mm_unpackhi_pd(w0, w0)), negateReal));
  const __m128d t1 = _mm_add_pd(
      _mm_mul_pd(b1, _mm_unpacklo_pd(w1, w1)),
      _mm_xor_pd(_mm_mul_pd(_mm_shuffle_pd(b1, b1, 1), _mm_unpackhi_pd(w1, w1)), negateReal));
  const __m128 t = _mm_movelh_ps(_mm_cvtpd_ps(t0), _mm_cvtpd_ps(t1));
  b = _mm_sub_ps(a, t);
  a = _mm_add_ps(a, t);
}

void ButterflyStage(float* data, std::int32_t n, std::int32_t halfSpan, const float* twiddle) {
  if (halfSpan == 1) {
    // Neighbours pair up: two groups per step, one butterfly each.
    const __m128 unit = _mm_setr_ps(twiddle[0], twiddle[1], twiddle[0], twiddle[1]);
    for (std::int32_t g = 0; g + 4 <= n; g += 4) {
      const __m128 x0 = _mm_loadu_ps(data + 2 * g);
      const __m128 x1 = _mm_loadu_ps(data + 2 * g + 4);
      __m128 a = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(1, 0, 1, 0));
      __m128 b = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 2, 3, 2));
      ButterflyPair(a, b, unit);
      _mm_storeu_ps(data + 2 * g, _mm_movelh_ps(a, b));
      _mm_storeu_ps(data + 2 * g + 4, _mm_movehl_ps(b, a));
    }
    if (n == 2) {
      __m128 a = _mm_loadu_ps(data);
      __m128 b = _mm_movehl_ps(a, a);
      ButterflyPair(a, b, unit);
      _mm_storeu_ps(data, _mm_movelh_ps(a, b));
    }
    return;
  }
  for (std::int32_t g = 0; g < n; g += 2 * halfSpan) {
    float* first = data + 2 * g;
    float* second = first + 2 * halfSpan;
    for (std::int32_t q = 0; q < halfSpan; q += 2) {
      __m128 a = _mm_loadu_ps(first + 2 * q);
      __m128 b = _mm_loadu_ps(second + 2 * q);
      ButterflyPair(a, b, _mm_loadu_ps(twiddle + 2 * q));
      _mm_storeu_ps(first + 2 * q, a);
      _mm_storeu_ps(second + 2 * q, b);
    }
  }
}

#else

void ButterflyStage(float* data, std::int32_t n, std::int32_t halfSpan, const float* twiddle) {
  for (std::int32_t g = 0; g < n; g += 2 * halfSpan) {
    for (std::int32_t q = 0; q < halfSpan; ++q) {
      float* p1 = data + 2 * (g + q);
      float* p2 = p1 + 2 * halfSpan;
      const double ur = twiddle[2 * q];
      const double ui = twiddle[2 * q + 1];
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
  // element whose index is m with its log2 n bits reversed. The reversed
  // index is counted up alongside m, most significant bit first.
  std::int32_t reversed = 0;
  for (std::int32_t m = 1; m < n - 1; ++m) {
    std::int32_t bit = n >> 1;
    while (reversed & bit) {
      reversed ^= bit;
      bit >>= 1;
    }
    reversed |= bit;
    if (m < reversed) {
      std::swap(buffer[2 * m], buffer[2 * reversed]);
      std::swap(buffer[2 * m + 1], buffer[2 * reversed + 1]);
    }
  }

  const TwiddleTable& twiddles = Twiddles();
  const double stages = std::log(static_cast<double>(n)) / std::log(2.0);
  std::int32_t halfSpan = 1;
  for (std::int32_t stage = 0; stage < stages; ++stage, halfSpan <<= 1) {
    ButterflyStage(buffer, n, halfSpan, twiddles.Stage(sign, halfSpan));
  }
}

void ResetPitchShiftState() {
  std::memset(&state, 0, sizeof state);
}
