#include "host/panel/PanelText.h"

#include <gtest/gtest.h>

TEST(PanelText, ShiftFactorRisesFivePercentAndFallsTwoAndAHalfPercentPerStep) {
  EXPECT_DOUBLE_EQ(0.75, ShiftFactor(-10));
  EXPECT_DOUBLE_EQ(0.975, ShiftFactor(-1));
  EXPECT_DOUBLE_EQ(1.0, ShiftFactor(0));
  EXPECT_DOUBLE_EQ(1.05, ShiftFactor(1));
  EXPECT_DOUBLE_EQ(1.5, ShiftFactor(10));
  EXPECT_EQ(L"+3 (\u00D71.150)", ShiftText(3));
  EXPECT_EQ(L"-4 (\u00D70.900)", ShiftText(-4));
}

TEST(PanelText, ClockShowsWholeHoursMinutesAndSeconds) {
  EXPECT_EQ(L"0:00:00", ClockText(0.9));
  EXPECT_EQ(L"0:01:05", ClockText(65.2));
  EXPECT_EQ(L"1:02:03", ClockText(3723.99));
}
