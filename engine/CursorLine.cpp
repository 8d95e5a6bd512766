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
    RestartFit();
  }
  const double elapsed = seconds - firstSeconds;
  const double offset = count - elapsed * sampleRate;
  const double decay = times.Size() > 0 ? std::exp(-(elapsed - times.Newest()) / fitSeconds) : 1.0;
  sumWeights = decay * sumWeights + 1.0;
  sumT = decay * sumT + elapsed;
  sumTT = decay * sumTT + elapsed * elapsed;
  sumY = decay * sumY + offset;
  sumTY = decay * sumTY + elapsed * offset;
  offsets.Push(offset);
  times.Push(elapsed);
  ++sinceLowered;
  if (elapsed - fitFrom >= leastFitSeconds) {
    const double meanT = sumT / sumWeights;
    const double variance = sumTT / sumWeights - meanT * meanT;
    if (variance > 0.0) slope = (sumTY / sumWeights - meanT * sumY / sumWeights) / variance;
  }
  FindLine(window);
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

void CursorLine::RestartFit() {
  sumWeights = sumT = sumTT = sumY = sumTY = 0.0;
}

void CursorLine::HoldSlopeBefore(std::size_t age) {
  if (age >= times.Size() || times.At(age) - fitFrom < leastFitSeconds) return;
  // The fit's sums less what the readings since the step added to them: a
  // step in the offsets, fitted, would tilt the slope by a share of its
  // height for as long as the slope is held.
  const double now = times.Newest();
  double weights = sumWeights, t = sumT, tt = sumTT, y = sumY, ty = sumTY;
  for (std::size_t newer = 0; newer < age; ++newer) {
    const double weight = std::exp(-(now - times.At(newer)) / fitSeconds);
    weights -= weight;
    t -= weight * times.At(newer);
    tt -= weight * times.At(newer) * times.At(newer);
    y -= weight * offsets.At(newer);
    ty -= weight * times.At(newer) * offsets.At(newer);
  }
  const double meanT = t / weights;
  const double variance = tt / weights - meanT * meanT;
  if (variance > 0.0) slope = (ty / weights - meanT * y / weights) / variance;
}

void CursorLine::Lower(double drop, std::size_t fromAge, std::size_t stepAge, std::size_t window) {
  HoldSlopeBefore(stepAge);
  offsets.Add(-drop, fromAge, window);
  // A drop measured from readings that lag by up to a period is off by up
  // to as much: the line and the fit start afresh from the newer readings,
  // and the slope found so far holds until the fit has enough of them.
  const std::size_t newer = std::min(fromAge, times.Size());
  RestartFit();
  const double now = times.Newest();
  for (std::size_t age = newer; age-- > 0;) {
    const double weight = std::exp(-(now - times.At(age)) / fitSeconds);
    sumWeights += weight;
    sumT += weight * times.At(age);
    sumTT += weight * times.At(age) * times.At(age);
    sumY += weight * offsets.At(age);
    sumTY += weight * times.At(age) * offsets.At(age);
  }
  fitFrom = newer > 0 ? times.At(newer - 1) : now;
  sinceLowered = newer;
  FindLine(window);
}
