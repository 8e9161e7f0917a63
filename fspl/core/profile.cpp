#include "fspl/core/profile.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "numeric/gauss_legendre.hpp"

namespace kelvora::fspl {

std::string repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    std::array<char, 32> buf{};
    const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific);
    const std::string text(buf.data(), result.ptr);  // d[.ddd]e(+|-)XX
    const bool negative = text.front() == '-';
    const std::size_t e = text.find('e');
    std::string digits = text.substr(negative ? 1 : 0, e - (negative ? 1 : 0));
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    const int exponent = std::stoi(text.substr(e + 1));
    const auto n = static_cast<int>(digits.size());
    std::string out = negative ? "-" : "";
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        } else if (n <= exponent + 1) {
            out += digits + std::string(static_cast<std::size_t>(exponent + 1 - n), '0') + ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
                   digits.substr(static_cast<std::size_t>(exponent + 1));
        }
    } else {
        out += digits.substr(0, 1);
        if (n > 1) out += "." + digits.substr(1);
        const int magnitude = exponent < 0 ? -exponent : exponent;
        out += std::string("e") + (exponent < 0 ? "-" : "+") + (magnitude < 10 ? "0" : "") + std::to_string(magnitude);
    }
    return out;
}

namespace {

using detail::FAR_FIELD_TERMS;


// A name in quotes, its control characters (a NUL among them) escaped as
// Python escapes them, so that a message shows the whole name.
std::string quoted(std::string_view name) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out = "'";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\x";
                    out += HEX[byte >> 4];
                    out += HEX[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    return out + "'";
}

std::unexpected<Error> error(std::string message) { return std::unexpected(Error{std::move(message)}); }

constexpr double ALPHA_MIN = 0.1;
// The largest coefficient of an analytic law, in magnitude.  Beyond about
// 1e6 the profile is, to a part in 1e6 of its brightness, a multiple of the
// law's shape without its constant term (1 - mu for linear, say), and the
// derivatives in the coefficients, of order 1/c^2, are differences of terms
// of order 1/c that keep only eps c of their digits (1e-8 at c = 1e8, all
// of them lost near 1e16; the values themselves stay right up to 1e306).
constexpr double COEFFICIENT_BOUND = 1e6;
constexpr double ALPHA_MAX = 10.0;

constexpr std::array<std::string_view, 6> NAMES = {"uniform", "linear", "quadratic",
                                                   "square-root", "power-2", "tabulated"};
constexpr std::array<std::string_view, 6> COEFFICIENT_NAMES = {"", "u1", "u1, u2", "c, d",
                                                               "c, alpha", "mu_nodes, intensities"};

// int_0^1 mu^beta (1 - mu^2)^k 2 mu dmu = B(beta/2 + 1, k + 1), k = 0, 1, ...
constexpr FarFieldMoments power_moments(double beta) {
    FarFieldMoments m{};
    const double h = 0.5 * beta;
    m[0] = 1.0 / (h + 1.0);
    for (int k = 1; k < FAR_FIELD_TERMS; ++k) m[k] = m[k - 1] * k / (h + k + 1.0);
    return m;
}

// Those of the profiles 1, mu, mu^2 and sqrt(mu), made once at compile time
// (the same operations, so the same bits): a profile made for every call of
// two floats does not divide 48 times for them.
constexpr FarFieldMoments MOMENTS_1 = power_moments(0.0);
constexpr FarFieldMoments MOMENTS_MU = power_moments(1.0);
constexpr FarFieldMoments MOMENTS_MU2 = power_moments(2.0);
constexpr FarFieldMoments MOMENTS_SQRT_MU = power_moments(0.5);

// The smallest of I = 1 - a x - b x^2 over 0 <= x <= 1 (both endpoints and a
// minimum inside).
double quadratic_minimum(double a, double b) {
    double lowest = std::min(1.0, 1.0 - a - b);
    if (b < 0) {
        const double x = -a / (2.0 * b);
        if (x > 0 && x < 1) lowest = std::min(lowest, 1.0 - a * x - b * x * x);
    }
    return lowest;
}

}  // namespace

std::expected<Law, Error> parse_law(std::string_view name) {
    for (std::size_t i = 0; i < NAMES.size(); ++i)
        if (name == NAMES[i]) return static_cast<Law>(i);
    std::string message = "unknown law " + quoted(name) + "; the laws are ";
    for (std::size_t i = 0; i < NAMES.size(); ++i) {
        if (i > 0) message += i + 1 == NAMES.size() ? " and " : ", ";
        message += "'" + std::string(NAMES[i]) + "'";
    }
    return error(message);
}

std::string_view law_name(Law law) noexcept { return NAMES[static_cast<std::size_t>(law)]; }

int coefficient_count(Law law) noexcept {
    switch (law) {
        case Law::uniform: return 0;
        case Law::linear: return 1;
        default: return 2;
    }
}

std::optional<Error> count_error(Law law, std::size_t given) {
    const int want = coefficient_count(law);
    if (static_cast<int>(given) == want) return std::nullopt;
    std::string message = "law '" + std::string(law_name(law)) + "' takes ";
    if (want == 0) {
        message += "no coefficients";
    } else {
        message += std::to_string(want) + (want == 1 ? " coefficient (" : " coefficients (") +
                   std::string(COEFFICIENT_NAMES[static_cast<std::size_t>(law)]) + ")";
    }
    return Error{message + ", got " + std::to_string(given)};
}

std::expected<Profile, Error> Profile::analytic(Law law, std::span<const double> coefficients) {
    const auto name = std::string(law_name(law));
    const int want = coefficient_count(law);
    if (law == Law::tabulated) return error("the 'tabulated' law takes (mu_nodes, intensities)");
    if (auto wrong = count_error(law, coefficients.size())) return std::unexpected(*std::move(wrong));
    for (std::size_t i = 0; i < coefficients.size(); ++i) {
        if (!std::isfinite(coefficients[i]))
            return error("coefficients of law '" + name + "' must be finite, got " + repr(coefficients[i]));
        if (std::abs(coefficients[i]) > COEFFICIENT_BOUND)
            return error("coefficients of law '" + name + "' must lie within [-1e6, 1e6], got " + repr(coefficients[i]));
    }
    Profile profile;
    profile.law_ = law;
    if (want > 0) profile.a_ = coefficients[0];
    if (want > 1) profile.b_ = coefficients[1];
    const double a = profile.a_;
    const double b = profile.b_;

    double lowest = 1.0;
    switch (law) {
        case Law::uniform: break;
        case Law::linear: lowest = std::min(1.0, 1.0 - a); break;
        case Law::quadratic: lowest = quadratic_minimum(a, b); break;
        case Law::square_root: {
            // In v = sqrt(mu): I = 1 - c (1 - v^2) - d (1 - v), a quadratic in
            // v, i.e. in x = 1 - v: I = 1 - (2c + d) x + c x^2.
            lowest = quadratic_minimum(2.0 * a + b, -a);
            break;
        }
        case Law::power_2:
            // Beyond this range the profile is a spike at the limb (alpha ->
            // 0) or at the centre (alpha -> inf) that the rules do not resolve
            // to 1e-9; fits to model atmospheres give 0.2 < alpha < 2.
            if (!(b >= ALPHA_MIN && b <= ALPHA_MAX))
                return error("alpha of law 'power-2' must lie within [0.1, 10], got " + repr(b));
            lowest = std::min(1.0, 1.0 - a);
            break;
        case Law::tabulated: break;
    }
    if (lowest < 0) {
        return error("the '" + name + "' profile with these coefficients is negative on the disk (I = " +
                     repr(lowest) + " at its lowest)");
    }
    profile.finish();
    return profile;
}

std::expected<Profile, Error> Profile::tabulated(std::span<const double> mu_nodes,
                                                 std::span<const double> intensities) {
    if (mu_nodes.size() != intensities.size()) {
        return error("mu_nodes and intensities of law 'tabulated' must have equal lengths, got " +
                     std::to_string(mu_nodes.size()) + " and " + std::to_string(intensities.size()));
    }
    if (mu_nodes.empty()) return error("mu_nodes of law 'tabulated' must not be empty");
    bool bright = false;
    for (std::size_t i = 0; i < mu_nodes.size(); ++i) {
        const double mu = mu_nodes[i];
        const double level = intensities[i];
        if (!(mu >= 0.0 && mu <= 1.0))
            return error("mu_nodes of law 'tabulated' must lie within [0, 1], got " + repr(mu));
        if (i > 0 && !(mu > mu_nodes[i - 1])) {
            return error("mu_nodes of law 'tabulated' must rise strictly, got " + repr(mu) + " after " +
                         repr(mu_nodes[i - 1]));
        }
        if (!std::isfinite(level))
            return error("intensities of law 'tabulated' must be finite, got " + repr(level));
        if (level < 0) {
            return error("intensities of law 'tabulated' must not be negative, got " + repr(level) +
                         " at mu = " + repr(mu));
        }
        bright = bright || level > 0;
    }
    if (!bright) return error("intensities of law 'tabulated' are zero everywhere on the disk");
    Profile profile;
    profile.law_ = Law::tabulated;
    profile.mu_.assign(mu_nodes.begin(), mu_nodes.end());
    // Only the shape matters: scale the brightest node to 1, so that neither
    // tiny nor huge intensities reach the arithmetic.
    const double brightest = *std::max_element(intensities.begin(), intensities.end());
    profile.scale_ = brightest;
    profile.i_.reserve(intensities.size());
    for (double level : intensities) profile.i_.push_back(level / brightest);
    profile.finish();
    // Light in a zone so thin (a few 1e-154 of mu at the limb) that the
    // flux underflows: the differences of the disks no longer resolve it.
    if (!(profile.flux() >= std::numeric_limits<double>::min())) {
        return error("the 'tabulated' profile holds its light in a zone too thin to compute with (flux " +
                     repr(profile.flux()) + " of the brightest intensity's, below the smallest normal double)");
    }
    return profile;
}

double Profile::intensity(double mu) const noexcept {
    const double x = 1.0 - mu;
    switch (law_) {
        case Law::uniform: return 1.0;
        case Law::linear: return 1.0 - a_ * x;
        case Law::quadratic: return 1.0 - a_ * x - b_ * x * x;
        case Law::square_root: return 1.0 - a_ * x - b_ * (1.0 - std::sqrt(mu));
        case Law::power_2: return 1.0 - a_ * (1.0 - std::pow(mu, b_));
        case Law::tabulated: {
            if (mu <= mu_.front()) return i_.front();
            if (mu >= mu_.back()) return i_.back();
            const auto j = static_cast<std::size_t>(std::upper_bound(mu_.begin(), mu_.end(), mu) - mu_.begin());
            const double t = (mu - mu_[j - 1]) / (mu_[j] - mu_[j - 1]);
            return i_[j - 1] + t * (i_[j] - i_[j - 1]);
        }
    }
    return 1.0;
}

void Profile::finish() {
    switch (law_) {
        case Law::uniform:
            moments_ = MOMENTS_1;
            limb_ = 1.0;
            break;
        case Law::linear:
        case Law::quadratic:
        case Law::square_root: {
            // I = k0 + k1 mu + k2 mu^2 + k3 sqrt(mu)
            double k0 = 1.0, k1 = 0.0, k2 = 0.0, k3 = 0.0;
            if (law_ == Law::linear) { k0 = 1.0 - a_; k1 = a_; }
            if (law_ == Law::quadratic) { k0 = 1.0 - a_ - b_; k1 = a_ + 2.0 * b_; k2 = -b_; }
            if (law_ == Law::square_root) { k0 = 1.0 - a_ - b_; k1 = a_; k3 = b_; }
            const auto &m0 = MOMENTS_1, &m1 = MOMENTS_MU, &m2 = MOMENTS_MU2, &mh = MOMENTS_SQRT_MU;
            for (int k = 0; k < FAR_FIELD_TERMS; ++k) moments_[k] = k0 * m0[k] + k1 * m1[k] + k2 * m2[k] + k3 * mh[k];
            limb_ = k0;
            basis_ = {k0, k1, k2, k3};
            const double spread = std::abs(k0) * m0[0] + std::abs(k1) * m1[0] + std::abs(k2) * m2[0] + std::abs(k3) * mh[0];
            has_basis_ = spread <= 4.0 * std::abs(moments_[0]);
            break;
        }
        case Law::power_2: {
            const auto& m0 = MOMENTS_1;
            const auto ma = power_moments(b_);
            for (int k = 0; k < FAR_FIELD_TERMS; ++k) moments_[k] = (1.0 - a_) * m0[k] + a_ * ma[k];
            limb_ = 1.0 - a_;
            // mu^alpha = tau^(2 alpha) (1 + r)^(alpha/2); with tau = w^q and
            // q = ceil(4 alpha)/(2 alpha) >= 2, tau^(2 alpha) = w^ceil(4 alpha).
            limb_grading_ = std::ceil(4.0 * b_) / (2.0 * b_);
            break;
        }
        case Law::tabulated: {
            // Moments exactly: on each segment I is linear in mu and the
            // integrand a polynomial of degree 2k + 2 <= 26 in mu, which the
            // 14-point Gauss-Legendre rule integrates exactly.
            using GL = numeric::GaussLegendreHalf<14>;
            // The segments: 0, the nodes inside (0, 1), 1.
            mu_edges_.assign(1, 0.0);
            edge_node_.assign(1, 0);
            for (std::size_t i = 0; i < mu_.size(); ++i) {
                if (mu_[i] > 0.0 && mu_[i] < 1.0) {
                    mu_edges_.push_back(mu_[i]);
                    edge_node_.push_back(i);
                }
            }
            mu_edges_.push_back(1.0);
            edge_node_.push_back(mu_.size() - 1);
            moments_ = {};
            tau_nodes_.clear();
            segment_rise_.clear();
            for (std::size_t s = 0; s + 1 < mu_edges_.size(); ++s) {
                const double lo = mu_edges_[s], hi = mu_edges_[s + 1], width = hi - lo;
                for (std::size_t i = 0; i < GL::x.size(); ++i) {
                    for (double x : {GL::x[i], 1.0 - GL::x[i]}) {
                        const double mu = lo + width * x;
                        const double level = intensity(mu) * (2.0 * mu) * (width * GL::w[i]);
                        const double c = 1.0 - mu * mu;
                        double ck = 1.0;
                        for (int k = 0; k < FAR_FIELD_TERMS; ++k) {
                            moments_[k] += level * ck;
                            ck *= c;
                        }
                    }
                }
                // The rise of I across the segment, from the limb (tau = 0,
                // mu = 0) inwards: zero beyond the table.
                segment_rise_.push_back(intensity(hi) - intensity(lo));
                // Breakpoints in tau: r = 1 - tau^4, 1 - r = mu^2/(1 + r).
                if (hi < 1.0) {
                    const double r = std::sqrt((1.0 - hi) * (1.0 + hi));
                    tau_nodes_.push_back(std::sqrt(std::sqrt(hi * hi / (1.0 + r))));
                }
            }
            limb_ = intensity(0.0);
            break;
        }
    }
    far_ = far_field_moments(moments_);
}

double Profile::slope(double tau, double r) const noexcept {
    // mu = tau^2 sqrt(1 + r) and dmu/dtau = 4 tau r/sqrt(1 + r).
    switch (law_) {
        case Law::uniform:
        case Law::tabulated: return 0.0;
        case Law::linear: return a_ * (4.0 * tau * r / std::sqrt(1.0 + r));
        case Law::quadratic: {
            const double q = std::sqrt(1.0 + r);
            const double mu = tau * tau * q;
            return (a_ + 2.0 * b_ * (1.0 - mu)) * (4.0 * tau * r / q);
        }
        case Law::square_root: {
            // d sqrt(mu)/dtau = 2 r/(1 + r)^(3/4) with mu = tau^2 sqrt(1 + r).
            const double q = std::sqrt(1.0 + r);
            return a_ * (4.0 * tau * r / q) + b_ * (2.0 * r / (q * std::sqrt(q)));
        }
        case Law::power_2:
            // d(mu^alpha)/dtau = 4 alpha tau^(2 alpha - 1) r (1 + r)^(alpha/2 - 1).
            return a_ * (4.0 * b_) * std::pow(tau, 2.0 * b_ - 1.0) * r * std::pow(1.0 + r, 0.5 * b_ - 1.0);
    }
    return 0.0;
}

int Profile::gradient_count() const noexcept {
    return law_ == Law::tabulated ? static_cast<int>(i_.size()) : coefficient_count(law_);
}

std::array<double, 2> Profile::slope_derivatives(double tau, double r) const noexcept {
    // slope() differentiated in its coefficients.
    switch (law_) {
        case Law::uniform:
        case Law::tabulated: return {0.0, 0.0};
        case Law::linear: return {4.0 * tau * r / std::sqrt(1.0 + r), 0.0};
        case Law::quadratic: {
            const double q = std::sqrt(1.0 + r);
            const double mu = tau * tau * q;
            const double dmu = 4.0 * tau * r / q;
            return {dmu, 2.0 * (1.0 - mu) * dmu};
        }
        case Law::square_root: {
            const double q = std::sqrt(1.0 + r);
            return {4.0 * tau * r / q, 2.0 * r / (q * std::sqrt(q))};
        }
        case Law::power_2: {
            // d(mu^alpha)/dtau = 4 alpha tau^(2 alpha - 1) r (1 + r)^(alpha/2 - 1), and
            // its alpha-derivative (1/alpha + ln(mu)) times it, ln mu = 2 ln tau + ln(1 + r)/2.
            const double g = 4.0 * std::pow(tau, 2.0 * b_ - 1.0) * r * std::pow(1.0 + r, 0.5 * b_ - 1.0);
            const double log_mu = 2.0 * std::log(tau) + 0.5 * std::log1p(r);
            return {b_ * g, a_ * g * (1.0 + b_ * log_mu)};
        }
    }
    return {0.0, 0.0};
}

std::vector<FarFieldMoments> Profile::moment_derivatives() const {
    std::vector<FarFieldMoments> out(static_cast<std::size_t>(gradient_count()));
    const auto &m0 = MOMENTS_1, &m1 = MOMENTS_MU, &m2 = MOMENTS_MU2, &mh = MOMENTS_SQRT_MU;
    auto combine = [&](FarFieldMoments& d, double c0, double c1, double c2, double ch) {
        for (int k = 0; k < FAR_FIELD_TERMS; ++k) d[k] = c0 * m0[k] + c1 * m1[k] + c2 * m2[k] + ch * mh[k];
    };
    switch (law_) {
        case Law::uniform: break;
        case Law::linear: combine(out[0], -1.0, 1.0, 0.0, 0.0); break;
        case Law::quadratic:
            combine(out[0], -1.0, 1.0, 0.0, 0.0);
            combine(out[1], -1.0, 2.0, -1.0, 0.0);
            break;
        case Law::square_root:
            combine(out[0], -1.0, 1.0, 0.0, 0.0);
            combine(out[1], -1.0, 0.0, 0.0, 1.0);
            break;
        case Law::power_2: {
            // m_k(alpha) = B(alpha/2 + 1, k + 1); d/dalpha = -m_k/2 sum_(j<=k) 1/(alpha/2 + j + 1).
            const auto ma = power_moments(b_);
            double harmonic = 0.0;
            for (int k = 0; k < FAR_FIELD_TERMS; ++k) {
                harmonic += 1.0 / (0.5 * b_ + k + 1.0);
                out[0][k] = ma[k] - m0[k];
                out[1][k] = a_ * (-0.5 * ma[k] * harmonic);
            }
            break;
        }
        case Law::tabulated: {
            // I is (1 - x) I(edge s) + x I(edge s + 1) on segment s: each node's
            // share is a hat, integrated exactly as in finish().
            using GL = numeric::GaussLegendreHalf<14>;
            for (std::size_t s = 0; s + 1 < mu_edges_.size(); ++s) {
                const double lo = mu_edges_[s], hi = mu_edges_[s + 1], width = hi - lo;
                for (std::size_t i = 0; i < GL::x.size(); ++i) {
                    for (double x : {GL::x[i], 1.0 - GL::x[i]}) {
                        const double mu = lo + width * x;
                        const double weight = (2.0 * mu) * (width * GL::w[i]);
                        const double c = 1.0 - mu * mu;
                        double ck = 1.0;
                        for (int k = 0; k < FAR_FIELD_TERMS; ++k) {
                            out[edge_node_[s]][k] += (1.0 - x) * weight * ck;
                            out[edge_node_[s + 1]][k] += x * weight * ck;
                            ck *= c;
                        }
                    }
                }
            }
            break;
        }
    }
    return out;
}

}  // namespace kelvora::fspl
