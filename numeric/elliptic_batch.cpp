// Batched K(m), E(m) and Pi(n, m): the branch selection per lane, the libm
// calls per lane and the single-evaluation fallback; the vector loops are in
// numeric/elliptic_batch_kernels.hpp.  See numeric/elliptic_batch.hpp.
#include "numeric/elliptic_batch.hpp"

#include <atomic>
#include <cmath>

#include "numeric/elliptic.hpp"
#include "numeric/elliptic_detail.hpp"
#include "numeric/elliptic_batch_kernels.hpp"

namespace kelvora::numeric {

namespace {

using batch::Kernels;
using batch::LANES;

static_assert(BATCH_WIDTH == LANES);

// No vector code: every lane by the single routine.  The default where AVX2
// is missing: the four-lane state of the baseline code needs twice the
// registers of SSE2 and runs slower than four single evaluations
// (bench/bench_batch.cpp).
const Kernels single_lanes = {nullptr, nullptr, nullptr, nullptr, "single"};

const Kernels* detect() noexcept {
#ifdef KELVORA_BATCH_HAVE_AVX2
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return &batch::avx2::kernels;
#endif
    return &single_lanes;
}

std::atomic<const Kernels*> current{nullptr};

const Kernels& kernels() noexcept {
    const Kernels* k = current.load(std::memory_order_relaxed);
    if (k == nullptr) {
        k = detect();
        current.store(k, std::memory_order_relaxed);
    }
    return *k;
}

const Kernels* kernels_of(BatchCode code) noexcept {
    switch (code) {
    case BatchCode::Single:
        return &single_lanes;
    case BatchCode::Portable:
        return &batch::portable::kernels;
    case BatchCode::Avx2:
#ifdef KELVORA_BATCH_HAVE_AVX2
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) return &batch::avx2::kernels;
#endif
        return nullptr;
    }
    return nullptr;
}

// The RC(1, 1 + e) term of one duplication pass of _elliprj
// (rj_pass_term), with sqrt(e) taken from the vector code on the common
// branch; a failure of RC is returned as its message.
inline const char* rc_term(double e, double root, bool cancels, double& R) noexcept {
    if (e > 0 && !cancels) {
        // The common branch first (its test is the one below; e > 0 never
        // cancels).
        R = std::atan(root) / root;
        return nullptr;
    }
    const auto term = rj_pass_term(e, cancels);
    if (!term) return term.error().message;
    R = *term;
    return nullptr;
}

// The end of _elliprj for lane i: the RC terms summed in pass order, then the
// series at A_n.
inline Expected<double> rj_finish(const batch::RjPasses& st, int i) noexcept {
    double s = 0;
    const long long passes = st.passes[i];
    for (long long k = 0; k < passes; ++k) {
        double R = 0;
        if (const char* message = rc_term(st.argument[k][i], st.root[k][i], st.cancels[k][i] != 0, R)) return fail(message);
        s = s + st.weight[k][i] * R;
    }
    if (st.converged[i] == 0) return fail("elliprj: Fail to converge");
    return st.f[i] * std::pow(st.A[i], -1.5) * st.series[i] + 6 * s;
}

// Lanes evaluated by the vector code, and the arguments of the others (and of
// the lanes past `count`) replaced by those of the first such lane, so that
// they stop with it.
inline bool fill_idle(const bool (&fast)[LANES], int count, double* a, double* b = nullptr) noexcept {
    int first = -1;
    for (int i = 0; i < count; ++i) {
        if (fast[i]) {
            first = i;
            break;
        }
    }
    if (first < 0) return false;
    for (int i = 0; i < LANES; ++i) {
        if (i < count && fast[i]) continue;
        a[i] = a[first];
        if (b != nullptr) b[i] = b[first];
    }
    return true;
}

// K(m) = P_K(x) - log(x) Q_K(x) for lanes with x = 1 - m >= EPS, m != 0, m < 1.
inline bool k_fast(double m) noexcept {
    const double x = 1 - m;
    return m < 1 && m != 0 && !(x < EPSILON) && std::isfinite(x);
}

// E(m) = P_E(x) - log(x) x Q_E(x) for 0 < m < 1 (no transformation of m).
inline bool e_fast(double m) noexcept { return m > 0 && m < 1; }

}  // namespace

BatchCode batch_code() noexcept {
    const Kernels* k = &kernels();
    if (k == &single_lanes) return BatchCode::Single;
    return k == &batch::portable::kernels ? BatchCode::Portable : BatchCode::Avx2;
}

bool batch_code_available(BatchCode code) noexcept { return kernels_of(code) != nullptr; }

bool select_batch_code(BatchCode code) noexcept {
    const Kernels* k = kernels_of(code);
    if (k == nullptr) return false;
    current.store(k, std::memory_order_relaxed);
    return true;
}

const char* batch_code_name(BatchCode code) noexcept {
    switch (code) {
    case BatchCode::Single:
        return single_lanes.name;
    case BatchCode::Portable:
        return batch::portable::kernels.name;
    case BatchCode::Avx2:
        break;
    }
    return "avx2";
}

void ellipk_batch(const double* m, Expected<double>* out, int count) noexcept {
    if (kernels().ke_polys == nullptr) {
        for (int i = 0; i < count; ++i) out[i] = ellipk(m[i]);
        return;
    }
    bool fast[LANES] = {};
    double x[LANES] = {};
    for (int i = 0; i < count; ++i) {
        fast[i] = k_fast(m[i]);
        x[i] = 1 - m[i];
    }
    if (fill_idle(fast, count, x)) {
        batch::KePolys poly;
        kernels().ke_polys(x, poly);
        for (int i = 0; i < count; ++i) {
            if (fast[i]) out[i] = poly.pk[i] - std::log(x[i]) * poly.qk[i];
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!fast[i]) out[i] = ellipk(m[i]);
    }
}

void ellipe_batch(const double* m, Expected<double>* out, int count) noexcept {
    if (kernels().ke_polys == nullptr) {
        for (int i = 0; i < count; ++i) out[i] = ellipe(m[i]);
        return;
    }
    bool fast[LANES] = {};
    double x[LANES] = {};
    for (int i = 0; i < count; ++i) {
        fast[i] = e_fast(m[i]);
        x[i] = 1 - m[i];
    }
    if (fill_idle(fast, count, x)) {
        batch::KePolys poly;
        kernels().ke_polys(x, poly);
        for (int i = 0; i < count; ++i) {
            if (fast[i]) out[i] = 1.0 * (poly.pe[i] - std::log(x[i]) * (x[i] * poly.qe[i]));
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!fast[i]) out[i] = ellipe(m[i]);
    }
}

void ellipe_ellipk_batch(const double* m, Expected<double>* e, Expected<double>* k, int count) noexcept {
    if (kernels().ke_polys == nullptr) {
        for (int i = 0; i < count; ++i) {
            e[i] = ellipe(m[i]);
            k[i] = ellipk(m[i]);
        }
        return;
    }
    bool fast_e[LANES] = {};
    bool fast_k[LANES] = {};
    bool fast[LANES] = {};
    double x[LANES] = {};
    for (int i = 0; i < count; ++i) {
        fast_e[i] = e_fast(m[i]);
        fast_k[i] = k_fast(m[i]);
        fast[i] = fast_e[i] || fast_k[i];
        x[i] = 1 - m[i];
    }
    if (fill_idle(fast, count, x)) {
        batch::KePolys poly;
        kernels().ke_polys(x, poly);
        for (int i = 0; i < count; ++i) {
            if (!fast[i]) continue;
            const double log_x = std::log(x[i]);
            if (fast_e[i]) e[i] = 1.0 * (poly.pe[i] - log_x * (x[i] * poly.qe[i]));
            if (fast_k[i]) k[i] = poly.pk[i] - log_x * poly.qk[i];
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!fast_e[i]) e[i] = ellipe(m[i]);
        if (!fast_k[i]) k[i] = ellipk(m[i]);
    }
}

void ellippi_batch(const double* n, const double* m, Expected<double>* out, int count) noexcept {
    if (kernels().rf_agm_rj_duplication == nullptr) {
        for (int i = 0; i < count; ++i) out[i] = ellippi(n[i], m[i]);
        return;
    }
    bool fast[LANES] = {};
    double x[LANES] = {0, 0, 0, 0};
    double y[LANES] = {};  // 1 - m
    double z[LANES] = {1, 1, 1, 1};
    double p[LANES] = {};  // 1 - n
    for (int i = 0; i < count; ++i) {
        y[i] = 1 - m[i];
        p[i] = 1 - n[i];
        // ellippi -> elliprf(0, 1 - m, 1) by the AGM and elliprj(0, 1 - m, 1, 1 - n)
        // -> _elliprj: m < 1, 0 < n < 1, and neither reduction of equal
        // arguments (1 - m == 1 in RF, 1 - n == 1 in RJ) applies.
        fast[i] = n[i] > 0 && n[i] < 1 && m[i] < 1 && std::isfinite(m[i]) && y[i] != 1 && p[i] != 1;
    }
    if (fill_idle(fast, count, y, p)) {
        double rf[LANES];
        batch::RjPasses st;
        kernels().rf_agm_rj_duplication(y, z, x, p, rf, st);
        for (int i = 0; i < count; ++i) {
            if (!fast[i]) continue;
            const auto J = rj_finish(st, i);
            if (!J) {
                out[i] = fail(J.error().message);
                continue;
            }
            out[i] = rf[i] + *J * n[i] / 3;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!fast[i]) out[i] = ellippi(n[i], m[i]);
    }
}

}  // namespace kelvora::numeric
