// The vector parts of the batched elliptic integrals (numeric/elliptic_batch.hpp):
// the loops of pure IEEE arithmetic (addition, subtraction, multiplication,
// division, square root) of four independent evaluations run side by side,
// one evaluation per lane.  Each lane performs exactly the operations, in the
// same order, that the single evaluation in numeric/elliptic.cpp and
// numeric/legendre_ke.hpp performs, and stops at its own pass: a lane that has
// met its stopping test keeps its state frozen while the others go on.  IEEE
// arithmetic rounds each lane of a vector operation as it rounds the scalar
// operation, so every lane ends with the scalar bits.  No libm function is
// called here: logarithms, arctangents and powers are taken per lane by the
// caller (numeric/elliptic_batch.cpp).
//
// This header declares the interface shared by the instruction-set variants
// and, with KELVORA_BATCH_VARIANT defined, defines one variant's kernels
// (included once by elliptic_batch_portable.cpp, built for the baseline
// instruction set, and once by elliptic_batch_avx2.cpp, built with -mavx2 and
// without FMA).  Everything a variant defines has internal linkage or lives in
// its own namespace, so no inline function compiled for AVX2 can be chosen by
// the linker for the baseline path.
#pragma once

#include "numeric/elliptic_detail.hpp"
#include "numeric/legendre_ke.hpp"

namespace kelvora::numeric::batch {

inline constexpr int LANES = 4;
// Pass limit of the RJ duplication, as in _elliprj.
inline constexpr int RJ_PASSES = RJ_MAX_PASSES;

// State of four RJ duplications after their passes: per pass the weight f/d
// and the argument of the RC(1, 1 + e) term (e, or 1 + e formed without
// cancellation where cancels is set); per lane the number of passes made,
// whether the stopping test was met, and the final f and A with the
// seventh-order series at A.
struct RjPasses {
    double weight[RJ_PASSES][LANES];
    double argument[RJ_PASSES][LANES];
    double root[RJ_PASSES][LANES];        // sqrt(e), read where e > 0
    long long cancels[RJ_PASSES][LANES];  // -1 (set) or 0
    long long passes[LANES];
    long long converged[LANES];           // -1 or 0
    double f[LANES];
    double A[LANES];
    double series[LANES];
};

// The polynomials of K and E at x (Cephes ellpk / ellpe), by Horner's rule.
struct KePolys {
    double pk[LANES];
    double qk[LANES];
    double pe[LANES];
    double qe[LANES];
};

struct Kernels {
    // RF(0, y, z) by the arithmetic-geometric mean of sqrt(z) and sqrt(y),
    // the branch of elliprf with x == 0 (y, z non-zero and unequal).
    void (*rf_agm)(const double* y, const double* z, double* out) noexcept;
    // The duplication passes of _elliprj(x, y, z, p).
    void (*rj_duplication)(const double* x, const double* y, const double* z, const double* p,
                           RjPasses& out) noexcept;
    // RF(0, y, z) by the AGM and the RJ duplication together: the two
    // independent chains interleaved.
    void (*rf_agm_rj_duplication)(const double* y, const double* z, const double* x, const double* p,
                                  double* rf, RjPasses& out) noexcept;
    void (*ke_polys)(const double* x, KePolys& out) noexcept;
    const char* name;
};

namespace portable {
extern const Kernels kernels;
}
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KELVORA_BATCH_HAVE_AVX2 1
namespace avx2 {
extern const Kernels kernels;
}
#endif

}  // namespace kelvora::numeric::batch

#ifdef KELVORA_BATCH_VARIANT

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// The vector types never cross a function boundary outside this file, so the
// calling convention of 32-byte vectors without AVX does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvora::numeric::batch::KELVORA_BATCH_VARIANT {

namespace {

// The per-pass steps are inlined into their loops, so that the vector state
// stays in registers.
// (With SSE2 the four-lane state takes twice the registers; there GCC's own
// choice of what to inline is faster.)
#if defined(__AVX__)
#define KELVORA_BATCH_INLINE inline __attribute__((always_inline))
#else
#define KELVORA_BATCH_INLINE inline
#endif

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

KELVORA_BATCH_INLINE v4d splat(double a) noexcept { return v4d{a, a, a, a}; }

KELVORA_BATCH_INLINE v4d load(const double* p) noexcept {
    v4d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
KELVORA_BATCH_INLINE void store(double* p, v4d v) noexcept { __builtin_memcpy(p, &v, sizeof v); }
KELVORA_BATCH_INLINE void store(long long* p, v4i v) noexcept { __builtin_memcpy(p, &v, sizeof v); }

// Correctly rounded square root of every lane.
KELVORA_BATCH_INLINE v4d vsqrt(v4d a) noexcept {
#if defined(__AVX__)
    return (v4d)_mm256_sqrt_pd((__m256d)a);
#elif defined(__SSE2__)
    __m128d lo;
    __m128d hi;
    __builtin_memcpy(&lo, &a, 16);
    __builtin_memcpy(&hi, reinterpret_cast<const char*>(&a) + 16, 16);
    lo = _mm_sqrt_pd(lo);
    hi = _mm_sqrt_pd(hi);
    v4d r;
    __builtin_memcpy(&r, &lo, 16);
    __builtin_memcpy(reinterpret_cast<char*>(&r) + 16, &hi, 16);
    return r;
#else
    return v4d{__builtin_sqrt(a[0]), __builtin_sqrt(a[1]), __builtin_sqrt(a[2]), __builtin_sqrt(a[3])};
#endif
}

// |a|: the sign bit cleared, as fabs does.
KELVORA_BATCH_INLINE v4d vfabs(v4d a) noexcept {
    const v4i m = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return (v4d)((v4i)a & m);
}

// fmax_ of numeric/elliptic.cpp per lane: (b > a || isnan(a)) ? b : a.
KELVORA_BATCH_INLINE v4d vfmax(v4d a, v4d b) noexcept {
    const v4i take_b = (b > a) | (a != a);
    return take_b ? b : a;
}

KELVORA_BATCH_INLINE bool any(v4i m) noexcept {
#if defined(__AVX__)
    return _mm256_movemask_pd((__m256d)m) != 0;
#else
    return ((m[0] | m[1]) | (m[2] | m[3])) != 0;
#endif
}

// series_dj of numeric/elliptic.cpp, the same expression per lane.
KELVORA_BATCH_INLINE v4d series_dj(v4d E2, v4d E3, v4d E4, v4d E5) noexcept {
    return 1.0 - 3.0 * E2 / 14.0 + E3 / 6.0 + 9.0 * E2 * E2 / 88.0 - 3.0 * E4 / 22.0 - 9.0 * E2 * E3 / 52.0 +
           3.0 * E5 / 26.0 - E2 * E2 * E2 / 16.0 + 3.0 * E3 * E3 / 40.0 + 3.0 * E2 * E4 / 20.0 +
           45.0 * E2 * E2 * E3 / 272.0 - 9.0 * (E3 * E4 + E2 * E5) / 68.0;
}

// One AGM chain of elliprf(0, y, z): a = sqrt(z), b = sqrt(y), then
// a' = (a + b)/2, b' = sqrt(a b) while |a - b| >= AGM_TOL |a|.
struct Agm {
    v4d a;
    v4d b;
    v4i active;

    KELVORA_BATCH_INLINE Agm(v4d y, v4d z) noexcept : a(vsqrt(z)), b(vsqrt(y)) { active = vfabs(a - b) >= AGM_TOL * vfabs(a); }

    KELVORA_BATCH_INLINE void step() noexcept {
        const v4d a1 = (a + b) / 2.0;
        const v4d b1 = vsqrt(a * b);
        a = active ? a1 : a;
        b = active ? b1 : b;
        active = active & (vfabs(a - b) >= AGM_TOL * vfabs(a));
    }

    v4d value() const noexcept { return PI / (a + b); }
};

// The duplication of _elliprj, four lanes.
struct RjDuplication {
    v4d x, y, z, p;
    v4d A0, X0, Y0, Z0, delta, Q, f, A;
    v4i active;
    v4i passes;
    int pass = 0;

    KELVORA_BATCH_INLINE RjDuplication(v4d x_, v4d y_, v4d z_, v4d p_) noexcept : x(x_), y(y_), z(z_), p(p_) {
        A0 = (((x + y) + z) + 2.0 * p) / 5.0;
        X0 = A0 - x;
        Y0 = A0 - y;
        Z0 = A0 - z;
        delta = (p - z) * ((p - x) * (p - y));
        Q = vfmax(vfmax(vfmax(vfabs(X0), vfabs(Y0)), vfabs(Z0)), vfabs(A0 - p)) * RJ_SCALE;
        f = splat(1.0);
        A = A0;
        active = v4i{-1, -1, -1, -1};
        passes = v4i{0, 0, 0, 0};
    }

    bool running() const noexcept { return pass < RJ_PASSES && any(active); }

    // One pass for the lanes still active (call only while running()).
    KELVORA_BATCH_INLINE void step(RjPasses& out) noexcept {
        const v4d sx = vsqrt(x);
        const v4d sy = vsqrt(y);
        const v4d sz = vsqrt(z);
        const v4d sp = vsqrt(p);
        const v4d d = (sz + sp) * ((sy + sp) * (sx + sp));
        const v4d e = delta / (d * d);
        store(out.weight[pass], f / d);
        const v4i cancels = (RJ_CANCEL_LOW < e) & (e < RJ_CANCEL_HIGH);
        store(out.cancels[pass], cancels);
        if (any(cancels)) {
            // 1 + e formed from the square roots (rare: only lanes with
            // -1.5 < e < -0.5 read it).
            const v4d b = 2.0 * sp * (sy * sz + (p + sx * (sy + sz))) / d;
            store(out.argument[pass], cancels ? b : e);
        } else {
            store(out.argument[pass], e);
        }
        store(out.root[pass], vsqrt(e));
        ++pass;
        const v4i was_active = active;
        passes = passes - was_active;

        const v4d lambda = sx * sz + sx * sy + sy * sz;
        f = was_active ? f / 4.0 : f;
        A = was_active ? (A + lambda) / 4.0 : A;
        active = was_active & ~(Q * f < A);
        // The arguments of a lane advance once more in its stopping pass
        // (the single loop breaks before this update) and then stay; they are
        // not read after that pass.  Masking them with the mask from before
        // the stopping test keeps the test off their chain of dependences.
        x = was_active ? (x + lambda) / 4.0 : x;
        y = was_active ? (y + lambda) / 4.0 : y;
        z = was_active ? (z + lambda) / 4.0 : z;
        p = was_active ? (p + lambda) / 4.0 : p;
        delta = was_active ? delta / 64.0 : delta;
    }

    KELVORA_BATCH_INLINE void finish(RjPasses& out) const noexcept {
        store(out.passes, passes);
        store(out.converged, ~active);
        store(out.f, f);
        store(out.A, A);
        const v4d X = X0 * f / A;
        const v4d Y = Y0 * f / A;
        const v4d Z = Z0 * f / A;
        const v4d P = -(X + Y + Z) / 2.0;
        const v4d E2 = X * Y + X * Z + Y * Z - 3.0 * P * P;
        const v4d E3 = X * Y * Z + 2.0 * E2 * P + 4.0 * P * P * P;
        const v4d E4 = (2.0 * X * Y * Z + E2 * P + 3.0 * P * P * P) * P;
        const v4d E5 = X * Y * Z * P * P;
        store(out.series, series_dj(E2, E3, E4, E5));
    }
};

void rf_agm(const double* y, const double* z, double* out) noexcept {
    Agm agm(load(y), load(z));
    while (any(agm.active)) agm.step();
    store(out, agm.value());
}

void rj_duplication(const double* x, const double* y, const double* z, const double* p, RjPasses& out) noexcept {
    RjDuplication rj(load(x), load(y), load(z), load(p));
    while (rj.running()) rj.step(out);
    rj.finish(out);
}

void rf_agm_rj_duplication(const double* y, const double* z, const double* x, const double* p, double* rf,
                           RjPasses& out) noexcept {
    Agm agm(load(y), load(z));
    RjDuplication rj(load(x), load(y), load(z), load(p));
    // The AGM needs fewer passes than the duplication: run them side by side
    // while both go on, then the duplication alone.
    while (rj.running()) {
        if (any(agm.active)) agm.step();
        rj.step(out);
    }
    while (any(agm.active)) agm.step();
    store(rf, agm.value());
    rj.finish(out);
}

// Horner's rule, highest power first, as detail::horner.
template <int N>
KELVORA_BATCH_INLINE v4d horner(const double (&c)[N], v4d x) noexcept {
    v4d p = splat(c[0]);
    for (int i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

void ke_polys(const double* x, KePolys& out) noexcept {
    const v4d v = load(x);
    store(out.pk, horner(detail::PK, v));
    store(out.qk, horner(detail::QK, v));
    store(out.pe, horner(detail::PE, v));
    store(out.qe, horner(detail::QE, v));
}

}  // namespace

extern const Kernels kernels;
const Kernels kernels = {&rf_agm, &rj_duplication, &rf_agm_rj_duplication, &ke_polys,
                         KELVORA_BATCH_VARIANT_NAME};

}  // namespace kelvora::numeric::batch::KELVORA_BATCH_VARIANT

#endif  // KELVORA_BATCH_VARIANT
