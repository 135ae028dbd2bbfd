// Float-to-integer conversions that are defined for every input: NaN gives 0, values beyond the
// target's range saturate, everything else truncates toward zero as a C cast would.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace morvanel {

template <typename Int, typename Float>
inline Int SaturatingTruncate(Float value) {
    static_assert(std::numeric_limits<Int>::is_integer, "integer target expected");
    if (std::isnan(value)) return 0;
    // The bounds are powers of two, so they are exact in every floating type.
    constexpr long double kLow = static_cast<long double>(std::numeric_limits<Int>::min());
    constexpr long double kHigh = -kLow;  // 2^(bits-1): the first value that no longer fits
    const long double wide = static_cast<long double>(value);
    if (wide <= kLow) return std::numeric_limits<Int>::min();
    if (wide >= kHigh) return std::numeric_limits<Int>::max();
    return static_cast<Int>(wide);
}

// The same rule with the range checked in the value's own type, for the audio thread's hot paths:
// the bounds -2^(bits-1) and 2^(bits-1) are exact in float and double, NaN fails both tests.
template <typename Int, typename Float>
inline Int TruncateInRange(Float value) {
    constexpr Float kLow = static_cast<Float>(std::numeric_limits<Int>::min());
    constexpr Float kHigh = -kLow;
    if (value > kLow && value < kHigh) return static_cast<Int>(value);
    if (value <= kLow) return std::numeric_limits<Int>::min();
    if (value >= kHigh) return std::numeric_limits<Int>::max();
    return 0;  // NaN
}

inline int64_t ToInt64(double value) { return TruncateInRange<int64_t>(value); }
inline int64_t ToInt64(float value) { return TruncateInRange<int64_t>(value); }
inline int32_t ToInt32(double value) { return TruncateInRange<int32_t>(value); }
inline int32_t ToInt32(float value) { return TruncateInRange<int32_t>(value); }

}  // namespace morvanel
