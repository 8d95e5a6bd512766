#include "host/LiveControls.h"

#include <gtest/gtest.h>

namespace {

TEST(LiveControls, DelayKeysStepByTenAndStopAtTheBounds) {
  LiveSettings settings;
  settings.delayMs = 210;
  KeyCommand command = ApplyKey('+', settings);
  EXPECT_EQ(command.action, KeyAction::SetDelay);
  EXPECT_EQ(command.value, 220);
  EXPECT_EQ(ApplyKey('=', settings).action, KeyAction::None) << "past 220";
  EXPECT_EQ(settings.delayMs, 220);

  settings.delayMs = 50;
  command = ApplyKey('-', settings);
  EXPECT_EQ(command.action, KeyAction::SetDelay);
  EXPECT_EQ(command.value, 40);
  EXPECT_EQ(ApplyKey('-', settings).action, KeyAction::None) << "below 40";
  EXPECT_EQ(settings.delayMs, 40);
}

TEST(LiveControls, AnOddDelayKeepsItsStepsUntilABound) {
  LiveSettings settings;
  settings.delayMs = 215;
  EXPECT_EQ(ApplyKey('+', settings).action, KeyAction::None);
  EXPECT_EQ(ApplyKey('-', settings).value, 205);
}

TEST(LiveControls, ShiftKeysStepByOneWithinTen) {
  LiveSettings settings;
  settings.frequencyShift = 9;
  EXPECT_EQ(ApplyKey(']', settings).value, 10);
  EXPECT_EQ(ApplyKey(']', settings).action, KeyAction::None);
  settings.frequencyShift = -9;
  const KeyCommand command = ApplyKey('[', settings);
  EXPECT_EQ(command.action, KeyAction::SetFrequencyShift);
  EXPECT_EQ(command.value, -10);
  EXPECT_EQ(ApplyKey('[', settings).action, KeyAction::None);
  EXPECT_EQ(settings.frequencyShift, -10);
}

TEST(LiveControls, MethodKeyAlternatesBetweenTheTwoMethods) {
  LiveSettings settings;
  KeyCommand command = ApplyKey('m', settings);
  EXPECT_EQ(command.action, KeyAction::SetZelMode);
  EXPECT_EQ(command.value, 2);
  EXPECT_EQ(ApplyKey('M', settings).value, 1);
  EXPECT_EQ(settings.shiftMethod, ShiftMethod::PhaseVocoder);
}

TEST(LiveControls, VolumeKeysStepByTenWithinZeroToHundred) {
  LiveSettings settings;
  EXPECT_EQ(ApplyKey('>', settings).action, KeyAction::None) << "already 100";
  EXPECT_EQ(ApplyKey('<', settings).value, 90);
  EXPECT_EQ(ApplyKey(',', settings).value, 80);
  EXPECT_EQ(ApplyKey('.', settings).value, 90);
  settings.volume = 0;
  EXPECT_EQ(ApplyKey('<', settings).action, KeyAction::None);
  EXPECT_EQ(settings.volume, 0);
}

TEST(LiveControls, PauseKeyAlternatesPauseAndResume) {
  LiveSettings settings;
  EXPECT_EQ(ApplyKey('p', settings).action, KeyAction::Pause);
  EXPECT_TRUE(settings.paused);
  EXPECT_EQ(ApplyKey(' ', settings).action, KeyAction::Resume);
  EXPECT_FALSE(settings.paused);
}

TEST(LiveControls, QuitAndUnknownKeys) {
  LiveSettings settings;
  EXPECT_EQ(ApplyKey('q', settings).action, KeyAction::Quit);
  EXPECT_EQ(ApplyKey(27, settings).action, KeyAction::Quit);
  for (int key : {int{'\n'}, int{'\r'}, int{'x'}, int{'0'}, 0xE0}) {
    const LiveSettings before = settings;
    EXPECT_EQ(ApplyKey(key, settings).action, KeyAction::None) << key;
    EXPECT_EQ(settings.delayMs, before.delayMs);
    EXPECT_EQ(settings.paused, before.paused);
  }
}

TEST(LiveControls, StatusLineShowsEverySettingAndTheReportedDelay) {
  LiveSettings settings{150, -5, ShiftMethod::Resampling, 70, true};
  EXPECT_EQ(FormatStatus(settings, 153, 12.34),
            "delay 150 ms  reported 153 ms  shift  -5  method 2  volume  70%    12.3 s  paused");
  EXPECT_EQ(FormatStatus(settings, std::nullopt, 12.34),
            "delay 150 ms  reported starting  shift  -5  method 2  volume  70%    12.3 s  paused");
}

TEST(LiveControls, LogRowsMatchTheHeader) {
  EXPECT_STREQ(LogHeader(),
               "time_s,configured_delay_ms,reported_delay_ms,frequency_shift,zel_mode,volume,paused,device_latency_ms");
  LiveSettings settings{100, 3, ShiftMethod::PhaseVocoder, 90, false};
  EXPECT_EQ(FormatLogRow(2.04, settings, 104), "2.0,100,104,3,1,90,0,");
  EXPECT_EQ(FormatLogRow(2.04, settings, 104, 57.63), "2.0,100,104,3,1,90,0,57.6");
}

}  // namespace
