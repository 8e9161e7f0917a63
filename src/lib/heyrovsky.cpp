// The ring kernel and the sum over a table of rings; see lib/ring.hpp.
#include <cmath>

#include "lib/models.hpp"
#include "lib/ring.hpp"

namespace kelvora {

Expected<double> heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    const RingGeometry ring(re, rstar);
    return ring(l, r);
}

Expected<std::vector<double>> discrete_flux_map_heyrovsky_magnification(
    std::vector<double> l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf) {
    // The table check comes first, also when there is nothing to evaluate.
    check_equal_lengths(bl.size(), bf.size());

    const std::size_t rings = bl.size();
    const RingGeometry ring(re, rstar);
    constexpr std::size_t W = numeric::BATCH_WIDTH;
    for (double& entry : l) {
        double sum = 0.0;
        // Every ring is evaluated, also one of zero weight: its failure ends
        // the call all the same.  The rings are evaluated BATCH_WIDTH at a
        // time (each value exactly the single kernel's), then their failures
        // checked and their weighted values summed in table order.
        for (std::size_t j = 0; j < rings; j += W) {
            const int count = static_cast<int>(rings - j < W ? rings - j : W);
            Expected<double> k[W];
            ring.batch(entry, bl.data() + j, k, count);
            for (int i = 0; i < count; ++i) {
                if (!k[i]) return std::unexpected(k[i].error());
                sum = sum + *k[i] * bf[j + static_cast<std::size_t>(i)];
            }
        }
        entry = sum;
    }
    return l;
}

}  // namespace kelvora
