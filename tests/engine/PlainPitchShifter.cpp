#include "engine/PlainPitchShifter.h"

#include <cmath>
#include <utility>

namespace {

constexpr double kPi = 3.14159265358979323846;

double Window(std::int32_t k, std::int32_t frameLength) {
  return -0.5 * std::cos(2.0 * kPi * k / frameLength) + 0.5;
}

double WrapPhase(double phase) {
  std::int32_t q = static_cast<std::int32_t>(phase / kPi);
  if (q >= 0) {
    q += q & 1;
  } else {
    q -= q & 1;
  }
  return phase - kPi * q;
}

}  // namespace

PlainPitchShifter::PlainPitchShifter()
    : inputQueue(8192),
      outputQueue(8192),
      workspace(16384),
      previousPhase(4096),
      phaseSum(4096),
      outputAccumulator(16384),
      analysisMagnitude(8192),
      analysisFrequency(8192),
      synthesisMagnitude(8192),
      synthesisFrequency(8192) {}

void PlainPitchShifter::Process(float factor, std::int32_t count, std::int32_t frameLength,
                                std::int32_t oversampling, float sampleRate, const float* input,
                                float* output) {
  const std::int32_t hop = frameLength / oversampling;
  const std::int32_t fillPoint = frameLength - hop;
  if (writePosition == 0) {
    writePosition = fillPoint;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    inputQueue[writePosition] = input[i];
    output[i] = outputQueue[writePosition - fillPoint];
    ++writePosition;
    if (writePosition >= frameLength) {
      writePosition = fillPoint;
      ProcessFrame(factor, frameLength, oversampling, sampleRate);
    }
  }
}

void PlainPitchShifter::ProcessFrame(float factor, std::int32_t frameLength,
                                     std::int32_t oversampling, float sampleRate) {
  const std::int32_t half = frameLength / 2;
  const std::int32_t hop = frameLength / oversampling;
  const double binWidth = static_cast<double>(sampleRate) / frameLength;
  const double expected = 2.0 * kPi * hop / frameLength;

  for (std::int32_t k = 0; k < frameLength; ++k) {
    workspace[2 * k] = static_cast<float>(inputQueue[k] * Window(k, frameLength));
    workspace[2 * k + 1] = 0.0f;
  }
  ComplexFft(workspace.data(), frameLength, -1);

  for (std::int32_t k = 0; k <= half; ++k) {
    const double re = workspace[2 * k];
    const double im = workspace[2 * k + 1];
    const double magnitude = 2.0 * std::sqrt(re * re + im * im);
    const double phase = std::atan2(im, re);
    double d = phase - previousPhase[k];
    previousPhase[k] = static_cast<float>(phase);
    d -= k * expected;
    d = WrapPhase(d);
    d = oversampling * d / (2.0 * kPi);
    analysisMagnitude[k] = static_cast<float>(magnitude);
    analysisFrequency[k] = static_cast<float>(k * binWidth + d * binWidth);
  }

  for (std::int32_t k = 0; k < frameLength; ++k) {
    synthesisMagnitude[k] = 0.0f;
    synthesisFrequency[k] = 0.0f;
  }
  for (std::int32_t k = 0; k <= half; ++k) {
    const auto s = static_cast<std::int32_t>(k / static_cast<double>(factor));
    if (s <= half) {
      if (analysisMagnitude[s] > synthesisMagnitude[k]) {
        synthesisMagnitude[k] = analysisMagnitude[s];
        synthesisFrequency[k] = static_cast<float>(static_cast<double>(factor) * analysisFrequency[s]);
      }
      if (synthesisFrequency[k] == 0.0f && k > 0) {
        synthesisFrequency[k] = synthesisFrequency[k - 1];
        synthesisMagnitude[k] = synthesisMagnitude[k - 1];
      }
    }
  }

  for (std::int32_t k = 0; k <= half; ++k) {
    double d = (synthesisFrequency[k] - k * binWidth) / binWidth;
    d = 2.0 * kPi * d / oversampling;
    d += k * expected;
    phaseSum[k] = static_cast<float>(WrapPhase(phaseSum[k] + d));
    const double m = synthesisMagnitude[k];
    workspace[2 * k] = static_cast<float>(m * std::cos(static_cast<double>(phaseSum[k])));
    workspace[2 * k + 1] = static_cast<float>(m * std::sin(static_cast<double>(phaseSum[k])));
  }
  for (std::int32_t k = frameLength + 2; k < 2 * frameLength; ++k) {
    workspace[k] = 0.0f;
  }
  ComplexFft(workspace.data(), frameLength, 1);

  for (std::int32_t k = 0; k < frameLength; ++k) {
    outputAccumulator[k] = static_cast<float>(
        outputAccumulator[k] +
        2.0 * Window(k, frameLength) * workspace[2 * k] / (half * oversampling));
  }
  for (std::int32_t k = 0; k < hop; ++k) {
    outputQueue[k] = outputAccumulator[k];
  }
  for (std::int32_t k = 0; k < frameLength; ++k) {
    outputAccumulator[k] = outputAccumulator[k + hop];
  }
  for (std::int32_t k = 0; k < frameLength - hop; ++k) {
    inputQueue[k] = inputQueue[k + hop];
  }
}

void PlainPitchShifter::ComplexFft(float* buffer, std::int32_t n, std::int32_t sign) {
  for (std::int32_t i = 2; i < 2 * n - 2; i += 2) {
    std::int32_t j = 0;
    for (std::int32_t bitm = 2; bitm < 2 * n; bitm <<= 1) {
      if (i & bitm) {
        ++j;
      }
      j <<= 1;
    }
    if (i < j) {
      std::swap(buffer[i], buffer[j]);
      std::swap(buffer[i + 1], buffer[j + 1]);
    }
  }
  std::int32_t le = 2;
  for (std::int32_t t = 0; t < std::log(static_cast<double>(n)) / std::log(2.0); ++t) {
    le <<= 1;
    const std::int32_t le2 = le >> 1;
    float ur = 1.0f;
    float ui = 0.0f;
    const auto arg = static_cast<float>(kPi / (le2 >> 1));
    const auto wr = static_cast<float>(std::cos(static_cast<double>(arg)));
    const auto wi = static_cast<float>(sign * std::sin(static_cast<double>(arg)));
    for (std::int32_t j = 0; j < le2; j += 2) {
      for (std::int32_t i = j; i < 2 * n; i += le) {
        float* p1 = buffer + i;
        float* p2 = buffer + i + le2;
        const auto tr = static_cast<float>(static_cast<double>(p2[0]) * ur -
                                           static_cast<double>(p2[1]) * ui);
        const auto ti = static_cast<float>(static_cast<double>(p2[0]) * ui +
                                           static_cast<double>(p2[1]) * ur);
        p2[0] = p1[0] - tr;
        p2[1] = p1[1] - ti;
        p1[0] = p1[0] + tr;
        p1[1] = p1[1] + ti;
      }
      const auto tmp = static_cast<float>(static_cast<double>(ur) * wr -
                                          static_cast<double>(ui) * wi);
      ui = static_cast<float>(static_cast<double>(ur) * wi + static_cast<double>(ui) * wr);
      ur = tmp;
    }
  }
}
