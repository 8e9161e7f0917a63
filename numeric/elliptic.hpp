// Carlson symmetric elliptic integrals and complete Legendre integrals.
//
// Parameter convention: m is the parameter (m = k^2), n the characteristic.
//   K(m)    = int_0^{pi/2} dt / sqrt(1 - m sin^2 t)
//   E(m)    = int_0^{pi/2} sqrt(1 - m sin^2 t) dt
//   Pi(n,m) = int_0^{pi/2} dt / ((1 - n sin^2 t) sqrt(1 - m sin^2 t))
//
// RF, RD and RJ are evaluated by Carlson's duplication algorithm with the
// Taylor series of B. C. Carlson, "Numerical computation of real or complex
// elliptic integrals", Numer. Algorithms 10 (1995) 13-26 (RF and RD with a
// zero argument by the arithmetic-geometric mean); RC by its elementary
// closed forms (DLMF 19.2(iv)).  K and E use the Cephes polynomial
// approximations in 1 - m; Pi is reduced to RF and RJ (DLMF 19.25(i)).
//
// Every routine is pure, allocates nothing, and returns either its value or a
// Failure with a fixed message.  NaN arguments pass every ordered test and as a
// rule produce NaN.
//
// Failure messages (exact texts; a caller receives an inner routine's failure
// unchanged, e.g. ellippi can end with an elliprj message):
//   elliprc  "elliprc: x must be non-negative."            x < 0
//            "elliprc: y must be non-zero."                y == 0
//   elliprf  "elliprf: x, y, and z must be non-negative, and at most one can be zero."
//            "elliprf: Failed to converge."                11 duplication passes
//   elliprd  "elliprd: x and y must be non-negative, and at most one can be zero."
//            "elliprd: z must be positive"                 z <= 0
//            "elliprd: Failed to converge."                50 passes
//   elliprj  "elliprj: x, y, and z must be non-negative, and at most one can be zero."
//            "elliprj: p must be non-zero"                 p == 0
//            "elliprj: Fail to converge"                   100 passes (_elliprj)
//   ellipk   "ellipk: m must be less than 1."              m > 1 (m == 1 gives +inf)
//   ellipe   "ellipe: m must be less than 1."              m > 1 (m == 1 gives 1)
//   ellippi  "ellippi: m must be less than 1."             m >= 1, tested first
//            "ellippi: n must be less than 1."             n > 1 (n == 1 reaches RJ)
#pragma once

#include "numeric/failure.hpp"
#include "numeric/legendre_ke.hpp"  // ellipk, ellipe (inline)

namespace kelvora::numeric {

Expected<double> elliprc(double x, double y) noexcept;
Expected<double> elliprf(double x, double y, double z) noexcept;
Expected<double> elliprd(double x, double y, double z) noexcept;
Expected<double> elliprj(double x, double y, double z, double p) noexcept;
// Duplication core of RJ for p > 0, without argument tests.
Expected<double> _elliprj(double x, double y, double z, double p) noexcept;

Expected<double> ellippi(double n, double m) noexcept;

}  // namespace kelvora::numeric
