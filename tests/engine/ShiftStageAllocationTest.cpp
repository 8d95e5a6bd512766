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
  for (ShiftMethod method : {ShiftMethod::PhaseVocoder, ShiftMethod::Resampling}) {
    ShiftStage stage(10);
    std::vector<std::int16_t> block(220, 1000);
    const std::vector<std::int16_t> original = block;
    failNextArrayAllocation = true;
    EXPECT_THROW(stage.ShiftBlock(block.data(), 440, 10, method), std::bad_alloc) << "method " << ZelModeOf(method);
    EXPECT_EQ(block, original) << "method " << ZelModeOf(method);
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 440, 10, method)) << "method " << ZelModeOf(method);
    EXPECT_FALSE(failNextArrayAllocation);
  }
}

TEST(ShiftStageAllocation, TheScratchIsAllocatedOnceForBlocksOfOneLength) {
  ShiftStage stage(-10);
  std::vector<std::int16_t> block(1212, 1000);
  stage.ShiftBlock(block.data(), 2424, -10, ShiftMethod::Resampling);
  failNextArrayAllocation = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 2424, -10, ShiftMethod::Resampling));
    EXPECT_NO_THROW(stage.ShiftBlock(block.data(), 2424, -10, ShiftMethod::PhaseVocoder));
  }
  EXPECT_TRUE(failNextArrayAllocation);
  failNextArrayAllocation = false;
}

}  // namespace
