// Internals of the Carlson integrals shared by the single evaluations
// (numeric/elliptic.cpp) and the batched ones (numeric/elliptic_batch*),
// which must stop at the same pass and take the same branches to give the
// same bits: the tolerances, stopping scales and pass caps of the
// duplication and arithmetic-geometric-mean loops, and the RC term of one
// RJ duplication pass.
//
// [C95] B. C. Carlson, "Numerical computation of real or complex elliptic
//       integrals", Numer. Algorithms 10 (1995) 13-26.
#pragma once

#include <cmath>

#include "numeric/constants.hpp"
#include "numeric/elliptic.hpp"

namespace kelvora::numeric {

// Relative tolerance of the arithmetic-geometric-mean loops (RF and RD with a
// zero argument), 2.7 * 2^-52.  The mean converges quadratically, so once a
// and b agree to a few ulp the next pass could only move them by rounding;
// a zero tolerance would not do, as sqrt(ab) and (a + b)/2 can stay an ulp
// apart for ever.  No pass cap is needed: the loop ends after at most about
// a dozen passes even for arguments 600 decades apart, a NaN mean fails the
// test at once and an infinite one after one pass (inf - inf is NaN).
inline constexpr double AGM_TOL = 5.9952043329758457e-16;
static_assert(AGM_TOL == 2.7 * EPSILON);

// Duplication stopping scales [C95, Sec. 2; DLMF 19.36(i)].  After n passes
// the normalised deviations are at most max|A0 - x_i| 4^-n / |A_n|, and the
// series below, kept through degree 7, leaves a relative error of degree 8
// in them.  The loops stop once Q 4^-n < |A_n| with Q = SCALE max|A0 - x_i|,
// i.e. once the largest deviation is below (c eps)^(1/8), which puts the
// neglected terms at the rounding level of the result; c = 3 for RF, 1/4 for
// RD and 1/5 for RJ, as in the stopping rules of [C95].  SCALE =
// (c eps)^(-1/8), eps = 2^-52, stored as literals: (3 eps)^(-1/8),
// (eps/4)^(-1/8) and (eps/5)^(-1/8).
inline constexpr double RF_SCALE = 78.895969078640803;
inline constexpr double RD_SCALE = 107.63474115247546;
inline constexpr double RJ_SCALE = 110.67925377307274;
// A further 20% margin on RD's stopping bound (Q = max dev * RD_SCALE *
// RD_MARGIN): the stop comes one pass later whenever Q 4^-n lands within
// that margin above A_n.  It is part of the result's last bits.
inline constexpr double RD_MARGIN = 1.2;

// Pass caps of the duplication loops; a loop that reaches its cap returns the
// fixed non-convergence failure (numeric/elliptic.hpp lists the messages).
//  * RF: the stop needs 4^n > RF_SCALE max|A0 - x_i| / A_n, and A_n tends to
//    RF(x, y, z)^-2, which for a wide spread of the arguments is far below
//    A0 (A0/A_n grows like ln^2 of the spread).  Eleven passes cover a
//    spread of about 1e200 (elliprf(1, 2, 1e200) converges; 1e250 and
//    elliprf(1e-300, 2e-300, 1e300) do not, tests/cpp/test_elliptic.cpp);
//    the cap and with it that boundary are part of the module's behaviour.
//  * RD: with a finite stopping bound A0 / A_n stays below about
//    ln^2(1e616) ~ 2e6, and no finite arguments need more than about 13
//    passes; 50 is out of reach and only ends the loop for NaN or infinite
//    arguments or an overflowed bound (a deviation above ~1.4e306), which
//    never meet Q < A.
//  * RJ: also the capacity of the per-pass arrays of _elliprj.  A_n tends to
//    about RF^-2 whatever p is, while A0 grows with p: a hundred passes
//    (4^100 ~ 1.6e60) reach p up to roughly 1e60 times that mean.
inline constexpr int RF_MAX_PASSES = 11;
inline constexpr int RD_MAX_PASSES = 50;
inline constexpr int RJ_MAX_PASSES = 100;

// RJ(x,y,y,p) uses the two-RC closed form only when p and y are far enough
// apart that the difference RC(x,y) - RC(x,p) does not cancel badly; closer
// pairs take the duplication.
inline constexpr double RATIO_LIMIT = 1.2;

// RC(x, y) for 0 < y < x: above this ratio y/x, t = sqrt((x - y)/x) is below
// 1/sqrt(2) and atanh(t) is formed with log1p, which keeps the relative
// accuracy of a small t; below it the plain logarithm of acosh(sqrt(x/y))
// has no cancellation to fear.
inline constexpr double RC_LOG1P_RATIO = 0.5;

// _elliprj: for e in (RJ_CANCEL_LOW, RJ_CANCEL_HIGH), i.e. |1 + e| < 1/2,
// forming 1 + e by subtraction would lose more than one bit to
// cancellation, so the argument of RC(1, 1 + e) is formed from the square
// roots instead; outside the window the closed forms in e are used.
inline constexpr double RJ_CANCEL_LOW = -1.5;
inline constexpr double RJ_CANCEL_HIGH = -0.5;

// The term RC(1, 1 + e) of one duplication pass of RJ [C95, Sec. 4; DLMF
// 19.36(i)], `cancels` telling that e lies in (RJ_CANCEL_LOW,
// RJ_CANCEL_HIGH), where the pass formed the argument 1 + e itself from the
// square roots.  Closed forms per sign of e (arctangent for e > 0, logarithms
// for -1 < e < 0), RC itself where they lose accuracy; a failure of RC is
// returned unchanged.
inline Expected<double> rj_pass_term(double e, bool cancels) noexcept {
    if (cancels) return elliprc(1, e);
    if (e < -1) {
        // Principal value RC(1, 1 + e) for 1 + e < 0.
        const auto rc = elliprc(-e, -1 - e);
        if (!rc) return rc;
        return std::sqrt(-1 / e) * *rc;
    }
    if (e == 0) return 1.0;
    if (e > 0) return std::atan(std::sqrt(e)) / std::sqrt(e);
    if (e > RJ_CANCEL_HIGH) {
        // atanh(sqrt(-e)) / sqrt(-e) with log1p for small |e|.
        return (std::log1p(std::sqrt(-e)) - std::log1p(-std::sqrt(-e))) / (2 * std::sqrt(-e));
    }
    // e == -0.5 exactly (or NaN).
    return std::log((1 + std::sqrt(-e)) / std::sqrt(1 + e)) / std::sqrt(-e);
}

}  // namespace kelvora::numeric
