// Radial brightness profiles of a limb-darkened source star.
//
// r is the distance from the source centre in source radii and
// mu = sqrt(1 - r^2) the cosine of the angle between the line of sight and
// the stellar surface normal.  The laws, as fitted to model atmospheres:
//
//   uniform       I = 1
//   linear        I = 1 - u1 (1 - mu)                       (Milne 1921)
//   quadratic     I = 1 - u1 (1 - mu) - u2 (1 - mu)^2       (Kopal 1950)
//   square-root   I = 1 - c (1 - mu) - d (1 - sqrt(mu))     (Diaz-Cordoves & Gimenez 1992)
//   power-2       I = 1 - c (1 - mu^alpha)                  (Hestroffer 1997; Maxted 2018)
//   tabulated     I linear in mu between strictly rising nodes in [0, 1],
//                 constant beyond the first and the last node
//
// Only the shape matters: the magnification divides by the flux.  A Profile
// is checked when it is made (finite coefficients, I >= 0 everywhere on the
// disk, not zero everywhere) and holds what the magnification needs: the
// brightness at the limb, the flux, the moments of the far-field series and
// the derivative dI/dtau in the integration variable of magnification.hpp.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fspl/core/far_field.hpp"

namespace kelvora::fspl {

// A rejected argument, reported to Python as ValueError.
struct Error {
    std::string message;
};

// The shortest decimal form of a double that reads back to it, written as
// Python's repr writes it: positional from 1e-4 up to 1e16 (with a ".0" when
// it has no fraction), scientific with a two-digit exponent beyond.
std::string repr(double x);

enum class Law { uniform, linear, quadratic, square_root, power_2, tabulated };

// The law of its name ("uniform", "linear", "quadratic", "square-root",
// "power-2", "tabulated"); an unknown name is an Error listing the valid ones.
std::expected<Law, Error> parse_law(std::string_view name);

std::string_view law_name(Law law) noexcept;

// Number of coefficients the law takes (tabulated: 2, the two tables).
int coefficient_count(Law law) noexcept;

// The Error for `given` coefficients where the law takes another number.
std::optional<Error> count_error(Law law, std::size_t given);

class Profile {
public:
    // An analytic law with its coefficients (coefficient_count(law) of them).
    static std::expected<Profile, Error> analytic(Law law, std::span<const double> coefficients);
    // A tabulated profile: intensities at strictly rising mu_nodes in [0, 1].
    static std::expected<Profile, Error> tabulated(std::span<const double> mu_nodes,
                                                   std::span<const double> intensities);
    static Profile uniform() { return *analytic(Law::uniform, {}); }

    Law law() const noexcept { return law_; }
    // I(mu), as the law defines it (a table scaled to a largest value of 1).
    double intensity(double mu) const noexcept;
    // I at the limb (mu = 0).
    double limb() const noexcept { return limb_; }
    // 2 int_0^1 I r dr: the flux in units of pi rho^2.
    double flux() const noexcept { return moments_[0]; }
    // int_0^1 I r^2k 2r dr, k < FAR_FIELD_TERMS.
    const FarFieldMoments& moments() const noexcept { return moments_; }
    // The far-field series coefficients <r^2k>/(k!)^2.
    const FarFieldMoments& far_field_coefficients() const noexcept { return far_; }
    // The linear, quadratic and square-root laws as weights of the profiles
    // 1, mu, mu^2 and sqrt(mu) (I = sum w_j I_j), for the small-source
    // expansion (small_source.hpp); null for the other laws, and where the
    // weights cancel: sum |w_j| F_j above 4 |sum w_j F_j|, F_j the fluxes.
    const std::array<double, 4>* basis_weights() const noexcept { return has_basis_ ? &basis_ : nullptr; }

    // The integration variable tau in [0, 1]: r = 1 - tau^4, so that
    // mu = tau^2 sqrt(1 + r) is smooth in tau at the limb and r is linear in
    // tau at the centre.  limb_grading() is the exponent q of the nodes
    // crowded towards the limb, tau ~ w^q (2, or more for power-2).
    double limb_grading() const noexcept { return limb_grading_; }
    // dI/dtau at tau, with r = 1 - tau^4 given (analytic laws).
    double slope(double tau, double r) const noexcept;
    // Tabulated: tau of the nodes strictly inside (0, 1), rising (where dI/dmu
    // jumps), and the rise of I (intensities scaled to a largest of 1) across
    // each of the breakpoints().size() + 1 segments between 0, the
    // breakpoints and 1.
    const std::vector<double>& breakpoints() const noexcept { return tau_nodes_; }
    const std::vector<double>& segment_rises() const noexcept { return segment_rise_; }
    // The mu at the ends of those segments: 0, the nodes inside (0, 1), 1.
    const std::vector<double>& segment_edges() const noexcept { return mu_edges_; }

    // The derivatives with respect to the coefficients, for the gradient of
    // the magnification.  gradient_count() of them: the analytic laws'
    // coefficients in order (power-2: c and alpha), a table's intensities as
    // given (not its nodes).
    int gradient_count() const noexcept;
    // d slope/d coefficient at tau (analytic laws).
    std::array<double, 2> slope_derivatives(double tau, double r) const noexcept;
    // d moments()/d coefficient, one set per coefficient.
    std::vector<FarFieldMoments> moment_derivatives() const;
    // Tabulated: the node whose intensity I takes at each segment_edges()
    // entry (beyond the table, the first or the last), and the largest
    // intensity given, by which the table was scaled.
    const std::vector<std::size_t>& edge_nodes() const noexcept { return edge_node_; }
    double intensity_scale() const noexcept { return scale_; }

private:
    Profile() = default;
    void finish();

    Law law_ = Law::uniform;
    double a_ = 0.0;  // u1, c
    double b_ = 0.0;  // u2, d, alpha
    double limb_grading_ = 2.0;
    double limb_ = 1.0;
    FarFieldMoments moments_{};
    FarFieldMoments far_{};
    std::vector<double> mu_;        // tabulated nodes
    std::vector<double> i_;         // and intensities
    std::vector<double> tau_nodes_; // tau of the nodes inside (0, 1)
    std::vector<double> segment_rise_;
    std::vector<double> mu_edges_;
    std::vector<std::size_t> edge_node_;
    double scale_ = 1.0;
    std::array<double, 4> basis_{};
    bool has_basis_ = false;
};

}  // namespace kelvora::fspl
