#include "engine/CursorLine.h"

#include <algorithm>
#include <cmath>

void CursorLine::NoteRing(std::uint32_t position, double seconds, std::size_t window) {
  if (started) {
    auto moved = static_cast<std::int64_t>((position + ringBytes - lastPosition) % ringBytes);
    if (moved >= static_cast<std::int64_t>(ringBytes / 2)) moved -= ringBytes;
    count += static_cast<double>(moved) / 2.0;
  } else {
    count = 0.0;
  }
  lastPosition = position;
  Note(seconds, window);
}

void CursorLine::NoteCount(double samples, double seconds, std::size_t window) {
  count = samples;
  Note(seconds, window);
}

void CursorLine::Note(double seconds, std::size_t window) {
  if (!started) {
    started = true;
    firstSeconds = seconds;
    slope = 0.0;
    offsets.Clear();
    times.Clear();
    sinceLowered = 0;
    fitFrom = 0.0;
    fit = FitSums{};
    held.Restart();
  }
  const double elapsed = seconds - firstSeconds;
  const double offset = count - elapsed * sampleRate;
  fit.Decay(times.Size() > 0 ? std::exp(-(elapsed - times.Newest()) / fitSeconds) : 1.0);
  fit.Add(1.0, elapsed, offset);
  offsets.Push(offset);
  times.Push(elapsed);
  ++sinceLowered;
  if (elapsed - fitFrom >= leastFitSeconds) slope = fit.Slope(slope);
  FindLine(window);
  held.Note(elapsed, line);
}

void CursorLine::FindLine(std::size_t window) {
  const double now = times.Newest();
  const std::size_t count = std::max<std::size_t>(std::min({window, offsets.Size(), sinceLowered}), 1);
  for (std::size_t age = 0; age < count; ++age) carried[age] = offsets.At(age) + slope * (now - times.At(age));
  const auto leftOut = static_cast<std::ptrdiff_t>(static_cast<double>(count) * leadingShare);
  std::nth_element(carried.begin(), carried.begin() + leftOut, carried.begin() + static_cast<std::ptrdiff_t>(count),
                   [](double a, double b) { return a > b; });
  line = carried[static_cast<std::size_t>(leftOut)];
}

void CursorLine::FitSums::Decay(double factor) {
  weights *= factor;
  t *= factor;
  tt *= factor;
  y *= factor;
  ty *= factor;
}

void CursorLine::FitSums::Add(double weight, double at, double offset) {
  weights += weight;
  t += weight * at;
  tt += weight * at * at;
  y += weight * offset;
  ty += weight * at * offset;
}

double CursorLine::FitSums::Slope(double otherwise) const {
  const double meanT = t / weights;
  const double variance = tt / weights - meanT * meanT;
  return variance > 0.0 ? (ty / weights - meanT * y / weights) / variance : otherwise;
}

double CursorLine::Weight(std::size_t age) const {
  return std::exp(-(times.Newest() - times.At(age)) / fitSeconds);
}

void CursorLine::HoldSlopeBefore(std::size_t age) {
  if (age >= times.Size() || times.At(age) - fitFrom < leastFitSeconds) return;
  // The fit's sums less what the readings since the step added to them: a
  // step in the offsets, fitted, would tilt the slope by a share of its
  // height for as long as the slope is held.
  FitSums before = fit;
  for (std::size_t newer = 0; newer < age; ++newer) before.Add(-Weight(newer), times.At(newer), offsets.At(newer));
  slope = before.Slope(slope);
}

void CursorLine::Lower(double drop, std::size_t fromAge, std::size_t stepAge, std::size_t window) {
  HoldSlopeBefore(stepAge);
  offsets.Add(-drop, fromAge, window);
  // A drop measured from readings that lag by up to a period is off by up
  // to as much: the line and the fit start afresh from the newer readings,
  // and the slope found so far holds until the fit has enough of them.
  const std::size_t newer = std::min(fromAge, times.Size());
  fit = FitSums{};
  for (std::size_t age = newer; age-- > 0;) fit.Add(Weight(age), times.At(age), offsets.At(age));
  fitFrom = newer > 0 ? times.At(newer - 1) : times.Newest();
  sinceLowered = newer;
  FindLine(window);
}

void CursorLine::Shift(double drop, std::size_t stepAge, std::size_t window) {
  FitSums newer;
  for (std::size_t age = 0; age < std::min(stepAge, times.Size()); ++age) {
    newer.Add(Weight(age), times.At(age), offsets.At(age));
  }
  fit.y -= drop * (fit.weights - newer.weights);
  fit.ty -= drop * (fit.t - newer.t);
  offsets.Add(-drop, stepAge, offsets.Size());
  if (times.Newest() - fitFrom >= leastFitSeconds) slope = fit.Slope(slope);
  FindLine(window);
}

void CursorLine::RestartHeld() {
  held.Restart();
  held.Note(times.Newest(), line);
}
