#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/LineHull.h"
#include "engine/RingHistory.h"

// One device cursor against the steady clock. Each reading becomes an
// offset: the samples the cursor has moved since its first reading less the
// samples the clock has counted meanwhile. A cursor that moves in periods
// is read anywhere in its period, so a reading lags the cursor's steady
// pace by up to a period; now and then one shows a sample early. The
// cursor's line is therefore the highest offset of the last window of
// readings, each carried forward to now along the line's slope (a device
// clock a little off the steady one), once the few that lead are left out;
// a reading's lag is how far it lies below the line. When the cursor falls
// behind its pace for good (a stalled mixer), the line is taken from the
// readings since, which show the drop at once.
//
// Offsets are in samples. A value type with fixed storage.
class CursorLine {
 public:
  // Readings kept: five seconds at the shortest block (10 ms).
  static constexpr std::size_t kCapacity = 512;

  // The slope is the least-squares fit through the offsets, weighted down
  // by e for every `fitSeconds` of age, so that a periodic wander of the
  // readings averages out; it is used once `leastFitSeconds` of readings
  // are in.
  // A share of at most `leadingShare` of the readings may lead the pace;
  // they are left out of the line.
  // The line's values are held on a hull over `holdSeconds`.
  CursorLine(std::uint32_t ringBytes, std::uint32_t sampleRate, double fitSeconds, double leastFitSeconds,
             double leadingShare = 0.0, double holdSeconds = 0.0)
      : ringBytes(ringBytes),
        sampleRate(sampleRate),
        fitSeconds(fitSeconds),
        leastFitSeconds(leastFitSeconds),
        leadingShare(leadingShare),
        held(holdSeconds) {}

  // Forgets every reading; the next one starts the line afresh.
  void Restart() { started = false; }
  bool Started() const { return started; }

  // A reading of a cursor that runs around the ring of 16-bit samples, at
  // `seconds` on the steady clock; the line is taken over the newest
  // `window` readings. The cursor may move back by less than half the ring.
  void NoteRing(std::uint32_t position, double seconds, std::size_t window);
  // A reading of a count of samples.
  void NoteCount(double samples, double seconds, std::size_t window);

  // The line at the newest reading, and how far that reading lies below it.
  double Line() const { return holding ? std::max(line, held.Level()) : line; }
  double Lag() const { return Line() - offsets.Newest(); }
  // The hull of the line's values: its slope, and the seconds it spans.
  // While held, the line is at least the hull's level: readings whose place
  // in the cursor's period drifts find the pace only now and then.
  double HeldSlope() const { return held.Slope(); }
  double HeldSpan() const { return held.Span(); }
  void Hold(bool on) { holding = on; }
  bool Held() const { return holding; }
  // How far the line over the newest window lies below the hull.
  double BelowHeld() const { return held.Level() - line; }
  // The hull starts afresh from the newest line.
  void RestartHeld();
  // The line's slope: samples gained on the steady clock per second.
  double Slope() const { return slope; }
  // Samples moved since the first reading, at the newest one.
  double Count() const { return count; }
  std::size_t Readings() const { return offsets.Size(); }

  // Mean of the middle half of `readings` offsets, the newest `skipped`
  // left out.
  double Typical(std::size_t skipped, std::size_t readings) const { return offsets.MiddleMean(readings, skipped); }
  // Lowers the offsets older than `fromAge` readings by `drop` samples;
  // the line and the slope's fit start afresh from the newer readings. The
  // cursor stepped `stepAge` readings ago: the slope held meanwhile is the
  // one the readings before the step show.
  void Lower(double drop, std::size_t fromAge, std::size_t stepAge, std::size_t window);
  // The cursor fell `drop` samples behind `stepAge` readings ago and has
  // kept its pace since: the offsets before then, and the fit through
  // them, are lowered by it as if the cursor had always run there.
  void Shift(double drop, std::size_t stepAge, std::size_t window);

 private:
  void Note(double seconds, std::size_t window);
  void FindLine(std::size_t window);
  // A reading's weight in the fit, `age` readings before the newest.
  double Weight(std::size_t age) const;
  void HoldSlopeBefore(std::size_t age);

  std::uint32_t ringBytes;
  std::uint32_t sampleRate;
  double fitSeconds;
  double leastFitSeconds;
  double leadingShare;
  LineHull held;
  bool holding = false;
  bool started = false;
  std::uint32_t lastPosition = 0;
  double firstSeconds = 0.0;
  double count = 0.0;
  double line = 0.0;
  double slope = 0.0;
  std::size_t sinceLowered = 0;  // readings the line is taken over at most: those since the last drop
  double fitFrom = 0.0;          // seconds since the first reading at which the fit's readings start
  RingHistory<double, kCapacity> offsets;
  RingHistory<double, kCapacity> times;  // seconds since the first reading
  std::array<double, kCapacity> carried{};  // scratch: the offsets carried forward to the newest reading
  // The fit's weighted sums of 1, t, t², y and t·y (t: seconds since the
  // first reading, y: offset).
  struct FitSums {
    double weights = 0.0;
    double t = 0.0;
    double tt = 0.0;
    double y = 0.0;
    double ty = 0.0;
    void Decay(double factor);
    void Add(double weight, double at, double offset);
    // The least-squares slope, or `otherwise` where the times do not spread.
    double Slope(double otherwise) const;
  };
  FitSums fit;
};
