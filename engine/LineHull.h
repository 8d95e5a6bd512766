#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The pace of a cursor line over minutes. A cursor read always at one place
// in its period lags its pace by as much, and a line taken over seconds of
// such readings lags with them. Where the place drifts (the readings are
// woken by another device's clock) it sweeps the period, and now and then
// the readings fall right after a step of the cursor: the line's values
// then lie on the pace. The upper hull of the values over several sweeps
// runs through those, and of all lines above every value, its edge over
// the middle of their times lies nearest to them; that edge is the pace.
//
// Values in samples, times in seconds. A value type with fixed storage.
class LineHull {
 public:
  // Values are kept per half second, for up to 512 s.
  static constexpr double kPartSeconds = 0.5;
  static constexpr std::size_t kCapacity = 1024;

  // Values older than `holdSeconds` are left out; 0 keeps none, and the
  // level is the newest value.
  explicit LineHull(double holdSeconds) : holdSeconds(holdSeconds) {}

  void Restart() {
    size = 0;
    span = 0.0;
    found = false;
  }

  // The line's value at `seconds`. Of each half second's values the one
  // highest above the hull's slope is kept: the one nearest the pace.
  void Note(double seconds, double line);

  // The pace at the newest value, its slope in samples per second, and the
  // seconds the hull's values span.
  double Level() const { return level; }
  double Slope() const { return slope; }
  double Span() const { return span; }

 private:
  struct Point {
    double seconds;
    double value;
  };
  // The point `age` half seconds before the newest.
  std::size_t Index(std::size_t age) const { return (next + kCapacity - 1 - age) % kCapacity; }
  void Find();

  double holdSeconds;
  std::array<Point, kCapacity> points{};
  std::size_t next = 0;
  std::size_t size = 0;
  double partStart = 0.0;  // seconds at which the newest point's half second began
  std::array<std::uint16_t, kCapacity> hull{};  // scratch: ages of the hull's points, oldest first
  double span = 0.0;
  bool found = false;  // the hull has an edge
  Point anchor{};      // a point on that edge
  double slope = 0.0;
  double level = 0.0;
};
