#pragma once

#include <cstdint>

// In-place radix-2 transform of n complex values stored interleaved (2n
// floats). sign -1: forward (kernel e^-2pi i nk/n), +1: inverse; neither
// direction scales. n is a power of two of at most 8192.
//
// Arithmetic: values are loaded from single precision, combined in double
// precision and rounded to single precision where stored, always in the same
// order, so the result does not depend on the vector path taken.
void ComplexFft(float* buffer, std::int32_t n, std::int32_t sign);

// ComplexFft of values already in bit-reversed order: the transform without
// its permutation, for callers that write their input straight to the
// permuted places.
void ComplexFftOfReordered(float* buffer, std::int32_t n, std::int32_t sign);

// For each element of a transform of n, the index with its log2 n bits
// reversed: where ComplexFft's permutation moves it.
const std::uint16_t* BitReversedIndices(std::int32_t n);

// Whether the transform may use AVX where the processor has it (the
// default). The result is the same either way; tests switch it off to check
// the narrower path as well. The engine never calls it.
void AllowWideTransform(bool allow);
