#include "fspl/core/disk_lanes.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "fspl/core/uniform_disk.hpp"

namespace kelvora::fspl {

namespace lanes {

bool available() noexcept {
#if KELVORA_FSPL_HAVE_LANES
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

}  // namespace lanes

void uniform_disk_many(double u, const double* s, double* out, std::size_t n) noexcept {
    constexpr std::size_t L = lanes::WIDTH;
    std::size_t i = 0;
#if KELVORA_FSPL_HAVE_LANES
    if (lanes::available() && u > 0 && u < std::numeric_limits<double>::infinity()) {
        // WIDTH radii at a time, the last group filled up with stand-ins.
        for (; i < n; i += L) {
            const std::size_t count = std::min(L, n - i);
            std::array<bool, L> closed{};
            std::array<double, L> radius{}, value{};
            bool none = true;
            for (std::size_t l = 0; l < L; ++l) {
                const double rho = l < count ? s[i + l] : 0.5 * u;
                closed[l] = l < count && u < FAR_FIELD_RATIO * rho && rho <= HUGE_SOURCE && u != rho;
                none = none && !closed[l];
                // A lane of another regime computes on a stand-in (a disk of
                // half the separation) and is replaced below.
                radius[l] = closed[l] ? rho : 0.5 * u;
            }
            if (!none) lanes::closed_form(u, radius.data(), value.data());
            for (std::size_t l = 0; l < count; ++l) out[i + l] = closed[l] ? value[l] : uniform_disk(u, s[i + l]);
        }
        return;
    }
#endif
    for (; i < n; ++i) out[i] = uniform_disk(u, s[i]);
}

void uniform_disk_points(const double* u, const double* rho, double* out, std::size_t n) noexcept {
    constexpr std::size_t L = lanes::WIDTH;
    std::size_t i = 0;
#if KELVORA_FSPL_HAVE_LANES
    if (lanes::available()) {
        for (; i < n; i += L) {
            const std::size_t count = std::min(L, n - i);
            std::array<bool, L> closed{};
            std::array<double, L> us{}, radius{}, value{};
            bool none = true;
            for (std::size_t l = 0; l < L; ++l) {
                const double ul = l < count ? u[i + l] : 1.0, r = l < count ? rho[i + l] : 2.0;
                closed[l] = l < count && ul > 0 && ul < FAR_FIELD_RATIO * r && r <= HUGE_SOURCE && ul != r;
                none = none && !closed[l];
                // Other regimes compute on a stand-in (u = 1, rho = 2).
                us[l] = closed[l] ? ul : 1.0;
                radius[l] = closed[l] ? r : 2.0;
            }
            if (!none) lanes::closed_form_points(us.data(), radius.data(), value.data());
            for (std::size_t l = 0; l < count; ++l) out[i + l] = closed[l] ? value[l] : uniform_disk(u[i + l], rho[i + l]);
        }
        return;
    }
#endif
    for (; i < n; ++i) out[i] = uniform_disk(u[i], rho[i]);
}

}  // namespace kelvora::fspl
