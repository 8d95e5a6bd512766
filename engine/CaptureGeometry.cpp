#include "engine/CaptureGeometry.h"

CaptureGeometry ComputeCaptureGeometry(std::int32_t delayMs, std::uint32_t bytesPerSecond, std::uint32_t blockAlign) {
  const auto delayBytes = static_cast<std::uint32_t>(static_cast<double>(delayMs) / 1000.0 * bytesPerSecond);
  const std::uint32_t quarter = delayBytes / 4;
  const std::uint32_t segment = blockAlign == 0 ? quarter : quarter / blockAlign * blockAlign;
  return CaptureGeometry{segment, segment * CaptureGeometry::kSegments};
}
