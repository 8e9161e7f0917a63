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

// Two AVX2 vectors taken as one of eight lanes: every operation is applied to
// both halves, two independent chains whose latencies overlap.
struct V {
    v4d lo, hi;
};
struct M {
    v4i lo, hi;
};
#define KELVORA_LANES_INLINE inline __attribute__((always_inline))
KELVORA_LANES_INLINE V operator+(V a, V b) noexcept { return {a.lo + b.lo, a.hi + b.hi}; }
KELVORA_LANES_INLINE V operator-(V a, V b) noexcept { return {a.lo - b.lo, a.hi - b.hi}; }
KELVORA_LANES_INLINE V operator*(V a, V b) noexcept { return {a.lo * b.lo, a.hi * b.hi}; }
KELVORA_LANES_INLINE V operator/(V a, V b) noexcept { return {a.lo / b.lo, a.hi / b.hi}; }
KELVORA_LANES_INLINE V operator+(double a, V b) noexcept { return {a + b.lo, a + b.hi}; }
KELVORA_LANES_INLINE V operator+(V a, double b) noexcept { return {a.lo + b, a.hi + b}; }
KELVORA_LANES_INLINE V operator*(double a, V b) noexcept { return {a * b.lo, a * b.hi}; }
KELVORA_LANES_INLINE V operator*(V a, double b) noexcept { return {a.lo * b, a.hi * b}; }
KELVORA_LANES_INLINE V operator/(double a, V b) noexcept { return {a / b.lo, a / b.hi}; }
KELVORA_LANES_INLINE V operator-(V a) noexcept { return {-a.lo, -a.hi}; }
KELVORA_LANES_INLINE M operator>(V a, V b) noexcept { return {a.lo > b.lo, a.hi > b.hi}; }
KELVORA_LANES_INLINE M operator<(double a, V b) noexcept { return {a < b.lo, a < b.hi}; }
KELVORA_LANES_INLINE M operator==(V a, double b) noexcept { return {a.lo == b, a.hi == b}; }
KELVORA_LANES_INLINE M operator&(M a, M b) noexcept { return {a.lo & b.lo, a.hi & b.hi}; }
KELVORA_LANES_INLINE V select(M m, V a, V b) noexcept { return {m.lo ? a.lo : b.lo, m.hi ? a.hi : b.hi}; }

KELVORA_LANES_INLINE V splat(double a) noexcept {
    const v4d v = {a, a, a, a};
    return {v, v};
}
KELVORA_LANES_INLINE V load(const double* p) noexcept {
    V v;
    __builtin_memcpy(&v.lo, p, sizeof v.lo);
    __builtin_memcpy(&v.hi, p + 4, sizeof v.hi);
    return v;
}
KELVORA_LANES_INLINE void store(double* p, V v) noexcept {
    __builtin_memcpy(p, &v.lo, sizeof v.lo);
    __builtin_memcpy(p + 4, &v.hi, sizeof v.hi);
}
KELVORA_LANES_INLINE V vsqrt(V a) noexcept {
    return {(v4d)_mm256_sqrt_pd((__m256d)a.lo), (v4d)_mm256_sqrt_pd((__m256d)a.hi)};
}
KELVORA_LANES_INLINE V vfabs(V a) noexcept {
    const v4i m = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return {(v4d)((v4i)a.lo & m), (v4d)((v4i)a.hi & m)};
}
KELVORA_LANES_INLINE bool any(M m) noexcept {
    return (_mm256_movemask_pd((__m256d)m.lo) | _mm256_movemask_pd((__m256d)m.hi)) != 0;
}

template <int N>
KELVORA_LANES_INLINE V horner(const double (&c)[N], V x) noexcept {
    V p = splat(c[0]);
    for (int i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

// numeric::cel, lane by lane.
KELVORA_LANES_INLINE V cel(V kc, V p, V a, V b) noexcept {
    V k = vfabs(kc);
    V e = k;
    V em = splat(1.0);
    p = vsqrt(p);
    b = b / p;
    const v4i all = {-1, -1, -1, -1};
    M active = {all, all};
    for (int step = 0; step < numeric::detail::CEL_MAX_STEPS; ++step) {
        const V inv = 1.0 / p;
        const V f = a;
        const V a1 = a + b * inv;
        const V g = e * inv;
        V b1 = b + f * g;
        b1 = b1 + b1;
        const V p1 = g + p;
        const V g1 = em;
        const V em1 = em + k;
        a = select(active, a1, a);
        b = select(active, b1, b);
        p = select(active, p1, p);
        em = select(active, em1, em);
        active = active & (vfabs(g1 - k) > g1 * numeric::detail::CEL_ACCURACY);
        if (!any(active)) break;
        const V k1 = 2.0 * vsqrt(e);
        const V e1 = k1 * em;
        k = select(active, k1, k);
        e = select(active, e1, e);
    }
    return numeric::PI_2 * (b + a * em) / (em * (em + p));
}

KELVORA_LANES_INLINE V closed_form_of(V u, V rho) noexcept {
    // detail::closed_form_parts
    const V d = (u - rho) / rho;
    const V S = (u + rho) / rho;
    const V d2 = d * d;
    const V rho2 = rho * rho;
    const V s = vsqrt(4.0 + rho2 * d2);
    const V p = (d / S) * (d / S);
    const V kc = vfabs(d) * vsqrt(4.0 + rho2 * S * S) / (S * s);
    // detail::ellipe_complement(kc^2)
    const V x = kc * kc;
    double xs[8], logs[8];
    store(xs, x);
    for (int l = 0; l < 8; ++l) logs[l] = std::log(xs[l]);
    V e = horner(numeric::detail::PE, x) - load(logs) * (x * horner(numeric::detail::QE, x));
    e = select(x == 0.0, splat(1.0), e);
    const V t_e = S * s / (2.0 * rho) * e;
    const V alpha = -d * (8.0 + rho2 * S * d) / (2.0 * rho * s);
    const V gamma = 2.0 * d2 * (1.0 + rho2) / (rho * S * s);
    // uniform_disk_closed_form and uniform_disk's floor of 1
    const V kpi = cel(kc, p, alpha + gamma, gamma + alpha * p);
    const V value = (t_e + kpi) * numeric::INV_PI;
    return select(1.0 < value, value, splat(1.0));
}

}  // namespace

void closed_form(double u, const double* rho, double* out) noexcept { store(out, closed_form_of(splat(u), load(rho))); }

void closed_form_points(const double* u, const double* rho, double* out) noexcept {
    store(out, closed_form_of(load(u), load(rho)));
}

}  // namespace kelvora::fspl::lanes
