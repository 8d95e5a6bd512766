#pragma once

#include <cstdint>

// Phase-vocoder pitch shifter: multiplies every frequency of a continuous
// stream by `factor` while keeping its duration. Frames of frameLength samples
// (a power of two, at most 4096) advance by frameLength / oversampling; the
// output lags the input by one frame length.
//
// The stream state is one process-wide set of fixed arrays, cleared on the
// first call, so consecutive calls form one stream wherever their boundaries
// fall. Only one thread may call at a time; frameLength, oversampling and
// sampleRate must stay the same on every call. input and output may be the
// same array (not otherwise overlapping). Allocates nothing, cannot fail.
void PitchShift(float factor, std::int32_t count, std::int32_t frameLength,
                std::int32_t oversampling, float sampleRate, const float* input,
                float* output);

// In-place radix-2 transform of n complex values stored interleaved (2n
// floats). sign -1: forward (kernel e^-2pi i nk/n), +1: inverse; neither
// direction scales. n is a power of two of at most 8192.
void ComplexFft(float* buffer, std::int32_t n, std::int32_t sign);

// Whether the transform may use AVX where the processor has it (the
// default). The result is the same either way; tests switch it off to check
// the narrower path as well. The engine never calls it.
void AllowWideTransform(bool allow);

// Returns the process-wide stream state to what it is when the module loads.
// For tests, which need independent streams; the engine never calls it.
void ResetPitchShiftState();
