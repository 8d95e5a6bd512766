#include "engine/CaptureGeometry.h"

#include <gtest/gtest.h>

namespace {

struct GeometryCase {
  std::int32_t delayMs;
  std::uint32_t segmentBytes;
  std::uint32_t bufferBytes;
};

class CaptureGeometryTest : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(CaptureGeometryTest, SixteenSegmentsOfAQuarterDelayInWholeSamples) {
  const GeometryCase expected = GetParam();
  const CaptureGeometry geometry = ComputeCaptureGeometry(expected.delayMs, 44100, 2);
  EXPECT_EQ(geometry.segmentBytes, expected.segmentBytes) << "delay " << expected.delayMs;
  EXPECT_EQ(geometry.bufferBytes, expected.bufferBytes) << "delay " << expected.delayMs;
}

// 50 ms: the quarter 551 is rounded down to the whole sample 550.
INSTANTIATE_TEST_SUITE_P(Delays, CaptureGeometryTest,
                         ::testing::Values(GeometryCase{40, 440, 7040}, GeometryCase{41, 452, 7232},
                                           GeometryCase{50, 550, 8800}, GeometryCase{100, 1102, 17632},
                                           GeometryCase{220, 2424, 38784}));

TEST(CaptureGeometry, EveryLegalDelayGivesEvenSegmentsFromTheFlooredDelayBytes) {
  for (std::int32_t delay = 40; delay <= 220; ++delay) {
    const std::uint32_t delayBytes = static_cast<std::uint32_t>(delay) * 44100 / 1000;
    const CaptureGeometry geometry = ComputeCaptureGeometry(delay, 44100, 2);
    EXPECT_EQ(geometry.segmentBytes, delayBytes / 4 / 2 * 2) << "delay " << delay;
    EXPECT_EQ(geometry.bufferBytes, geometry.segmentBytes * 16) << "delay " << delay;
  }
}

}  // namespace
