// A uniform disk whose every point lies far from the lens (in Einstein
// radii), in closed sums that do not cancel.
//
// Outside a large source the magnification is close to 1: at u = 2 rho,
// rho = 100, A_U - 1 is about 2e-9, and the Witt & Mao form, a sum of terms
// of size (u/rho)^2, keeps only eps (u/rho)^2/(A_U - 1) of it; its
// derivatives in u and rho, differences of means of A0 that are all close
// to 1, keep as little.  Beyond two Einstein radii from the lens
//
//   A0(r) - 1 = sum_(j >= 2) b_j r^(-2j),   b_j = (-1)^j C(2j - 2, j - 1) 2 (j - 1)/j
//
// (b_2 = 2, b_3 = -8, b_4 = 30; from (1 + x/2)/sqrt(1 + x) - 1, x = 4/r^2),
// and the means of r^(-2j) over a circle and a disk that exclude the lens
// are Legendre polynomials.  With v = u^2 - s^2 and x = (u^2 + s^2)/v,
//
//   ring:  R_j = (1/2pi) int |u + s e(phi)|^(-2j) dphi = P_(j-1)(x)/v^j,
//   disk:  D_(j+1) = (1/(pi s^2)) int_disk |x|^(-2j-2) d^2x
//                  = [2 u^2 P'_(j-1)(x)/v + j P_(j-1)(x)]/(j^2 v^(j+1)),
//
// the first by expanding |u + s e|^(-2j) = (u + s e)^(-j) (u + s/e)^(-j)
// (its mean is 2F1(j, j; 1; s^2/u^2) u^(-2j), Euler's transformation of
// which is the Legendre polynomial), the second from Green's identity
// d R_j/ds = (s/2) D[Laplacian r^(-2j)] = 2 s j^2 D_(j+1).  Every P_n(x) and
// P'_n(x) is positive for x >= 1, and their recurrences run forward stably
// (P_n is the dominant solution):
//
//   (n + 1) P_(n+1) = (2n + 1) x P_n - n P_(n-1),   P'_(n+1) = P'_(n-1) + (2n + 1) P_n.
//
// The derivatives follow without differences of nearly equal terms:
// d(s^2 D)/ds = 2 s R gives dD/ds = (2/s)(R - D) (R >= D, as r^(-2j) is
// subharmonic), and D is homogeneous of degree -2j in (u, s), so
// u dD/du + s dD/ds = -2j D gives dD/du = -((2j - 2) D + 2 R)/u.
//
// The terms fall off like 4/(u - s)^2 and alternate: from DISTANT_LENS = 4
// Einstein radii on, at most 28 of them reach the last bit.
#pragma once

#include <cmath>

namespace kelvora::fspl {

// From this distance between the lens and the disk's nearest point on,
// the sums below serve.
inline constexpr double DISTANT_LENS = 4.0;

// A_U - 1, the circle's mean of A0 less 1 (Heyrovsky's M0 - 1, see
// uniform_gradient.hpp), and dA_U/du, dA_U/ds.
struct DistantDisk {
    double rise, ring_rise, du, ds;
};

// For u - s >= DISTANT_LENS, s >= 0 (u finite); separation is u - s or a
// better value of it.  Each sum stops once its term adds less than 2^-56
// of it; at most DISTANT_TERMS terms.
inline DistantDisk distant_lens_disk(double u, double s, double separation) noexcept {
    constexpr double STOP = 0x1p-56;
    constexpr int DISTANT_TERMS = 48;
    // Scaled to stay in range for every u < 1e150: p_n = P_n(x)/v^n and
    // q_n = P'_n(x)/v^n, with a = x/v and c = 1/v^2, so that R_j = p_(j-1)/v
    // and D_(j+1) = [2 u^2 q_(j-1)/v + j p_(j-1)]/(j^2 v^2).
    const double v = separation * (u + s);
    const double inv_v = 1.0 / v;
    const double a = (u * u + s * s) * inv_v * inv_v;
    const double c = inv_v * inv_v;
    const double w = 2.0 * (u * u) * inv_v;
    double p_prev = 0.0, p = 1.0;  // p_(n-1), p_n for n = 0
    double q_prev = 0.0, q = 0.0;
    double b = 2.0;                // b_j for j = 2
    double d = c;                  // D_2 = 1/v^2
    double rise = 0.0, ring = 0.0, du = 0.0, ds = 0.0;
    for (int j = 2; j < DISTANT_TERMS; ++j) {
        // p, q hold p_(j-2), q_(j-2); d holds D_j.  Step them to j - 1.
        const int n = j - 2;
        const double p_next = ((2 * n + 1) * a * p - n * c * p_prev) / (n + 1);
        const double q_next = c * q_prev + (2 * n + 1) * p * inv_v;
        p_prev = p;
        p = p_next;
        q_prev = q;
        q = q_next;
        const double r_j = p * inv_v;  // R_j
        const double t_rise = b * d;
        const double t_ring = b * r_j;
        const double t_du = b * ((2 * j - 2) * d + 2.0 * r_j);
        const double t_ds = b * (r_j - d);
        rise += t_rise;
        ring += t_ring;
        du += t_du;
        ds += t_ds;
        if (std::fabs(t_rise) <= STOP * std::fabs(rise) && std::fabs(t_ring) <= STOP * std::fabs(ring) &&
            std::fabs(t_du) <= STOP * std::fabs(du) && std::fabs(t_ds) <= STOP * std::fabs(ds))
            break;
        // D_(j+1) from p_(j-1), q_(j-1); b_(j+1) = -b_j 2 (2j - 1) j/((j - 1)(j + 1)).
        d = (w * q + j * p) * c / (double(j) * double(j));
        b = -b * (2.0 * (2 * j - 1) * j) / (double(j - 1) * double(j + 1));
    }
    // (At s = 0, R_j = D_j = u^(-2j): A_U = A0(u) + O(s^2), and dA_U/ds = 0.)
    return {rise, ring, -du / u, s == 0 ? 0.0 : 2.0 * ds / s};
}

}  // namespace kelvora::fspl
