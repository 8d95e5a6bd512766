#include "engine/LineHull.h"

void LineHull::Note(double seconds, double line) {
  if (holdSeconds <= 0.0) {
    level = line;
    return;
  }
  if (size == 0 || seconds - partStart >= kPartSeconds) {
    // A half second is over, its point final: the hull is found afresh.
    if (size > 0) Find();
    partStart = seconds;
    points[next] = {seconds, line};
    next = (next + 1) % kCapacity;
    if (size < kCapacity) ++size;
  } else if (Point& newest = points[Index(0)]; line - slope * seconds > newest.value - slope * newest.seconds) {
    newest = {seconds, line};
  }
  level = found ? anchor.value + slope * (seconds - anchor.seconds) : line;
}

void LineHull::Find() {
  // Ages of the points within the hold; the newest half second is still open.
  std::size_t oldest = 1;
  const double newestSeconds = points[Index(0)].seconds;
  while (oldest + 1 < size && newestSeconds - points[Index(oldest + 1)].seconds <= holdSeconds) ++oldest;
  span = points[Index(1)].seconds - points[Index(oldest)].seconds;
  found = false;
  if (oldest < 2) return;
  double meanSeconds = 0.0;
  for (std::size_t age = 1; age <= oldest; ++age) meanSeconds += points[Index(age)].seconds;
  meanSeconds /= static_cast<double>(oldest);
  // The upper hull, oldest first: each point kept turns it downwards.
  std::size_t count = 0;
  for (std::size_t age = oldest + 1; age-- > 1;) {
    const Point& p = points[Index(age)];
    while (count >= 2) {
      const Point& a = points[Index(hull[count - 2])];
      const Point& b = points[Index(hull[count - 1])];
      if ((b.seconds - a.seconds) * (p.value - a.value) < (b.value - a.value) * (p.seconds - a.seconds)) break;
      --count;
    }
    hull[count++] = static_cast<std::uint16_t>(age);
  }
  for (std::size_t edge = 0; edge + 1 < count; ++edge) {
    const Point& a = points[Index(hull[edge])];
    const Point& b = points[Index(hull[edge + 1])];
    if (b.seconds < meanSeconds && edge + 2 < count) continue;
    anchor = a;
    slope = (b.value - a.value) / (b.seconds - a.seconds);
    found = true;
    return;
  }
}
