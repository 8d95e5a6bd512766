// The resource counter the suites rely on sees what a process takes and
// gives back; a counter that always answered the same would let every leak
// pass.

#include "support/ProcessResources.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/UniqueHandle.h"

namespace {

TEST(ProcessResourcesCounter, CountsEventsAndTheirClosing) {
  const std::int64_t before = ProcessResources::CountHandles();
  {
    std::vector<UniqueHandle> events;
    for (int i = 0; i < 100; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(before + 100, ProcessResources::CountHandles());
  }
  EXPECT_EQ(before, ProcessResources::CountHandles());
}

TEST(ProcessResourcesCounter, NamesTheHandlesOpenedSinceASnapshot) {
  const std::vector<std::uintptr_t> before = ProcessResources::OpenHandles();
  EXPECT_EQ("none", DescribeNewHandles(before));
  const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%llx Event",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(event.get())));
  EXPECT_EQ(expected, DescribeNewHandles(before));
}

TEST(ProcessResourcesCounter, CountsAThreadWhileItRuns) {
  const std::int64_t before = ProcessResources::CountThreads();
  ASSERT_GT(before, 0);
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread worker([&] { WaitForSingleObject(release.get(), INFINITE); });
  EXPECT_EQ(before + 1, ProcessResources::CountThreads());
  SetEvent(release.get());
  worker.join();
  EXPECT_EQ(before, ProcessResources::CountThreads());
}

TEST(ProcessResourcesCounter, SeesTouchedMemory) {
  ProcessResources before;
  ProcessResources::ReadMemory(before.residentKiB, before.dataKiB);
  ASSERT_GT(before.residentKiB, 0) << "the process status cannot be read";
  constexpr std::size_t kBytes = 64u << 20;
  std::vector<char> block(kBytes);
  std::memset(block.data(), 1, kBytes);
  ProcessResources after;
  ProcessResources::ReadMemory(after.residentKiB, after.dataKiB);
  EXPECT_GE(after.residentKiB - before.residentKiB, 60 * 1024);
  EXPECT_GE(after.dataKiB - before.dataKiB, 60 * 1024);
  EXPECT_EQ(1, block[kBytes - 1]);
}

}  // namespace
