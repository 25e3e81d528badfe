// Saturating 64-bit integer arithmetic. Time stamps, ACK times and clock readings come from the
// network or from clocks that may be set to their extremes, so every sum, difference and
// conversion on them clamps to the int64 range instead of overflowing (undefined behaviour) or
// wrapping into a value of the opposite sign.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestova {

// a + b, clamped to [INT64_MIN, INT64_MAX].
inline int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return r;
}

// a - b, clamped to [INT64_MIN, INT64_MAX].
inline int64_t SaturatingSub(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return r;
}

// `u`, or INT64_MAX when it is beyond it.
inline int64_t UnsignedToInt64Saturating(uint64_t u) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return u > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(u);
}

// `d` cut toward zero, saturated at INT64_MIN/INT64_MAX (infinities included); NaN gives 0.
inline int64_t DoubleToInt64Saturating(double d) {
  // 2^63 is exactly representable; every double below it and at or above -2^63 converts without
  // overflow, cut toward zero.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(d)) return 0;
  if (d >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (d < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

}  // namespace kestova
