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

inline int64_t ToInt64(double value) { return SaturatingTruncate<int64_t>(value); }
inline int64_t ToInt64(float value) { return SaturatingTruncate<int64_t>(value); }
inline int32_t ToInt32(double value) { return SaturatingTruncate<int32_t>(value); }
inline int32_t ToInt32(float value) { return SaturatingTruncate<int32_t>(value); }

}  // namespace morvanel
