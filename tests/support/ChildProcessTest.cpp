#include "support/ChildProcess.h"

#include <gtest/gtest.h>

namespace {

TEST(ChildProcess, AProgramThatEndsGivesAllItPrintedAndItsStatus) {
  const ChildProcessResult run = RunChildProcess(L"cmd.exe /c \"echo first& echo second 1>&2& exit 3\"");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_NE(run.output.find("first"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("second"), std::string::npos) << run.output;
}

// The program goes on for seconds after its first line (a program it
// started holds the output open even longer); the time-out ends the wait
// and keeps what was printed.
TEST(ChildProcess, AProgramStillRunningAtItsTimeOutIsEndedWithWhatItPrintedSoFar) {
  const ChildProcessResult run = RunChildProcess(L"cmd.exe /c \"echo started& ping -n 9 127.0.0.1\"", 4000);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_NE(run.output.find("started"), std::string::npos) << run.output;
}

TEST(ChildProcess, AProgramThatCannotStartIsReportedSo) {
  const ChildProcessResult run = RunChildProcess(L"no-such-program-anywhere.exe", 1000);
  EXPECT_FALSE(run.started);
  EXPECT_TRUE(run.output.empty());
}

}  // namespace
