#include "fspl/core/far_field.hpp"

#include <cmath>

namespace kelvora::fspl {

namespace {

using detail::FAR_FIELD_Q;
using detail::FAR_FIELD_TERMS;

constexpr double SUM_TOLERANCE = 8.673617379884035e-19;  // 2^-60

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

}  // namespace

double far_field(double u, double rho, const FarFieldMoments& c) noexcept {
    // A - 1 ~ 2/u^4 is far below the last bit of 1 long before u^2 overflows.
    if (!(u < 1e100)) return 1.0;
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
            sum += term;
            if (std::fabs(term) < SUM_TOLERANCE * sum) break;
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
            sum += term;
            if (std::fabs(term) < SUM_TOLERANCE * sum) break;
        }
    }
    return 1.0 + sum * base;
}

double far_field_uniform(double u, double rho) noexcept { return far_field(u, rho, UNIFORM); }

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
