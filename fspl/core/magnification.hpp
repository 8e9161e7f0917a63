// The flux-weighted magnification of a limb-darkened source star by a point
// lens,
//
//   A(u, rho) = int I A0 dSigma / int I dSigma   over the source disk,
//
// u the lens-source separation and rho the source radius, in Einstein radii.
//
// Method.  The star is a superposition of uniform disks: with
// D(s) = pi s^2 A_U(u, s) the disk of radius s (uniform_disk.hpp), r = s/rho
// and F the flux, integration by parts of int I dD (dD/ds is the ring of
// radius s) gives
//
//   F (A - A_U(u, rho)) = - int_0^1 I'(r) r^2 (A_U(u, rho r) - A_U(u, rho)) dr,
//
// the uniform disk plus a correction that vanishes at the limb (so a profile
// whose light sits in a thin limb keeps its accuracy).  The integrand has two
// kinds of trouble: an (s - u) ln|s - u| kink where the lens lies on the edge
// of a sub-disk (s = u), and, for the laws in mu, an I' ~ (1 - r)^(-1/2)
// singularity at the limb.  Both are taken out by the variable and the split:
//
// * r = 1 - tau^4, so that mu = tau^2 sqrt(1 + r) and dI/dtau is smooth in tau
//   for the laws polynomial in mu or sqrt(mu), and r is linear in tau at the
//   centre; power-2's mu^alpha is made smooth by crowding the nodes at the
//   limb as w^q, q = ceil(4 alpha)/(2 alpha);
// * the tau-interval is split at the lens, tau_u = (1 - u/rho)^(1/4), and, for
//   a tabulated profile, at its nodes;
// * Gauss-Legendre nodes are crowded towards the kink as w^3, which makes it
//   w^5 ln w (and the ln of the gradient's integrands w^2 ln w), and towards
//   the limb when the lens is outside it (its kink then sits off the interval at tau ~ (u/rho - 1)^(1/4)); for a source larger
//   than the Einstein ring also geometrically, resolving the disks'
//   singularities at s = u +- 2i;
// * a table segment thinner than 1e-4 in r, where the difference of nearly
//   equal disks would lose its digits, is integrated over rings instead
//   (A_ring, one cel), with the nodes crowded as w^4 towards a lens on it.
//
// Beyond FAR_FIELD_RATIO source radii the far-field series of far_field.hpp is
// used for every law, with the profile's moments.
//
// Accuracy against the two mpmath routes of tools/gen_fspl_reference.py (3036
// rows, rho 1e-6 ... 1e3, u/rho 0 ... 1e6): at most 1.5e-10 for the
// limb-darkened laws, 7e-15 for the uniform disk (tests/cpp/test_fspl.cpp,
// tools/fspl_accuracy_table.py).
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_gradient.hpp"

namespace kelvora::fspl {

// The relative accuracy asked of A, a tolerance t: |A/A_true - 1| <= t for
// every law, rho in [1e-6, 1e3] and u >= 0, the derivatives within 10 t.
// The default, DEFAULT_TOLERANCE, is the most accurate; a looser tolerance
// takes fewer nodes (and, far enough from the source, the far-field series
// sooner), chosen per point from the level it falls in.  The uniform disk is
// a closed form, exact to 1e-12 at any tolerance.
inline constexpr double DEFAULT_TOLERANCE = 1e-9;

class Accuracy {
public:
    // The default accuracy.
    Accuracy() = default;
    // The accuracy of tolerance t, DEFAULT_TOLERANCE <= t < 1; an Error
    // (naming the tolerance) for any other t, NaN included.
    static std::expected<Accuracy, Error> of(double tolerance);
    // 0 (the default) to LEVELS - 1, the loosest.
    int level() const noexcept { return level_; }
    double tolerance() const noexcept { return tolerance_; }
    // The same tolerance with the rules of another level.
    Accuracy with_level(int level) const noexcept {
        Accuracy a = *this;
        a.level_ = level;
        return a;
    }
    // Each level's tolerance, the loosest it promises.
    static constexpr int LEVELS = 7;
    static constexpr double LEVEL_TOLERANCE[LEVELS] = {1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3};

private:
    int level_ = 0;
    double tolerance_ = DEFAULT_TOLERANCE;
};

// A(u, rho) for u >= 0 (+inf included) and finite rho > 0; NaN for any other
// u or rho (NaN, negative, rho zero or infinite).  Total: every pair of
// doubles gives a number or NaN, without recursion.
double magnification(double u, double rho, const Profile& profile, Accuracy accuracy = {}) noexcept;

// magnification(u[i], rho[i], profile, accuracy) into out[i] for n points,
// bit for bit; the uniform disk's closed forms side by side
// (uniform_disk_points).
void magnification_points(const double* u, const double* rho, const Profile& profile, Accuracy accuracy,
                          double* out, std::size_t n) noexcept;

// What the derivatives in a profile's coefficients need, made once per
// profile: d m_k/dc_i (Profile::moment_derivatives) and from them the
// derivatives of the far-field coefficients c_k = m_k/(m_0 (k!)^2).
struct CoefficientTerms {
    explicit CoefficientTerms(const Profile& profile);
    std::vector<FarFieldMoments> moments;
    std::vector<FarFieldMoments> far;
};

// A(u, rho) (bit for bit magnification() at the same accuracy) with dA/du and dA/drho and, when
// terms is given, dA/dc_i into coefficients[0 .. profile.gradient_count()).
// Outside the domain of magnification() every part is NaN.
//
// Differentiated under the superposition integral above: the lens's kink at
// s = u moves with u, but the integrand vanishes there (the difference of the
// disks is continuous), so no boundary term arises; the derivatives of the
// disks, log-singular at s = u, are integrable.  With A = N/F and N, F linear
// in I, dA/dc = ((A_U(rho) - A) dF/dc + int d(dI/dtau)/dc r^2 (A_U(rho r) -
// A_U(rho)) dtau)/F.  At u = rho both u- and rho-derivatives are infinite
// (-inf and +inf) when the limb is bright, I(0) > 0, and finite when it is
// dark: the whole disk's logarithmic term enters with the weight I(0)/F.
Gradient magnification_gradient(double u, double rho, const Profile& profile, const CoefficientTerms* terms,
                                std::span<double> coefficients, Accuracy accuracy = {}) noexcept;

}  // namespace kelvora::fspl
