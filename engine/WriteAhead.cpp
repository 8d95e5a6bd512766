#include "engine/WriteAhead.h"

std::uint32_t RingDistance(std::uint32_t from, std::uint32_t to, std::uint32_t ringBytes) {
  return from < to ? to - from : ringBytes - from + to;
}

std::uint32_t WriteAheadTarget(std::uint32_t play, std::uint32_t write, std::uint32_t blockBytes, std::uint32_t ringBytes) {
  const std::uint32_t gap = RingDistance(play, write, ringBytes);
  std::uint32_t target = gap > 3 * blockBytes ? play + gap : play + 3 * blockBytes;
  target &= ~std::uint32_t{1};
  if (target >= ringBytes) target -= ringBytes;
  return target;
}

std::uint32_t NextWritePosition(std::uint32_t play, std::uint32_t write, std::uint32_t writePosition,
                                std::uint32_t blockBytes, std::uint32_t ringBytes) {
  const std::uint32_t target = WriteAheadTarget(play, write, blockBytes, ringBytes);
  // Compared around the ring: a plain comparison would keep a write point
  // near the end of the ring when the target has wrapped, and so write behind
  // the device's write cursor, where the data is no longer played.
  const std::uint32_t ahead = target >= writePosition ? target - writePosition : ringBytes - writePosition + target;
  if (ahead > 0 && ahead < ringBytes / 2) writePosition = target;
  const std::uint32_t lead = RingDistance(play, writePosition, ringBytes);
  if (static_cast<double>(lead) > 1.5 * (4.0 * blockBytes)) writePosition = target;
  return writePosition;
}

std::uint32_t MeasuredDelayMs(std::uint32_t play, std::uint32_t writePosition, std::uint32_t ringBytes,
                              std::uint32_t bytesPerSecond) {
  return RingDistance(play, writePosition, ringBytes) * 1000 / bytesPerSecond;
}
