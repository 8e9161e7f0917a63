// The four-lane closed form of fspl/core/disk_lanes.hpp, built with -mavx2
// and without FMA (-mno-fma, -ffp-contract=off): multiplications and
// additions round separately, as in the scalar code.
#if !defined(__AVX2__) || defined(__FMA__)
#error "disk_lanes_avx2.cpp must be built with -mavx2 -mno-fma"
#endif

#include "fspl/core/disk_lanes.hpp"

#include <immintrin.h>

#include <cmath>

#include "numeric/cel.hpp"
#include "numeric/constants.hpp"
#include "numeric/legendre_ke.hpp"

// The vector types never cross a function boundary outside this file.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvora::fspl::lanes {

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

inline v4d splat(double a) noexcept { return v4d{a, a, a, a}; }
inline v4d load(const double* p) noexcept {
    v4d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, v4d v) noexcept { __builtin_memcpy(p, &v, sizeof v); }
inline v4d vsqrt(v4d a) noexcept { return (v4d)_mm256_sqrt_pd((__m256d)a); }
inline v4d vfabs(v4d a) noexcept {
    const v4i m = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return (v4d)((v4i)a & m);
}
inline bool any(v4i m) noexcept { return _mm256_movemask_pd((__m256d)m) != 0; }

template <int N>
inline v4d horner(const double (&c)[N], v4d x) noexcept {
    v4d p = splat(c[0]);
    for (int i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

// numeric::cel, lane by lane.
inline v4d cel(v4d kc, v4d p, v4d a, v4d b) noexcept {
    v4d k = vfabs(kc);
    v4d e = k;
    v4d em = splat(1.0);
    p = vsqrt(p);
    b = b / p;
    v4i active = {-1, -1, -1, -1};
    for (int step = 0; step < numeric::detail::CEL_MAX_STEPS; ++step) {
        const v4d inv = 1.0 / p;
        const v4d f = a;
        const v4d a1 = a + b * inv;
        const v4d g = e * inv;
        v4d b1 = b + f * g;
        b1 = b1 + b1;
        const v4d p1 = g + p;
        const v4d g1 = em;
        const v4d em1 = em + k;
        a = active ? a1 : a;
        b = active ? b1 : b;
        p = active ? p1 : p;
        em = active ? em1 : em;
        active = active & (vfabs(g1 - k) > g1 * numeric::detail::CEL_ACCURACY);
        if (!any(active)) break;
        const v4d k1 = 2.0 * vsqrt(e);
        const v4d e1 = k1 * em;
        k = active ? k1 : k;
        e = active ? e1 : e;
    }
    return numeric::PI_2 * (b + a * em) / (em * (em + p));
}

}  // namespace

void closed_form(double u_scalar, const double* rho_in, double* out) noexcept {
    const v4d rho = load(rho_in);
    const v4d u = splat(u_scalar);
    // detail::closed_form_parts
    const v4d d = (u - rho) / rho;
    const v4d S = (u + rho) / rho;
    const v4d d2 = d * d;
    const v4d rho2 = rho * rho;
    const v4d s = vsqrt(4.0 + rho2 * d2);
    const v4d p = (d / S) * (d / S);
    const v4d kc = vfabs(d) * vsqrt(4.0 + rho2 * S * S) / (S * s);
    // detail::ellipe_complement(kc^2)
    const v4d x = kc * kc;
    double xs[4], logs[4];
    store(xs, x);
    for (int l = 0; l < 4; ++l) logs[l] = std::log(xs[l]);
    v4d e = horner(numeric::detail::PE, x) - load(logs) * (x * horner(numeric::detail::QE, x));
    e = x == 0.0 ? splat(1.0) : e;
    const v4d t_e = S * s / (2.0 * rho) * e;
    const v4d alpha = -d * (8.0 + rho2 * S * d) / (2.0 * rho * s);
    const v4d gamma = 2.0 * d2 * (1.0 + rho2) / (rho * S * s);
    // uniform_disk_closed_form and uniform_disk's floor of 1
    const v4d kpi = cel(kc, p, alpha + gamma, gamma + alpha * p);
    const v4d value = (t_e + kpi) * numeric::INV_PI;
    store(out, 1.0 < value ? value : splat(1.0));
}

}  // namespace kelvora::fspl::lanes
