#include "engine/SampleConversion.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(SampleConversion, FullScaleIs32767) {
  EXPECT_EQ(SampleToFloat(32767), 1.0f);
  EXPECT_EQ(SampleToFloat(0), 0.0f);
  EXPECT_LT(SampleToFloat(-32768), -1.0f);
  EXPECT_EQ(SampleFromFloat(1.0f), 32767);
  EXPECT_EQ(SampleFromFloat(-1.0f), -32767);
}

TEST(SampleConversion, RoundTripKeepsOrMovesEachValueOneStepTowardZero) {
  EXPECT_EQ(SampleFromFloat(SampleToFloat(-32768)), -32767);
  EXPECT_EQ(SampleFromFloat(SampleToFloat(32735)), 32734);
  EXPECT_EQ(SampleFromFloat(SampleToFloat(32767)), 32767);
  int moved = 0;
  for (std::int32_t s = -32768; s <= 32767; ++s) {
    const std::int16_t back = SampleFromFloat(SampleToFloat(static_cast<std::int16_t>(s)));
    const std::int32_t towardZero = s > 0 ? s - 1 : s < 0 ? s + 1 : s;
    ASSERT_TRUE(back == s || back == towardZero) << s << " came back as " << back;
    moved += back != s;
  }
  // About half of all values move.
  EXPECT_GT(moved, 65536 / 4);
  EXPECT_LT(moved, 3 * 65536 / 4);
}

TEST(SampleConversion, TruncatesTowardZero) {
  EXPECT_EQ(SampleFromScaled(1.99), 1);
  EXPECT_EQ(SampleFromScaled(-1.99), -1);
  EXPECT_EQ(SampleFromScaled(-0.5), 0);
  EXPECT_EQ(SampleFromScaled(32766.999), 32766);
  EXPECT_EQ(SampleFromScaled(-32767.999), -32767);
}

TEST(SampleConversion, SaturatesAtBothEnds) {
  EXPECT_EQ(SampleFromScaled(32767.5), 32767);
  EXPECT_EQ(SampleFromScaled(32768.0), 32767);
  EXPECT_EQ(SampleFromScaled(40000.0), 32767);  // wrapping would give -25536
  EXPECT_EQ(SampleFromScaled(1e12), 32767);
  EXPECT_EQ(SampleFromScaled(-32768.0), -32768);
  EXPECT_EQ(SampleFromScaled(-32768.9), -32768);
  EXPECT_EQ(SampleFromScaled(-40000.0), -32768);  // wrapping would give 25536
  EXPECT_EQ(SampleFromScaled(-1e12), -32768);
  EXPECT_EQ(SampleFromFloat(1.5f), 32767);
  EXPECT_EQ(SampleFromFloat(-1.5f), -32768);
}

}  // namespace
