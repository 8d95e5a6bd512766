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
  if (elapsed >= leastFitSeconds) {
    const double meanT = sumT / sumWeights;
    const double variance = sumTT / sumWeights - meanT * meanT;
    if (variance > 0.0) slope = (sumTY / sumWeights - meanT * sumY / sumWeights) / variance;
  }
  FindLine(window);
}

void CursorLine::FindLine(std::size_t window) {
  const double now = times.Newest();
  line = offsets.Newest();
  const std::size_t count = std::min(window, offsets.Size());
  for (std::size_t age = 1; age < count; ++age) line = std::max(line, offsets.At(age) + slope * (now - times.At(age)));
}

void CursorLine::RestartFit() {
  sumWeights = sumT = sumTT = sumY = sumTY = 0.0;
}

void CursorLine::Lower(double drop, std::size_t fromAge, std::size_t window) {
  offsets.Add(-drop, fromAge, window);
  // The fit's offsets older than `fromAge` are lowered too: all of them
  // less the newest few, which are summed again with their weights.
  const double now = times.Newest();
  double newerWeights = 0.0;
  double newerT = 0.0;
  for (std::size_t age = 0; age < std::min(fromAge, times.Size()); ++age) {
    const double weight = std::exp(-(now - times.At(age)) / fitSeconds);
    newerWeights += weight;
    newerT += weight * times.At(age);
  }
  sumY -= drop * (sumWeights - newerWeights);
  sumTY -= drop * (sumT - newerT);
  FindLine(window);
}
