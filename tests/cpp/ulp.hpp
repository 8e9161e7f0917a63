// Distance between two doubles in units in the last place (ulps).
//
// The doubles are mapped to a monotone integer scale (the IEEE bit pattern
// for non-negative values, its mirror image for negative values), so the
// distance counts the representable doubles between the two values:
//   * +0 and -0 are the same point (distance 0);
//   * crossing zero counts the doubles on both sides;
//   * +inf and -inf are the ends of the scale (the largest finite double is
//     one ulp from infinity of the same sign);
//   * two NaNs are distance 0 from each other, a NaN and a non-NaN are
//     infinitely far apart (kUlpInfinite).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kelvora::test {

inline constexpr std::uint64_t kUlpInfinite = std::numeric_limits<std::uint64_t>::max();

// Position of x on the monotone integer scale (NaN excluded).
inline std::int64_t ulp_ordinal(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    // Negative doubles: bits have the sign bit set; mirror them below zero.
    return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
}

inline std::uint64_t ulp_distance(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return (std::isnan(a) && std::isnan(b)) ? 0 : kUlpInfinite;
    const std::int64_t ia = ulp_ordinal(a);
    const std::int64_t ib = ulp_ordinal(b);
    // The difference fits in an unsigned 64-bit integer (ordinals span < 2^64).
    return ia > ib ? static_cast<std::uint64_t>(ia) - static_cast<std::uint64_t>(ib)
                   : static_cast<std::uint64_t>(ib) - static_cast<std::uint64_t>(ia);
}

}  // namespace kelvora::test
