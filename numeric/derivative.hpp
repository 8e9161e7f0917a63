// Central-difference derivative with a step scaled to the size of the point.
//
// With relative step s, h = (1 + |x|) s and f'(x) ~ (f(x + h) - f(x - h)) / 2h.
// The default s is the cube root of the machine epsilon, which balances the
// O(h^2) truncation error of the central difference against the O(eps/h)
// rounding error of the two values (e.g. Press et al., Numerical Recipes,
// 3rd ed., section 5.7).
#pragma once

#include <cmath>

namespace kelvora::numeric {

// cbrt(2^-52), the same bits as std::cbrt(0x1p-52) (checked by the tests).
inline constexpr double CBRT_EPS = 6.0554544523933395e-06;

// f is called exactly twice, at x + h first and at x - h second.  The divisor
// is the computed step doubled, not the difference of the stored points.
template <class F>
inline double sderivative(F&& f, double x, double step = CBRT_EPS) {
    const double h = (1 + std::fabs(x)) * step;
    const double a = f(x + h);
    const double b = f(x - h);
    return (a - b) / (h + h);
}

}  // namespace kelvora::numeric
