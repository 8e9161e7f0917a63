// The Witt & Mao closed form of the uniform disk (uniform_disk.hpp) for
// eight radii at once, four per AVX2 vector, for the nodes of a quadrature
// rule.  Each lane takes exactly the operations of
// detail::closed_form_parts, detail::ellipe_complement, numeric::cel and
// uniform_disk, in their order, and stops its Gauss steps at its own step;
// IEEE arithmetic rounds a lane as it rounds the scalar operation, and the
// logarithms are taken per lane with the same libm call, so every lane ends
// with the scalar bits.  A division or square root of four lanes costs about
// what one costs alone, and the closed form is mostly those; the two
// vectors' chains, independent, overlap their latencies.
#pragma once

namespace kelvora::fspl::lanes {

// Radii per call.
inline constexpr int WIDTH = 8;

// Whether the processor has AVX2 (asked once).
bool available() noexcept;

// out[l] = uniform_disk(u, rho[l]) for WIDTH radii in the closed form's
// regime: 0 < u < FAR_FIELD_RATIO rho[l], rho[l] <= HUGE_SOURCE, u != rho[l].
// Only where available().
void closed_form(double u, const double* rho, double* out) noexcept;
// The same for WIDTH points of their own: out[l] = uniform_disk(u[l], rho[l]).
void closed_form_points(const double* u, const double* rho, double* out) noexcept;

}  // namespace kelvora::fspl::lanes
