#include "engine/ReportedDelay.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportedDelay, LiesAThirdOfTheWayToTheMeasurementTruncatedTowardZero) {
  EXPECT_EQ(ReportedDelay(40, 100), 60);
  EXPECT_EQ(ReportedDelay(40, 38), 40);  // -2 / 3 is 0
  EXPECT_EQ(ReportedDelay(40, 30), 37);  // -10 / 3 is -3
  EXPECT_EQ(ReportedDelay(220, 250), 230);
  EXPECT_EQ(ReportedDelay(220, 2000), 813);
}

TEST(ReportedDelay, IsZeroOnlyWhileNothingWasMeasured) {
  EXPECT_EQ(ReportedDelay(40, 0), 0);
  EXPECT_EQ(ReportedDelay(220, 0), 0);
  EXPECT_EQ(ReportedDelay(40, 1), 27);
}

TEST(ReportedDelay, ExtremeMeasurementsDoNotOverflow) {
  EXPECT_EQ(ReportedDelay(220, INT32_MIN), 220 + (static_cast<std::int64_t>(INT32_MIN) - 220) / 3);
  EXPECT_EQ(ReportedDelay(40, INT32_MAX), 40 + (static_cast<std::int64_t>(INT32_MAX) - 40) / 3);
}

}  // namespace
