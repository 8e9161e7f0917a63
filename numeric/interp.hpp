// Piecewise-linear interpolation through a table of samples, with a fixed
// value outside the table's range.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace kelvora::numeric {

// Value at x of the piecewise-linear function through (positions[k],
// values[k]), k < n = min of the two lengths; `outside` below positions[0] and
// above positions[n - 1].  No order is checked: the segment is chosen by the
// count of leading positions strictly below x (over the whole positions
// array), so for ascending positions p_k < x <= p_{k+1} uses segment k.  One
// sample is a constant (whatever x is); no sample gives 0.  The segment is
// evaluated in intercept form, c + s x with c = v_j - p_j s.
inline double interp(std::span<const double> positions, std::span<const double> values, double x,
                     double outside) noexcept {
    const std::size_t n = std::min(positions.size(), values.size());
    if (n == 0) return 0.0;
    if (n == 1) return values[0];

    std::size_t below = 0;
    while (below < positions.size() && positions[below] < x) ++below;
    const std::size_t j = std::min(below == 0 ? std::size_t{0} : below - 1, n - 2);

    const double slope = (values[j + 1] - values[j]) / (positions[j + 1] - positions[j]);
    const double intercept = values[j] - positions[j] * slope;
    const double y = intercept + slope * x;

    if (x < positions[0]) return outside;
    if (x > positions[n - 1]) return outside;
    return y;
}

}  // namespace kelvora::numeric
