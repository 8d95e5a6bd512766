#pragma once

#include <cstdint>

// Layout of the looping capture buffer for a delay: 16 segments, each a
// quarter of the delay rounded down to whole samples, so that a block written
// three segments ahead of the play cursor is heard one delay after its
// capture began.
struct CaptureGeometry {
  static constexpr std::uint32_t kSegments = 16;

  std::uint32_t segmentBytes;
  std::uint32_t bufferBytes;
};

CaptureGeometry ComputeCaptureGeometry(std::int32_t delayMs, std::uint32_t bytesPerSecond, std::uint32_t blockAlign);
