// Magnification of a source with a radial brightness profile: the profile
// times a magnification model, integrated over the stellar disk by tanh-sinh
// quadrature (Takahasi & Mori 1974, numeric/quadrature.hpp), one integral per
// separation, divided by a normalisation.
//
// With x the radius in stellar radii, M(x) a magnification as a function of
// the radius and P(x) the profile, the integrand at a node is
//
//   f(x) = ((x 2pi) (M(x) + (x/2) M'(x))) P(x)  =  pi d/dx[x^2 M(x)] P(x),
//
// M' the central difference of numeric/derivative.hpp, integrated over
// [0, 1] with target 1e-16 and divided by the divisor N.
//
//  - Witt-Mao: M(y) is the full-source value A_i of the uniform disk for
//    y >= 0 and 0 for y < 0, so M' vanishes except at the nodes below the
//    difference step, and every entry is A_i times the profile's flux over N
//    plus the contribution of those few nodes.
//  - Heyrovsky: M(y) is the ring kernel at ring radius y (a kernel failure is
//    a quiet NaN, which the quadrature drops at that node).
//
// Profiles and the model are passed as templates so that the hot loop, up to
// 385 nodes per separation, inlines them.
#pragma once

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "lib/models.hpp"
#include "lib/ring.hpp"
#include "numeric/derivative.hpp"
#include "numeric/constants.hpp"
#include "numeric/elliptic_batch.hpp"
#include "numeric/interp.hpp"
#include "numeric/quadrature.hpp"

namespace kelvora {

// Absolute accuracy asked of every integral of the limb-darkened forms: below
// the last bit of a magnification of order 1, i.e. full double precision, so
// the ladder of numeric/quadrature.hpp refines until its error estimate (the
// difference of consecutive levels, or its square in the quadratic regime)
// falls below it, or its seven levels are spent.
inline constexpr double INTEGRATION_TARGET = 1e-16;

// Linear limb darkening with coefficient 0.6: I(x) = 1 - 0.6 (1 - sqrt(1 - x^2)),
// I(0) = 1, I(1) = 0.4 (NaN for |x| > 1).
struct DefaultLimbDarkening {
    double operator()(double x) const noexcept { return 1 + (1 - std::sqrt(1 - x * x)) * -0.6; }
};

// The stored flux of the default profile over the unit disk: the quadrature
// of (x 2pi) I(x) over [0, 1], 92 ulp below 0.8 pi = 2.5132741228718345.
inline constexpr double DEFAULT_NORMALISATION = 2.5132741228717936;

// The profile of a flux map: interpolated between the samples, dark outside.
struct InterpolatedProfile {
    std::span<const double> radii;
    std::span<const double> brightness;
    double operator()(double x) const noexcept { return numeric::interp(radii, brightness, x, 0.0); }
};

namespace detail {

template <class Model, class Profile>
inline double limb_integrand(Model& model, const Profile& profile, double x) {
    const double m = model(x);
    const double dm = numeric::sderivative(model, x);
    const double p = profile(x);
    return ((x * numeric::TWO_PI) * (m + (x * 0.5) * dm)) * p;
}

template <class Model, class Profile>
inline double integrate_profile(Model& model, const Profile& profile, double divisor) {
    const auto result = numeric::integrate(
        [&](double x) { return limb_integrand(model, profile, x); }, 0.0, 1.0, INTEGRATION_TARGET);
    return result.integral / divisor;
}

}  // namespace detail

// Limb-darkened Witt-Mao magnification: the uniform-disk values first (their
// failure is returned before anything is integrated), then one integral per
// entry.  Consumes `l`; the result is built in its storage.
template <class Profile>
Expected<std::vector<double>> _integrated_witt_mao_magnification(std::vector<double> l, const Profile& profile,
                                                                 double re, double rstar, double divisor) {
    auto disk = witt_mao_magnification(std::move(l), re, rstar);
    if (!disk) return disk;
    for (double& entry : *disk) {
        const double full = entry;
        auto model = [full](double y) { return y < 0 ? 0.0 : full; };
        entry = detail::integrate_profile(model, profile, divisor);
    }
    return disk;
}

// Limb-darkened ring-kernel magnification.  Never fails.  Consumes `l`.
template <class Profile>
std::vector<double> _integrated_heyrovsky_magnification(std::vector<double> l, const Profile& profile, double re,
                                                        double rstar, double divisor) {
    const RingGeometry ring(re, rstar);
    // The integrand of limb_integrand with M the ring kernel, a quadrature
    // level at a time: for each point x the kernel at x, x + h and x - h
    // (h the step of numeric::sderivative), all of a level's kernels
    // evaluated numeric::BATCH_WIDTH at a time, then combined per point as
    // limb_integrand combines them.  The same bits as one point at a time.
    constexpr std::size_t W = numeric::BATCH_WIDTH;
    std::vector<double> radii;
    std::vector<double> kernel;
    for (double& entry : l) {
        const double separation = entry;
        auto integrand = [&](const double* x, double* out, std::size_t count) {
            radii.resize(3 * count);
            kernel.resize(3 * count);
            for (std::size_t i = 0; i < count; ++i) {
                const double h = (1 + std::fabs(x[i])) * numeric::CBRT_EPS;
                radii[3 * i] = x[i];
                radii[3 * i + 1] = x[i] + h;
                radii[3 * i + 2] = x[i] - h;
            }
            for (std::size_t j = 0; j < radii.size(); j += W) {
                const int lanes = static_cast<int>(radii.size() - j < W ? radii.size() - j : W);
                Expected<double> k[W];
                ring.batch(separation, radii.data() + j, k, lanes);
                for (int i = 0; i < lanes; ++i)
                    kernel[j + static_cast<std::size_t>(i)] = k[i] ? *k[i] : std::numeric_limits<double>::quiet_NaN();
            }
            for (std::size_t i = 0; i < count; ++i) {
                const double h = (1 + std::fabs(x[i])) * numeric::CBRT_EPS;
                const double m = kernel[3 * i];
                const double dm = (kernel[3 * i + 1] - kernel[3 * i + 2]) / (h + h);
                const double p = profile(x[i]);
                out[i] = ((x[i] * numeric::TWO_PI) * (m + (x[i] * 0.5) * dm)) * p;
            }
        };
        entry = numeric::integrate_batched(integrand, 0.0, 1.0, INTEGRATION_TARGET).integral / divisor;
    }
    return l;
}

// The flux of a profile over the unit disk, int_0^1 (2pi x) P(x) dx.
template <class Profile>
double profile_flux(const Profile& profile) {
    return numeric::integrate([&](double x) { return (numeric::TWO_PI * x) * profile(x); }, 0.0, 1.0, INTEGRATION_TARGET)
        .integral;
}

// Flux-map forms: the caller's table (bl radii, bf brightness) as an
// interpolated profile, normalised by its own flux, computed once per call.
// Unequal table lengths are an internal fault, checked before anything else.
Expected<std::vector<double>> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re,
                                                                         double rstar,
                                                                         const std::vector<double>& bl,
                                                                         const std::vector<double>& bf);
std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                                const std::vector<double>& bl,
                                                                const std::vector<double>& bf);

// The module's limb-darkened forms: the default profile and divisor.
Expected<std::vector<double>> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar);
std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar);

}  // namespace kelvora
