#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

// The newest `Capacity` values of a series, with the statistics the stream
// scheduler takes of its latest stretch. Ages count from the newest value
// (age 0). Fixed storage, including the scratch space the selections use:
// nothing is allocated and no lock is taken.
template <typename Value, std::size_t Capacity>
class RingHistory {
 public:
  void Clear() {
    size = 0;
    next = 0;
  }

  void Push(Value value) {
    values[next] = value;
    next = (next + 1) % Capacity;
    size = std::min(size + 1, Capacity);
  }

  std::size_t Size() const { return size; }

  // The value `age` pushes ago; age < Size().
  Value At(std::size_t age) const { return values[(next + Capacity - 1 - age) % Capacity]; }
  Value Newest() const { return At(0); }

  // Highest of the newest `count` values (at least one is kept).
  Value Max(std::size_t count) const {
    count = Clamp(count);
    Value highest = At(0);
    for (std::size_t age = 1; age < count; ++age) highest = std::max(highest, At(age));
    return highest;
  }

  // The highest of the newest `count` values once the highest `leftOut`
  // of them are left out.
  Value Highest(std::size_t count, std::size_t leftOut) const {
    count = Clamp(count);
    Copy(0, count);
    const std::size_t rank = std::min(leftOut, count - 1);
    std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(rank),
                     scratch.begin() + static_cast<std::ptrdiff_t>(count), [](Value a, Value b) { return a > b; });
    return scratch[rank];
  }

  // Mean of the middle half of `count` values, the newest `skipped` left
  // out: deaf to the odd outlier on either side.
  double MiddleMean(std::size_t count, std::size_t skipped = 0) const {
    if (size <= skipped) return 0.0;
    count = std::min(std::max<std::size_t>(count, 1), size - skipped);
    Copy(skipped, count);
    const auto from = scratch.begin() + static_cast<std::ptrdiff_t>(count / 4);
    const auto to = scratch.begin() + static_cast<std::ptrdiff_t>(count - count / 4);
    const auto last = scratch.begin() + static_cast<std::ptrdiff_t>(count);
    std::nth_element(scratch.begin(), from, last);
    std::nth_element(from, to, last);
    double sum = 0.0;
    for (auto value = from; value != to; ++value) sum += static_cast<double>(*value);
    return sum / static_cast<double>(to - from);
  }

  // Adds `delta` to the values aged `fromAge` up to, not including, `toAge`.
  void Add(Value delta, std::size_t fromAge, std::size_t toAge) {
    toAge = std::min(toAge, size);
    for (std::size_t age = fromAge; age < toAge; ++age) values[(next + Capacity - 1 - age) % Capacity] += delta;
  }

 private:
  std::size_t Clamp(std::size_t count) const { return std::min(std::max<std::size_t>(count, 1), std::max<std::size_t>(size, 1)); }
  void Copy(std::size_t skipped, std::size_t count) const {
    for (std::size_t i = 0; i < count; ++i) scratch[i] = At(skipped + i);
  }

  std::array<Value, Capacity> values{};
  mutable std::array<Value, Capacity> scratch{};
  std::size_t size = 0;
  std::size_t next = 0;
};
