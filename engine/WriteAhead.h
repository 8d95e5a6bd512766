#pragma once

#include <cstdint>

// Ring arithmetic of the playback write-ahead. Every position is a byte
// offset into a ring of ringBytes bytes.

// Forward distance from one position to another; equal positions count as a
// whole ring apart.
std::uint32_t RingDistance(std::uint32_t from, std::uint32_t to, std::uint32_t ringBytes);

// Where a block would ideally go: at the write cursor when that lies more
// than three block lengths ahead of the play cursor, otherwise three block
// lengths ahead of it; on a whole sample and wrapped into the ring.
std::uint32_t WriteAheadTarget(std::uint32_t play, std::uint32_t write, std::uint32_t blockBytes, std::uint32_t ringBytes);

// The write point for the next block. The current point is kept while blocks
// stream on behind each other, moved forward to the target when the target
// lies ahead of it (in ring order, by less than half the ring), and pulled
// back to the target when it has run more than six block lengths ahead of
// the play cursor.
std::uint32_t NextWritePosition(std::uint32_t play, std::uint32_t write, std::uint32_t writePosition,
                                std::uint32_t blockBytes, std::uint32_t ringBytes);

// Milliseconds of audio between the play cursor and the end of what has been
// written (a whole ring when the two coincide).
std::uint32_t MeasuredDelayMs(std::uint32_t play, std::uint32_t writePosition, std::uint32_t ringBytes,
                              std::uint32_t bytesPerSecond);
