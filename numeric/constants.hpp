// Mathematical constants shared by the kernels (numeric/), the models
// (src/lib/) and the limb-darkened magnification (fspl/core/).
//
// Each is the double nearest to the exact value, written as the shortest
// decimal that rounds to it; the compile-time checks below tie the multiples
// of pi to PI, so that every expression that used its own spelling of these
// numbers keeps its bits.  Tolerances and pass caps are not here: each is
// declared beside the one kernel whose loop it stops, with its reason.
#pragma once

namespace kelvora::numeric {

inline constexpr double PI = 3.141592653589793;        // pi
inline constexpr double PI_2 = 1.5707963267948966;     // pi/2
inline constexpr double TWO_PI = 6.283185307179586;    // 2 pi
inline constexpr double THREE_PI = 9.42477796076938;   // 3 pi
inline constexpr double INV_PI = 0.3183098861837907;   // 1/pi

// 2^-52, the spacing of the doubles in [1, 2) (DBL_EPSILON).
inline constexpr double EPSILON = 2.220446049250313e-16;

// pi/2 and 2 pi differ from PI by a power of two, so the products are exact;
// 3 PI and 1/PI round to the nearest doubles of 3 pi and 1/pi as well.
static_assert(PI_2 == PI / 2);
static_assert(TWO_PI == 2 * PI);
static_assert(THREE_PI == 3 * PI);
static_assert(INV_PI == 1 / PI);
static_assert(EPSILON == 1.0 / 4503599627370496.0);  // 2^-52

}  // namespace kelvora::numeric
