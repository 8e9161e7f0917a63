#include "fspl/core/far_field.hpp"

#include <cmath>

namespace kelvora::fspl {

namespace {

using detail::FAR_FIELD_Q;
using detail::FAR_FIELD_R;
using detail::FAR_FIELD_TERMS;

// The value's sum stops once a term adds less than 2^-60 of it, 2^-7 of its
// last bit: the margin leaves room for the terms still to come, which shrink
// like (rho/u)^2k (at u >= 8 rho the sum stops by k = 12).
constexpr double SUM_TOLERANCE = 8.673617379884035e-19;  // 2^-60
// The derivative sums stop sooner: 2^-34 (6e-11) is far below what the
// derivatives are promised to (1e-8), and each term costs a second Horner pass.
constexpr double GRADIENT_TOLERANCE = 5.820766091346741e-11;  // 2^-34
// Beyond this separation A - 1 ~ 2/u^4 is far below the last bit of 1 (and
// u^2 still far from overflow): the series is 1 and its derivatives 0.
constexpr double UNIT_BEYOND = 1e100;

// Number of coefficients of Q_k.
constexpr int q_length(int k) { return k == 0 ? 2 : 2 * k; }

constexpr FarFieldMoments uniform_moments() {
    FarFieldMoments c{};
    double factorial = 1.0;
    for (int k = 0; k < FAR_FIELD_TERMS; ++k) {
        if (k > 0) factorial *= k;
        c[k] = 1.0 / ((k + 1) * factorial * factorial);
    }
    return c;
}

constexpr FarFieldMoments UNIFORM = uniform_moments();

// The series (Gradient = false: the value alone) and, with Gradient, the
// derivative sums: du_sum = sum_k c_k y^k R_k/(t+4)^(2k+1), drho_sum =
// sum_k k (term k), both without the common factor 1/sqrt(t (t + 4)).  The
// value's terms are added exactly as without them; the derivatives stop at
// GRADIENT_TOLERANCE.
template <bool Gradient>
FarFieldGradient series(double u, double rho, const FarFieldMoments& c, FarFieldMoments* basis = nullptr,
                        double stop = SUM_TOLERANCE) noexcept {
    if (basis != nullptr) *basis = {};
    if (!(u < UNIT_BEYOND)) return {1.0, 0.0, 0.0};
    const double t = u * u;
    const double y = (rho / u) * (rho / u);
    const double t4 = t + 4.0;
    // 1/sqrt(t (t + 4)) without forming the product, which overflows first.
    const double base = 1.0 / (u * std::sqrt(t4));
    // A0 - 1 = 4/((t + 2 + sqrt(t (t + 4))) sqrt(t (t + 4))), without the
    // cancellation of A0 - 1; the series terms are added to it and 1 last.
    const double root = u * std::sqrt(t4);
    double sum = 4.0 / (t + 2.0 + root);
    double yk = 1.0;
    // R_0 = -4: the k = 0 term of du_sum is A0'(u) u sqrt(t (t + 4))/2.
    double du_sum = -4.0 / t4, drho_sum = 0.0;
    bool value_done = false, gradient_done = !Gradient;
    auto add = [&](int k, double term, double du_term) noexcept {
        if (!value_done) {
            sum += term;
            value_done = std::fabs(term) < stop * sum;
        }
        if constexpr (Gradient) {
            if (!gradient_done) {
                const double drho_term = k * term;
                du_sum += du_term;
                drho_sum += drho_term;
                gradient_done = std::fabs(du_term) < GRADIENT_TOLERANCE * std::fabs(du_sum) &&
                                std::fabs(drho_term) < GRADIENT_TOLERANCE * std::fabs(drho_sum);
            }
        }
        return value_done && gradient_done;
    };
    if (t >= 1.0) {
        const double inv_t = 1.0 / t;
        const double w = t / t4;
        const double w2 = w * w;
        double wk = w / t4;  // w^(2k-1)/(t + 4) for k = 1
        for (int k = 1; k < FAR_FIELD_TERMS; ++k) {
            yk *= y;
            const int n = q_length(k);
            // h = Q_k(t)/t^(2k-1), by Horner's rule in 1/t from the constant
            // coefficient up; Q_k/(t+4)^2k = h w^(2k-1)/(t+4).
            double h = FAR_FIELD_Q[k][0];
            for (int j = 1; j < n; ++j) h = h * inv_t + FAR_FIELD_Q[k][j];
            const double term = c[k] * yk * (h * wk);
            double du_term = 0.0;
            if constexpr (Gradient) {
                if (!gradient_done) {  // (past it, only the value's tail is summed)
                    // R_k/(t+4)^(2k+1) = (R_k/t^2k) w^2k/(t + 4).
                    double g = FAR_FIELD_R[k][0];
                    for (int j = 1; j <= 2 * k; ++j) g = g * inv_t + FAR_FIELD_R[k][j];
                    du_term = c[k] * yk * (g * (wk * w));
                    if (basis != nullptr) (*basis)[k] = yk * (h * wk) * base;
                }
            }
            if (add(k, term, du_term)) break;
            wk *= w2;
        }
    } else {
        const double v = 1.0 / t4;
        const double v2 = v * v;
        double vk = 1.0;
        for (int k = 1; k < FAR_FIELD_TERMS; ++k) {
            yk *= y;
            vk *= v2;
            const int n = q_length(k);
            double h = FAR_FIELD_Q[k][n - 1];
            for (int j = n - 2; j >= 0; --j) h = h * t + FAR_FIELD_Q[k][j];
            const double term = c[k] * yk * (h * vk);
            double du_term = 0.0;
            if constexpr (Gradient) {
                if (!gradient_done) {
                    double g = FAR_FIELD_R[k][2 * k];
                    for (int j = 2 * k - 1; j >= 0; --j) g = g * t + FAR_FIELD_R[k][j];
                    du_term = c[k] * yk * (g * (vk * v));
                    if (basis != nullptr) (*basis)[k] = yk * (h * vk) * base;
                }
            }
            if (add(k, term, du_term)) break;
        }
    }
    FarFieldGradient out{1.0 + sum * base, 0.0, 0.0};
    if constexpr (Gradient) {
        out.du = (2.0 / u) * (du_sum * base);
        // (in this order, so that a source below the smallest normal
        // double, whose terms all underflow, gives 0 rather than inf * 0)
        out.drho = 2.0 * (drho_sum * base) / rho;
    }
    return out;
}

}  // namespace

double far_field(double u, double rho, const FarFieldMoments& c, double stop) noexcept {
    return series<false>(u, rho, c, nullptr, stop).value;
}

FarFieldGradient far_field_gradient(double u, double rho, const FarFieldMoments& c,
                                    FarFieldMoments* basis) noexcept {
    return series<true>(u, rho, c, basis);
}

FarFieldGradient far_field_uniform_gradient(double u, double rho) noexcept {
    return series<true>(u, rho, UNIFORM);
}

double far_field_uniform(double u, double rho) noexcept { return far_field(u, rho, UNIFORM, SUM_TOLERANCE); }

FarFieldMoments far_field_moments(const FarFieldMoments& m) noexcept {
    FarFieldMoments c{};
    double factorial = 1.0;
    for (int k = 0; k < FAR_FIELD_TERMS; ++k) {
        if (k > 0) factorial *= k;
        c[k] = (m[k] / m[0]) / (factorial * factorial);
    }
    c[0] = 1.0;
    return c;
}

}  // namespace kelvora::fspl
