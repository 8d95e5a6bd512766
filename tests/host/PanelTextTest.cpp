#include "host/panel/PanelText.h"

#include <gtest/gtest.h>

#include "common/ParameterRanges.h"
#include "host/panel/HeardDelay.h"

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

TEST(HeardDelayPlan, DelayIsTheWantedDelayLessTheDevicesRoundedAndHeldInRange) {
  const HeardDelayPlan within = PlanHeardDelay(150, 58.4);
  EXPECT_EQ(92, within.neededDelayMs);
  EXPECT_EQ(92, within.delayMs);
  EXPECT_FALSE(within.BelowRange());
  EXPECT_FALSE(within.AboveRange());
  EXPECT_EQ(L"DELAY 92 ms + devices 58 ms = 150 ms heard.", HeardDelayNote(within));

  // The ends of the range themselves are no reason to complain.
  EXPECT_EQ(kDelayRangeMs.low, PlanHeardDelay(kDelayRangeMs.low + 60, 60.4).delayMs);
  EXPECT_FALSE(PlanHeardDelay(kDelayRangeMs.low + 60, 60.4).BelowRange());
  EXPECT_EQ(kDelayRangeMs.high, PlanHeardDelay(kDelayRangeMs.high + 60, 59.6).delayMs);
  EXPECT_FALSE(PlanHeardDelay(kDelayRangeMs.high + 60, 59.6).AboveRange());

  const HeardDelayPlan below = PlanHeardDelay(80, 57.6);
  EXPECT_EQ(22, below.neededDelayMs);
  EXPECT_EQ(kDelayRangeMs.low, below.delayMs);
  EXPECT_TRUE(below.BelowRange());
  EXPECT_DOUBLE_EQ(97.6, below.HeardMs());
  EXPECT_EQ(L"80 ms cannot be had with these devices: it needs DELAY 22 ms, below the lowest DELAY, 40 ms. "
            L"DELAY is 40 ms, so you hear 98 ms.",
            HeardDelayNote(below));

  const HeardDelayPlan above = PlanHeardDelay(300, 57.6);
  EXPECT_EQ(242, above.neededDelayMs);
  EXPECT_EQ(kDelayRangeMs.high, above.delayMs);
  EXPECT_TRUE(above.AboveRange());
  EXPECT_EQ(L"300 ms cannot be had with these devices: it needs DELAY 242 ms, above the highest DELAY, 220 ms. "
            L"DELAY is 220 ms, so you hear 278 ms.",
            HeardDelayNote(above));

  // A wanted delay below what the devices alone add needs a negative DELAY.
  EXPECT_EQ(-18, PlanHeardDelay(40, 57.6).neededDelayMs);
  EXPECT_EQ(kDelayRangeMs.low, PlanHeardDelay(40, 57.6).delayMs);
}
