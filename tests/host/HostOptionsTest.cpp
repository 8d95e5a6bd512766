#include "host/DelayRamp.h"
#include "host/HostOptions.h"

#include <gtest/gtest.h>

namespace {

HostOptionsResult Parse(std::vector<std::string> args) { return ParseHostOptions(args); }

TEST(HostOptions, DefaultsMatchTheComponentsDefaults) {
  const HostOptionsResult result = Parse({});
  ASSERT_EQ(result.error, "");
  EXPECT_EQ(result.options.delayMs, 40);
  EXPECT_EQ(result.options.frequencyShift, 0);
  EXPECT_EQ(result.options.shiftMethod, ShiftMethod::PhaseVocoder);
  EXPECT_EQ(result.options.volume, 100);
  EXPECT_FALSE(result.options.seconds.has_value());
  EXPECT_FALSE(result.options.ramp.has_value());
}

TEST(HostOptions, AcceptsEveryOptionAtItsBounds) {
  const HostOptionsResult result =
      Parse({"--delay", "220", "--shift", "-10", "--mode", "2", "--volume", "0", "--seconds", "2.5", "--log", "x.csv"});
  ASSERT_EQ(result.error, "");
  EXPECT_EQ(result.options.delayMs, 220);
  EXPECT_EQ(result.options.frequencyShift, -10);
  EXPECT_EQ(result.options.shiftMethod, ShiftMethod::Resampling);
  EXPECT_EQ(result.options.volume, 0);
  EXPECT_DOUBLE_EQ(result.options.seconds.value(), 2.5);
  EXPECT_EQ(result.options.logPath, "x.csv");
}

TEST(HostOptions, RejectsValuesOutsideTheComponentsRanges) {
  EXPECT_EQ(Parse({"--delay", "39"}).error, "invalid value for --delay: 39");
  EXPECT_NE(Parse({"--delay", "221"}).error, "");
  EXPECT_NE(Parse({"--shift", "11"}).error, "");
  EXPECT_NE(Parse({"--shift", "-11"}).error, "");
  EXPECT_NE(Parse({"--mode", "0"}).error, "");
  EXPECT_NE(Parse({"--mode", "3"}).error, "");
  EXPECT_NE(Parse({"--volume", "101"}).error, "");
  EXPECT_NE(Parse({"--volume", "-1"}).error, "");
  EXPECT_NE(Parse({"--seconds", "0"}).error, "");
  EXPECT_NE(Parse({"--seconds", "nan"}).error, "");
}

TEST(HostOptions, RejectsMalformedArguments) {
  EXPECT_EQ(Parse({"--delay"}).error, "missing value for --delay");
  EXPECT_EQ(Parse({"--colour", "red"}).error, "unknown argument --colour");
  EXPECT_EQ(Parse({"stray"}).error, "unknown argument stray");
  EXPECT_NE(Parse({"--delay", "50ms"}).error, "");
  EXPECT_NE(Parse({"--delay", ""}).error, "");
  EXPECT_NE(Parse({"--delay", "99999999999999999999"}).error, "");
  EXPECT_NE(Parse({"--log", ""}).error, "");
}

TEST(HostOptions, RampSetsTheStartingDelay) {
  const HostOptionsResult result = Parse({"--delay", "100", "--ramp", "200:60:300"});
  ASSERT_EQ(result.error, "");
  ASSERT_TRUE(result.options.ramp.has_value());
  EXPECT_EQ(result.options.ramp->fromMs, 200);
  EXPECT_EQ(result.options.ramp->toMs, 60);
  EXPECT_DOUBLE_EQ(result.options.ramp->seconds, 300);
  EXPECT_EQ(result.options.delayMs, 200);
}

TEST(HostOptions, RejectsMalformedRamps) {
  EXPECT_NE(Parse({"--ramp", "200:60"}).error, "");
  EXPECT_NE(Parse({"--ramp", "200:30:10"}).error, "");
  EXPECT_NE(Parse({"--ramp", "200:60:0"}).error, "");
  EXPECT_NE(Parse({"--ramp", "a:60:10"}).error, "");
  EXPECT_NE(Parse({"--ramp", "::"}).error, "");
}

TEST(HostOptions, MeasureTakesTheDelayAndNoSessionOptions) {
  const HostOptionsResult result = Parse({"--measure", "--delay", "100", "--log", "m.csv"});
  ASSERT_EQ(result.error, "");
  EXPECT_TRUE(result.options.measure);
  EXPECT_EQ(result.options.delayMs, 100);
  EXPECT_FALSE(Parse({"--delay", "100"}).options.measure);
  EXPECT_EQ(Parse({"--measure", "--ramp", "200:60:300"}).error, "--measure takes no --ramp or --seconds");
  EXPECT_EQ(Parse({"--seconds", "5", "--measure"}).error, "--measure takes no --ramp or --seconds");
}

TEST(HostOptions, HelpIsRecognised) {
  EXPECT_TRUE(Parse({"--help"}).options.showHelp);
  EXPECT_TRUE(Parse({"-h"}).options.showHelp);
}

TEST(HostOptions, UsageGivesTheRangesWholly) {
  const std::string usage = HostUsage();
  EXPECT_NE(usage.find("  --delay MS          feedback delay, 40..220 ms (default 40)\n"), std::string::npos) << usage;
  EXPECT_NE(usage.find("  --shift N           frequency shift in steps, -10..10 (default 0)\n"), std::string::npos)
      << usage;
  EXPECT_NE(usage.find("  --volume PCT        playback volume, 0..100 (default 100)\n"), std::string::npos) << usage;
  EXPECT_NE(usage.find("       rynhost --measure [--delay MS] [--log FILE.csv]\n"), std::string::npos) << usage;
  EXPECT_EQ(usage.rfind("  2 bad arguments\n"), usage.size() - std::string("  2 bad arguments\n").size()) << usage;
}

TEST(DelayRamp, MovesInTenMillisecondStepsAndEndsExactly) {
  const DelayRampSpec down{200, 100, 100};
  EXPECT_EQ(DelayAt(down, 0), 200);
  EXPECT_EQ(DelayAt(down, 9.9), 200);
  EXPECT_EQ(DelayAt(down, 10.0), 190);
  EXPECT_EQ(DelayAt(down, 55), 150);
  EXPECT_EQ(DelayAt(down, 99.9), 110);
  EXPECT_EQ(DelayAt(down, 100), 100);
  EXPECT_EQ(DelayAt(down, 1e9), 100);

  const DelayRampSpec up{40, 65, 10};
  EXPECT_EQ(DelayAt(up, 3.9), 40);
  EXPECT_EQ(DelayAt(up, 4.0), 50);
  EXPECT_EQ(DelayAt(up, 9.99), 60);
  EXPECT_EQ(DelayAt(up, 10), 65);
}

TEST(DelayRamp, NeverLeavesTheSpanBetweenItsEnds) {
  const DelayRampSpec ramp{220, 40, 37};
  for (double t = -1; t < 40; t += 0.01) {
    const std::int32_t delay = DelayAt(ramp, t);
    ASSERT_GE(delay, 40) << t;
    ASSERT_LE(delay, 220) << t;
  }
}

}  // namespace
