// Carlson symmetric elliptic integrals RF, RD, RJ, RC and the complete
// Legendre integrals K(m), E(m), Pi(n, m).
//
// References
//   [C95]  B. C. Carlson, "Numerical computation of real or complex elliptic
//          integrals", Numer. Algorithms 10 (1995) 13-26: duplication theorem,
//          stopping rules and the seventh-order Taylor series used below.
//   [DLMF] NIST Digital Library of Mathematical Functions, chapter 19:
//          19.2 (definitions), 19.7 (transformations of parameter and
//          characteristic), 19.8 (arithmetic-geometric mean), 19.16
//          (symmetric integrals), 19.20 (special cases such as RF(0,y,y),
//          RD(x,y,y), RJ(x,y,y,p) and the principal value of RJ), 19.22
//          (complete symmetric integrals), 19.25 (Legendre integrals in terms
//          of RF and RJ), 19.36 (duplication algorithms).
//   [Cephes] S. L. Moshier, Cephes Math Library, ellpk.c / ellpe.c: the
//          polynomial approximations of K and E in x = 1 - m.
//
// Numerical conventions
//   * Every operation is a separately rounded IEEE double operation (the
//     library is compiled with -ffp-contract=off); chains such as a*b/c are
//     written in the order (a*b)/c on purpose, because the order fixes the last
//     bits of the results that the models depend on.
//   * Minima and maxima are std::fmin / std::fmax taken pairwise left to right,
//     so a NaN operand is ignored by them; every argument test is an ordered
//     comparison, so NaN arguments pass all tests and flow into the arithmetic.
//     A NaN that reaches a duplication loop never satisfies its stopping test,
//     so RF/RD/RJ with a NaN argument in that path report non-convergence.
//   * Nothing allocates, throws or caches; failures are returned values with a
//     fixed static message.
//
// Measured accuracy: worst error against mpmath at 50 digits over the table
// tests/data/elliptic_reference.csv (glibc 2.36 libm; per-path worst rows are
// listed in tests/cpp/test_elliptic.cpp):
//   RC <= 1 ulp; RF <= 3 ulp; RD <= 3 ulp; RJ <= 3 ulp for p > 0, <= 6 ulp for
//   the principal value (p < 0), 16 ulp for RJ(x, x, x, p < 0) where
//   RC(x, p) - 1/sqrt(x) cancels; K <= 1 ulp and E <= 1 ulp on 0 <= m < 1,
//   E <= 2 ulp for m < 0; Pi <= 3 ulp for 0 < n < 1, <= 2 ulp for n < 0 with
//   0 <= m < 1, <= 6 ulp for the ring-kernel arguments with n, m within 3e-11 of
//   1.  K for m < 0 is not an approximation of the integral (see ellipk).

#include "numeric/elliptic.hpp"
#include "numeric/elliptic_detail.hpp"

#include <cmath>
#include <limits>

#include "numeric/constants.hpp"

namespace kelvora::numeric {

namespace {

// std::fmin and std::fmax with their C semantics (a NaN operand is ignored,
// the other returned), written out so that they inline: GCC calls libm for
// them unless NaNs are ruled out.  Only their comparisons and magnitudes are
// used below, so which zero they return for (+0, -0) does not matter.
inline double fmin_(double a, double b) noexcept { return (b < a || std::isnan(a)) ? b : a; }
inline double fmax_(double a, double b) noexcept { return (b > a || std::isnan(a)) ? b : a; }

// Seventh-order series of RD and RJ in the elementary symmetric functions
// E2..E5 of the normalised deviations [C95, Sec. 2; DLMF 19.36(i)].
inline double series_dj(double E2, double E3, double E4, double E5) noexcept {
    return 1 - 3 * E2 / 14 + E3 / 6 + 9 * E2 * E2 / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
           3 * E5 / 26 - E2 * E2 * E2 / 16 + 3 * E3 * E3 / 40 + 3 * E2 * E4 / 20 +
           45 * E2 * E2 * E3 / 272 - 9 * (E3 * E4 + E2 * E5) / 68;
}

}  // namespace

// ---------------------------------------------------------------------------
// RC(x, y) = 1/2 int_0^inf dt / ((t + y) sqrt(t + x))   [DLMF 19.2(iv)]
// Elementary closed forms [DLMF 19.2(iv)]: an arctangent for y > x,
// an inverse hyperbolic function for y < x.  For y < 0 the Cauchy principal
// value follows from RC(x, y) = sqrt(x / (x - y)) RC(x - y, -y)
// [DLMF 19.2(iv); C95].
// Accuracy: <= 1 ulp against mpmath on the reference table.
// ---------------------------------------------------------------------------
Expected<double> elliprc(double x, double y) noexcept {
    if (x < 0) return fail("elliprc: x must be non-negative.");
    if (y == 0) return fail("elliprc: y must be non-zero.");

    double w = 1;
    if (y < 0) {
        // Principal value: map to positive arguments with the prefactor w.
        w = std::sqrt(x / (x - y));
        const double x0 = x;
        x = x0 - y;
        y = -y;
    }
    if (x == 0) return (w * PI) / 2 / std::sqrt(y);  // RC(0, y) = pi / (2 sqrt y)
    if (x == y) return w / std::sqrt(x);            // RC(x, x) = 1 / sqrt x
    if (y > x) {
        // Circular case: RC = atan(sqrt((y - x)/x)) / sqrt(y - x).
        return w * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);
    }
    if (y / x > RC_LOG1P_RATIO) {
        // Hyperbolic case with y close to x: atanh(t) written with log1p so the
        // small t = sqrt((x - y)/x) keeps its relative accuracy.
        const double t = std::sqrt((x - y) / x);
        return w * (std::log1p(t) - std::log1p(-t)) / (2 * std::sqrt(x - y));
    }
    // Hyperbolic case far from x: acosh(sqrt(x/y)) as a plain logarithm.
    return w * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) / std::sqrt(x - y);
}

// ---------------------------------------------------------------------------
// RF(x, y, z) = 1/2 int_0^inf dt / sqrt((t + x)(t + y)(t + z))   [DLMF 19.16(i)]
// Two equal arguments reduce to RC (RF(x, y, y) = RC(x, y), DLMF 19.2(iv));
// one zero argument uses the arithmetic-geometric mean
// RF(0, y, z) = pi / (2 AGM(sqrt y, sqrt z)) [DLMF 19.22(i)]; otherwise
// Carlson's duplication [C95, Sec. 2] followed by the seventh-order series in
// E2, E3.
// Accuracy: <= 3 ulp against mpmath on the reference table (1 ulp on the AGM
// path).
// ---------------------------------------------------------------------------
Expected<double> elliprf(double x, double y, double z) noexcept {
    if (fmin_(fmin_(x, y), z) < 0 ||
        fmin_(fmin_(y + z, x + y), x + z) == 0) {
        return fail("elliprf: x, y, and z must be non-negative, and at most one can be zero.");
    }

    // Two or three equal arguments: exact reductions, which also avoid the
    // degenerate normalised deviations of the series.
    if (x == y) {
        if (x == z) return 1 / std::sqrt(x);
        if (z == 0) return PI / (2 * std::sqrt(x));
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0) return PI / (2 * std::sqrt(x));
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0) return PI / (2 * std::sqrt(y));
        return elliprc(x, y);
    }

    // One zero argument: duplication would converge only linearly in the
    // ratio of the others; the AGM converges quadratically.
    if (x == 0 || y == 0 || z == 0) {
        double a;
        double b;
        if (x == 0) {
            a = std::sqrt(z);
            b = std::sqrt(y);
        } else if (y == 0) {
            a = std::sqrt(x);
            b = std::sqrt(z);
        } else {
            a = std::sqrt(x);
            b = std::sqrt(y);
        }
        while (std::fabs(a - b) >= AGM_TOL * std::fabs(a)) {
            const double a1 = (a + b) / 2;
            b = std::sqrt(a * b);
            a = a1;
        }
        return PI / (a + b);
    }

    // Duplication: each pass maps (X, Y, Z) to ((X + l)/4, ...), which leaves
    // RF invariant up to the factor 2 and shrinks the spread by 4.  Stop when
    // Q 4^-n < |A_n| (Carlson's bound: the truncated series is then accurate to
    // the double precision the scale was chosen for).
    const double A0 = ((x + y) + z) / 3;
    const double Q = fmax_(fmax_(fmax_(std::fabs(A0), std::fabs(A0 - x)),
                                         std::fabs(A0 - y)),
                               std::fabs(A0 - z)) *
                     RF_SCALE;
    double X = x;
    double Y = y;
    double Z = z;
    double A = A0;
    double pow4 = 1;     // 4^n
    double invpow4 = 1;  // 4^-n
    bool converged = false;
    for (int n = 1; n <= RF_MAX_PASSES; ++n) {
        const double sx = std::sqrt(X);
        const double sy = std::sqrt(Y);
        const double sz = std::sqrt(Z);
        const double lambda = sx * sz + sy * sx + sy * sz;
        A = (A + lambda) / 4;
        pow4 *= 4;
        invpow4 *= 0.25;
        if (Q * invpow4 < std::fabs(A)) {
            converged = true;
            break;
        }
        X = (X + lambda) / 4;
        Y = (Y + lambda) / 4;
        Z = (Z + lambda) / 4;
    }
    if (!converged) return fail("elliprf: Failed to converge.");

    const double Xn = (A0 - x) / (pow4 * A);
    const double Yn = (A0 - y) / (pow4 * A);
    const double Zn = -Xn - Yn;
    const double E2 = Xn * Yn - Zn * Zn;
    const double E3 = Xn * Yn * Zn;
    return (1 + E3 * (1.0 / 14 + 3 * E3 / 104) +
            E2 * (E2 / 24 - 1.0 / 10 - 3 * E3 / 44 - 5 * E2 * E2 / 208 + E2 * E3 / 16)) /
           std::sqrt(A);
}

// ---------------------------------------------------------------------------
// RD(x, y, z) = 3/2 int_0^inf dt / ((t + z) sqrt((t + x)(t + y)(t + z)))
// [DLMF 19.16(i)].  RD(y, y, y) and RD(0, y, y) in closed form; RD(0, y, z)
// by the AGM together with Gauss's sum of the squared differences c_n^2
// (the AGM form of the complete integral of the second kind, DLMF 19.8(i)
// and 19.22); otherwise duplication [C95, Sec. 3] with the seventh-order
// series and the sum 3 sum 4^-n / (sqrt(z_n)(z_n + l_n)) of the terms split
// off in each pass.
// Accuracy: <= 3 ulp against mpmath on the reference table.
// ---------------------------------------------------------------------------
Expected<double> elliprd(double x, double y, double z) noexcept {
    if (fmin_(x, y) < 0 || x + y == 0) {
        return fail("elliprd: x and y must be non-negative, and at most one can be zero.");
    }
    if (z <= 0) return fail("elliprd: z must be positive");

    // RD is symmetric in x and y only; move a value equal to z into v so the
    // closed forms below see the pattern RD(u, z, z).
    double v;
    double u;
    if (x == z) {
        v = x;
        u = y;
    } else {
        v = y;
        u = x;
    }
    if (v == z) {
        if (x == y) return 1 / (u * std::sqrt(u));                // RD(x,x,x) = x^-3/2
        if (u == 0) return THREE_PI / (4 * v * std::sqrt(v));     // RD(0,z,z) = 3pi/(4 z^3/2)
    }

    if (u == 0) {
        // RD(0, y, z) through the AGM of sqrt(y), sqrt(z) and the sum of the
        // squared differences (quadratic convergence, no pass limit needed).
        const double a0 = std::sqrt(y);
        const double b0 = std::sqrt(z);
        double a = a0;
        double b = b0;
        double s = 0;
        double w = 0.25;
        while (std::fabs(a - b) >= AGM_TOL * std::fabs(a)) {
            const double a1 = (a + b) / 2;
            b = std::sqrt(a * b);
            a = a1;
            w = 2 * w;
            const double diff = a - b;
            s = s + w * (diff * diff);
        }
        return (((a0 + 3 * b0) / (4 * z * (a0 + b0)) - s / ((y - z) * z)) * (PI / (a + b))) * 3;
    }

    // Duplication.  The stopping bound uses the signed deviations of A0 from
    // the arguments (their maximum is non-negative since the weighted
    // deviations sum to zero).
    const double A0 = ((x + y) + 3 * z) / 5;
    double Q = fmax_(fmax_(A0 - u, A0 - v), A0 - z) * RD_SCALE * RD_MARGIN;
    double s = 0;
    double f = 1;
    double A = A0;
    double U = u;
    double V = v;
    double Z = z;
    bool converged = false;
    for (int pass = 0; pass < RD_MAX_PASSES; ++pass) {
        const double su = std::sqrt(U);
        const double sv = std::sqrt(V);
        const double sz = std::sqrt(Z);
        const double lambda = sz * su + sv * su + sz * sv;
        s = s + f / (sz * (Z + lambda));
        A = (A + lambda) / 4;
        Q = Q / 4;
        f = f / 4;
        U = (U + lambda) / 4;
        V = (V + lambda) / 4;
        Z = (Z + lambda) / 4;
        if (Q < A) {
            converged = true;
            break;
        }
    }
    if (!converged) return fail("elliprd: Failed to converge.");

    const double Xn = (A0 - u) * f / A;
    const double Yn = (A0 - v) * f / A;
    const double Zn = -(Xn + Yn) / 3;
    const double E2 = Xn * Yn - 6 * Zn * Zn;
    const double E3 = (3 * Xn * Yn - 8 * Zn * Zn) * Zn;
    const double E4 = 3 * (Xn * Yn - Zn * Zn) * Zn * Zn;
    const double E5 = Xn * Yn * Zn * Zn * Zn;
    return f * std::pow(A, -1.5) * series_dj(E2, E3, E4, E5) + 3 * s;
}

// ---------------------------------------------------------------------------
// RJ(x, y, z, p) = 3/2 int_0^inf dt / ((t + p) sqrt((t + x)(t + y)(t + z)))
// [DLMF 19.16(i)]; for p < 0 the Cauchy principal value.
//   * x = y = z and two equal arguments: closed forms through RC and RD
//     [DLMF 19.20(iii): RJ(x,y,y,p) = 3 (RC(x,y) - RC(x,p)) / (p - y)].
//   * p > 0: duplication core _elliprj.
//   * p < 0: Carlson's transformation to a positive parameter q
//     [C95, Sec. 4; DLMF 19.20(iii)]:
//       (c - p) RJ(a,b,c,p) = (q - c) RJ(a,b,c,q) - 3 RF(a,b,c)
//                             + 3 sqrt(abc/(ab - pq)) RC(ab - pq, -pq)
//     with a <= b <= c and q = (c(a + b - p) - ab)/(c - p) > 0.
// Accuracy: <= 3 ulp against mpmath on the reference table for p > 0; the
// principal value inherits the partial cancellation of the transformation
// (<= 6 ulp measured), and RJ(x, x, x, p < 0) that of RC(x, p) - 1/sqrt(x)
// (16 ulp at RJ(3, 3, 3, -1)).
// ---------------------------------------------------------------------------
Expected<double> elliprj(double x, double y, double z, double p) noexcept {
    if (fmin_(fmin_(x, y), z) < 0 ||
        fmin_(fmin_(y + z, x + y), x + z) == 0) {
        return fail("elliprj: x, y, and z must be non-negative, and at most one can be zero.");
    }
    if (p == 0) return fail("elliprj: p must be non-zero");

    if (x == y && x == z) {
        // RJ(x,x,x,x) = x^-3/2; RJ(x,x,x,p) = 3 (RC(x,p) - x^-1/2) / (x - p).
        if (p == x) return 1 / (std::sqrt(x) * x);
        const auto rc = elliprc(x, p);
        if (!rc) return fail(rc.error().message);
        return 3 / (x - p) * (*rc - 1 / std::sqrt(x));
    }

    double t1 = x;
    double t2 = y;
    double t3 = z;
    if (x == y || y == z) {
        // Two equal arguments (patterns x = y != z and x != y = z).
        double r;  // repeated value
        double o;  // the other value
        if (x == y) {
            r = x;
            o = z;
            t1 = z;
            t2 = x;
            t3 = x;
        } else {
            r = y;
            o = x;
        }
        if (r == p) return elliprd(o, r, r);  // RJ(o,r,r,r) = RD(o,r,r)
        if (fmax_(p, r) / fmin_(p, r) > RATIO_LIMIT) {
            // p far from r: the RC difference is well conditioned.
            const auto rc1 = elliprc(o, r);
            if (!rc1) return fail(rc1.error().message);
            const auto rc2 = elliprc(o, p);
            if (!rc2) return fail(rc2.error().message);
            return 3 / (p - r) * (*rc1 - *rc2);
        }
        // Otherwise duplication on the working triple.
    }

    if (t3 == p) return elliprd(t1, t2, t3);  // RJ(x,y,z,z) = RD(x,y,z)

    if (!(p < 0)) return _elliprj(t1, t2, t3, p);

    // Principal value: sort ascending, then the transformation above.
    double a = t1;
    double b = t2;
    double c = t3;
    if (a > b) { const double t = a; a = b; b = t; }
    if (b > c) { const double t = b; b = c; c = t; }
    if (a > b) { const double t = a; a = b; b = t; }

    const double q = (c * ((a + b) - p) - a * b) / (c - p);
    const auto J = elliprj(a, b, c, q);
    if (!J) return fail(J.error().message);
    const auto F = elliprf(a, b, c);
    if (!F) return fail(F.error().message);
    const auto C = elliprc(a * b - p * q, -p * q);
    if (!C) return fail(C.error().message);
    return ((q - c) * *J - 3 * *F + 3 * std::sqrt(c * a * b / (a * b - p * q)) * *C) / (c - p);
}

// ---------------------------------------------------------------------------
// Duplication core of RJ for p > 0 [C95, Sec. 4; DLMF 19.36(i)]:
// the sum of RC(1, 1 + e_n) terms collected over the passes plus the
// seventh-order series at the final mean A_n.  The RC(1, 1 + e) term is
// evaluated in closed form per sign of e (arctangent for e > 0, logarithm for
// -1 < e < 0) and through RC itself where the closed forms lose accuracy
// (e near -1, where 1 + e cancels, and e <= -1.5).
// ---------------------------------------------------------------------------
Expected<double> _elliprj(double x, double y, double z, double p) noexcept {
    const double A0 = (((x + y) + z) + 2 * p) / 5;
    const double X0 = A0 - x;
    const double Y0 = A0 - y;
    const double Z0 = A0 - z;
    double delta = (p - z) * ((p - x) * (p - y));
    const double Q = fmax_(fmax_(fmax_(std::fabs(X0), std::fabs(Y0)), std::fabs(Z0)),
                           std::fabs(A0 - p)) *
                     RJ_SCALE;
    // A NaN argument (A0 is NaN only then, or where +inf meets -inf, which
    // the passes turn into NaN too) makes every e and A NaN in every pass:
    // no RC term fails (rj_pass_term of NaN is a NaN value) and the stopping
    // test never holds, so the passes would end at the limit with this
    // failure.  It is returned without them.
    if (A0 != A0) return fail("elliprj: Fail to converge");

    // The duplication passes first, keeping for each pass its weight f/d and
    // the argument of its RC(1, 1 + e) term; the terms, which call atan, log1p
    // or RC, are summed afterwards in pass order.  The sum is the same, and
    // the passes run without a function call (so without spilling their
    // state around one).
    constexpr int PASSES = RJ_MAX_PASSES;
    double weight[PASSES];
    double argument[PASSES];  // e, or 1 + e formed without cancellation
    bool cancels[PASSES];     // RJ_CANCEL_LOW < e < RJ_CANCEL_HIGH: the argument is 1 + e
    int passes = 0;
    double f = 1;
    double A = A0;
    bool converged = false;
    while (passes < PASSES) {
        const double sx = std::sqrt(x);
        const double sy = std::sqrt(y);
        const double sz = std::sqrt(z);
        const double sp = std::sqrt(p);
        const double d = (sz + sp) * ((sy + sp) * (sx + sp));
        const double e = delta / (d * d);
        weight[passes] = f / d;
        cancels[passes] = RJ_CANCEL_LOW < e && e < RJ_CANCEL_HIGH;
        // 1 + e is small or cancels: form it from the square roots without
        // subtraction (b = 1 + e in exact arithmetic).
        argument[passes] = cancels[passes] ? 2 * sp * (sy * sz + (p + sx * (sy + sz))) / d : e;
        ++passes;

        const double lambda = sx * sz + sx * sy + sy * sz;
        f = f / 4;
        A = (A + lambda) / 4;
        if (Q * f < A) {
            converged = true;
            break;
        }
        x = (x + lambda) / 4;
        y = (y + lambda) / 4;
        z = (z + lambda) / 4;
        p = (p + lambda) / 4;
        delta = delta / 64;
    }

    double s = 0;
    for (int k = 0; k < passes; ++k) {
        const double e = argument[k];
        const auto R = rj_pass_term(e, cancels[k]);  // RC(1, 1 + e)
        if (!R) return fail(R.error().message);
        s = s + weight[k] * *R;
    }
    if (!converged) return fail("elliprj: Fail to converge");

    const double X = X0 * f / A;
    const double Y = Y0 * f / A;
    const double Z = Z0 * f / A;
    const double P = -(X + Y + Z) / 2;
    const double E2 = X * Y + X * Z + Y * Z - 3 * P * P;
    const double E3 = X * Y * Z + 2 * E2 * P + 4 * P * P * P;
    const double E4 = (2 * X * Y * Z + E2 * P + 3 * P * P * P) * P;
    const double E5 = X * Y * Z * P * P;
    return f * std::pow(A, -1.5) * series_dj(E2, E3, E4, E5) + 6 * s;
}

// ---------------------------------------------------------------------------
// Pi(n, m) = int_0^{pi/2} dt / ((1 - n sin^2 t) sqrt(1 - m sin^2 t)).
//   0 < n <= 1:  Pi = RF(0, 1 - m, 1) + n RJ(0, 1 - m, 1, 1 - n) / 3
//                [DLMF 19.25(i)].
//   n < 0:       Pi is rewritten with the positive parameter
//                p = (1 - m)/(1 - n) (the transformation of the
//                characteristic n -> (m - n)/(1 - n), DLMF 19.7(iii)),
//                so that RJ needs no principal value:
//                Pi = K m/(m - n) - (1 - m) n (RF + (m - n)/(1 - n) RJ / 3)
//                     / ((1 - n)(m - n)).
// n = 1 is let through to RJ, which rejects p = 0; n = m < 0 gives NaN
// (0/0 in both terms); a NaN n or m reaches RJ's duplication, which then
// reports "elliprj: Fail to converge".
// Measured against mpmath: <= 3 ulp for 0 < n < 1, <= 2 ulp for n < 0 with
// 0 <= m < 1, <= 6 ulp for the ring-kernel and disk arguments (n, m up to
// within 3e-11 of 1).  For n < 0 and m < 0 the untransformed K(m)
// carries its error into Pi (4e-7 relative at Pi(-0.5, -1)).
// ---------------------------------------------------------------------------
Expected<double> ellippi(double n, double m) noexcept {
    if (m >= 1) return fail("ellippi: m must be less than 1.");
    if (n > 1) return fail("ellippi: n must be less than 1.");
    if (n == 0) {
        if (m == 0) return PI_2;
        return ellipk(m);
    }
    const double c = 1 - m;
    if (n < 0) {
        const double e = 1 - n;
        const auto F = elliprf(0, c, 1);
        if (!F) return fail(F.error().message);
        const auto J = elliprj(0, c, 1, c / e);
        if (!J) return fail(J.error().message);
        const auto K = ellipk(m);
        if (!K) return fail(K.error().message);
        const double T = c * ((*F + ((m - n) / e) * *J / 3) * n / e);
        return *K * m / (m - n) - T / (m - n);
    }
    const auto F = elliprf(0, c, 1);
    if (!F) return fail(F.error().message);
    const auto J = elliprj(0, c, 1, 1 - n);
    if (!J) return fail(J.error().message);
    return *F + *J * n / 3;
}

}  // namespace kelvora::numeric
