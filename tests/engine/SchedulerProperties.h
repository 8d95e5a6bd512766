#pragma once

// The properties the stream scheduler is held to, judged on a session of
// blocks however it came about: simulated devices or a recorded trace
// replayed. Delays are in milliseconds.

#include <cstdint>
#include <string>
#include <vector>

// What became of one block.
struct BlockRecord {
  double seconds;           // when it was handed over
  double lateMs;            // how long after its capture ended
  double heardMs;           // heard delay of its first heard sample; NaN when nothing of it is heard
  double reportedMs;        // what the scheduler said after placing it
  std::uint32_t produced;   // output samples
  std::uint32_t committed;  // of them, written where the device had committed already
  bool discontinuous;       // not heard right after the previous block's output
  std::uint32_t counted;    // underruns and quiet-block moves the scheduler counted so far
  double correction;        // the step handed out, off 1
};

struct Session {
  std::uint32_t block = 0;  // samples
  std::vector<BlockRecord> records;
  std::vector<double> slips;  // seconds at which the output slipped
  std::uint32_t captureSteps = 0;  // steps ahead of the capture device that the scheduler counted
  std::uint32_t holds = 0;         // times the scheduler held the play line on its hull
};

// The properties are judged once the cursors' lines are known and the
// stream has been set to them.
inline constexpr double kSettledSeconds = 7.0;

struct Findings {
  double committedShare = 0;      // of the output after the first second
  double medianMs = 0;            // heard delay
  double spreadMs = 0;            // highest less lowest heard delay, away from slips
  double stretchSpreadMs = 0;     // the same within each stretch between slips, the largest
  double slipStrayMs = 0;         // farthest from the median from two seconds after a slip
  double reportErrorMs = 0;       // worst reported against heard delay, away from slips
  double largestCorrection = 0;   // over the whole session
  std::uint32_t discontinuities = 0;  // over the whole session, from the second block on
  std::uint32_t uncounted = 0;        // of them, with no underrun or move counted
};

// Around a slip the stream may wander for a while: from a second before it
// to five after. For the first two, the slip itself is heard: it is
// measured and moved back meanwhile.
bool NearSlip(const Session& s, double seconds);

// The heard delays are judged from `from` on, everything else over the
// session; all of it before `until`.
Findings Examine(const Session& s, double from = kSettledSeconds, double until = 1e9);

std::string Describe(const std::string& name, const Findings& f);

// Nothing written where committed, the correction within its limit, every
// discontinuity counted.
void ExpectPlacedSafely(const Findings& f);
// The heard delay steady within 2 ms (10 ms around a slip), reported within
// 3 ms.
void ExpectHeardSteadily(const Findings& f);
// Where the output slipped, the held delay may settle elsewhere: within
// each stretch between slips the heard delay steady within 4 ms (a move
// past the write cursor of a ms or two and the replay's reading of the
// cursors' pace, a ms or two) and reported within 3 ms.
void ExpectHeardSteadilyBetweenSlips(const Findings& f);
// Both.
void ExpectSteady(const Findings& f);
