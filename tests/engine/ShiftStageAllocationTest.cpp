#include "engine/ShiftStage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

// This program's array allocations can be made to fail once, on demand.
namespace {
bool failNextArrayAllocation = false;
}

void* operator new[](std::size_t size) {
  if (failNextArrayAllocation) {
    failNextArrayAllocation = false;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

void operator delete[](void* memory) noexcept {
  std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

TEST(ShiftStageAllocation, AFailedScratchAllocationThrowsAndTheNextBlockTriesAgain) {
  for (std::int32_t mode : {1, 2}) {
    ShiftStage stage(10);
    std::vector<std::int16_t> block(220, 1000);
    const std::vector<std::int16_t> original = block;
    failNextArrayAllocation = true;
    EXPECT_THROW(stage.ShiftBlock(block.data(), 440, 10, mode), std::bad_alloc) << "mode " << mode;
    EXPECT_EQ(block, original) << "mode " << mode;
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 440, 10, mode)) << "mode " << mode;
    EXPECT_FALSE(failNextArrayAllocation);
  }
}

TEST(ShiftStageAllocation, TheScratchIsAllocatedOnceForBlocksOfOneLength) {
  ShiftStage stage(-10);
  std::vector<std::int16_t> block(1212, 1000);
  stage.ShiftBlock(block.data(), 2424, -10, 2);
  failNextArrayAllocation = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 2424, -10, 2));
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 2424, -10, 1));
  }
  EXPECT_TRUE(failNextArrayAllocation);
  failNextArrayAllocation = false;
}

}  // namespace
