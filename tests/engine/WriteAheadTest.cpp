#include "engine/WriteAhead.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kRing = 88200;
constexpr std::uint32_t kBlock = 440;

TEST(RingDistance, CountsForwardAndAroundTheEnd) {
  EXPECT_EQ(RingDistance(10000, 11764, kRing), 1764u);
  EXPECT_EQ(RingDistance(87500, 1064, kRing), 1764u);
  EXPECT_EQ(RingDistance(10000, 10000, kRing), kRing);
}

TEST(WriteAheadTarget, IsTheWriteCursorWhenItLiesMoreThanThreeBlocksAhead) {
  EXPECT_EQ(WriteAheadTarget(10000, 11764, kBlock, kRing), 11764u);
  EXPECT_EQ(WriteAheadTarget(10000, 11321, kBlock, kRing), 11320u);  // exactly three blocks: not more
}

TEST(WriteAheadTarget, IsThreeBlocksAheadOfPlayOtherwise) {
  EXPECT_EQ(WriteAheadTarget(10000, 10400, kBlock, kRing), 11320u);
}

TEST(WriteAheadTarget, FallsOnAWholeSample) {
  EXPECT_EQ(WriteAheadTarget(10001, 10400, kBlock, kRing), 11320u);
}

TEST(WriteAheadTarget, WrapsIntoTheRing) {
  EXPECT_EQ(WriteAheadTarget(86880, 87000, kBlock, kRing), 0u);
  EXPECT_EQ(WriteAheadTarget(87500, 1064, kBlock, kRing), 1064u);
}

TEST(WriteAheadTarget, EqualCursorsGiveThePlayCursorItself) {
  EXPECT_EQ(WriteAheadTarget(10000, 10000, kBlock, kRing), 10000u);
  EXPECT_EQ(WriteAheadTarget(10001, 10001, kBlock, kRing), 10000u);
}

TEST(NextWritePosition, MovesForwardToATargetAhead) {
  EXPECT_EQ(NextWritePosition(10000, 11764, 0, kBlock, kRing), 11764u);
  EXPECT_EQ(NextWritePosition(10000, 10400, 0, kBlock, kRing), 11320u);
}

TEST(NextWritePosition, KeepsAStreamingWritePointAheadOfTheTarget) {
  // Lead 2000 is within six blocks (2640).
  EXPECT_EQ(NextWritePosition(10000, 10400, 12000, kBlock, kRing), 12000u);
}

TEST(NextWritePosition, PullsBackAWritePointMoreThanSixBlocksAhead) {
  EXPECT_EQ(NextWritePosition(10000, 11764, 20000, kBlock, kRing), 11764u);
  EXPECT_EQ(NextWritePosition(10000, 10400, 12642, kBlock, kRing), 11320u);
}

TEST(NextWritePosition, ALeadOfExactlySixBlocksStays) {
  EXPECT_EQ(NextWritePosition(10000, 10400, 12640, kBlock, kRing), 12640u);
}

TEST(NextWritePosition, UnwrappedTargetBehindTheEndKeepsTheWritePoint) {
  // Target 87900 lies behind 88000 in ring order; lead 1500 is small.
  EXPECT_EQ(NextWritePosition(86500, 87900, 88000, kBlock, kRing), 88000u);
}

TEST(NextWritePosition, WrappedTargetAheadOfAnUnwrappedWritePointMovesIt) {
  // 1064 lies 1164 bytes ahead of 88100 around the ring: the block goes to
  // the device's write cursor, not behind it.
  EXPECT_EQ(NextWritePosition(87500, 1064, 88100, kBlock, kRing), 1064u);
}

TEST(NextWritePosition, TargetNearTheEndDoesNotMoveAWrappedWritePointBack) {
  // Target 87320 lies behind 300 in ring order; lead 2500 is small, so the
  // block continues the stream at 300.
  EXPECT_EQ(NextWritePosition(86000, 87000, 300, kBlock, kRing), 300u);
}

TEST(NextWritePosition, TargetWrappedToZero) {
  EXPECT_EQ(NextWritePosition(86880, 87000, 0, kBlock, kRing), 0u);
  EXPECT_EQ(NextWritePosition(86880, 87000, 87500, kBlock, kRing), 0u);
}

TEST(NextWritePosition, EqualCursorsPlaceTheBlockAtThePlayCursor) {
  EXPECT_EQ(NextWritePosition(10000, 10000, 0, kBlock, kRing), 10000u);
  EXPECT_EQ(NextWritePosition(10000, 10000, 50000, kBlock, kRing), 10000u);
}

TEST(NextWritePosition, ATargetHalfARingAheadCountsAsBehind) {
  // Long blocks, so that six of them reach past half the ring.
  constexpr std::uint32_t kLongBlock = 10000;
  EXPECT_EQ(NextWritePosition(0, 50000, 5900, kLongBlock, kRing), 5900u);
  EXPECT_EQ(NextWritePosition(0, 50000, 5902, kLongBlock, kRing), 50000u);
}

TEST(MeasuredDelayMs, IsTheDistanceFromPlayToTheWritePointTruncated) {
  EXPECT_EQ(MeasuredDelayMs(10000, 12204, kRing, 44100), 49u);
  EXPECT_EQ(MeasuredDelayMs(10000, 11760, kRing, 44100), 39u);
  EXPECT_EQ(MeasuredDelayMs(86500, 240, kRing, 44100), 43u);
  EXPECT_EQ(MeasuredDelayMs(86400, 0, kRing, 44100), 40u);
}

TEST(MeasuredDelayMs, EqualPositionsAreTwoSeconds) {
  EXPECT_EQ(MeasuredDelayMs(10000, 10000, kRing, 44100), 2000u);
}

}  // namespace
