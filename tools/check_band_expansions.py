#!/usr/bin/env python3
"""Checks the two band formulas of the models against the exact averages.

    python3 tools/check_band_expansions.py      (mpmath; exits 1 on a mismatch)

The derivations are in the comments of src/lib/witt_mao.cpp (the limb limit
of the uniform disk) and src/lib/ring.hpp (the near-ring expansion of the ring
kernel).  At 60 digits this script confirms:

  * the Heuman-Lambda forms of both closed forms (circular case of Pi);
  * the limb limit against a direct quadrature of the disk average at u = rho,
    and its first-order term: what remains is O(delta^2 ln|delta|);
  * the exact near-ring expansion (remainder O(d^2 ln|d|)), and that the
    kernel's band formula is off from the ring average by twice its
    first-order term (the kernel's first-order terms have the opposite sign).

It prints the relative errors of both band formulas at the band edge.
"""
import sys

from mpmath import acos, asin, atan, ellipe, ellipf, ellipk, ellippi, log, mp, mpf, pi, quad, sqrt, cos

mp.dps = 60
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL", what)


def heuman_lambda(eps, m):
    mc = 1 - m
    return 2 / pi * (ellipe(m) * ellipf(eps, mc) + ellipk(m) * (ellipe(eps, mc) - ellipf(eps, mc)))


# -- Witt & Mao, the lens on the limb -----------------------------------------

def witt_mao(u, rho):
    d, sg = u - rho, u + rho
    s = sqrt(4 + d * d)
    n = 4 * u * rho / sg**2
    m = 4 * n / s**2
    return (sg * s / (2 * rho**2) * ellipe(m) - d * (8 + u * u - rho**2) / (2 * rho**2 * s) * ellipk(m)
            + 2 * d * d * (1 + rho**2) / (rho**2 * sg * s) * ellippi(n, m)) / pi


def witt_mao_lambda(u, rho):
    d, sg = u - rho, u + rho
    s = sqrt(4 + d * d)
    n = 4 * u * rho / sg**2
    m = 4 * n / s**2
    eps = asin(sqrt(s * s / (4 + sg * sg)))
    c_k = -d * (8 + u * u - rho**2) / (2 * rho**2 * s) + 2 * d * d * (1 + rho**2) / (rho**2 * sg * s)
    return (sg * s / (2 * rho**2) * ellipe(m) + c_k * ellipk(m)
            + pi * (1 + rho**2) / rho**2 * (1 - heuman_lambda(eps, m))) / pi


def limb(rho):
    return (2 / rho + (1 + rho**2) / rho**2 * (asin((rho**2 - 1) / (rho**2 + 1)) + pi / 2)) / pi


def disk_on_limb(rho):
    # Circles of radius x about the lens: the arc 2 acos(x/(2 rho)) lies in the disk.
    return quad(lambda x: (x * x + 2) / sqrt(x * x + 4) * 2 * acos(x / (2 * rho)), [0, 2 * rho]) / (pi * rho**2)


def limb_first_order(rho, d):
    return -(2 * d / (pi * rho**2)) * (log(8 * rho / (abs(d) * sqrt(1 + rho**2))) - 1)


print("limb limit (Witt & Mao), relative error of the limit at |delta| = 1e-5:")
for rho in map(mpf, ["0.001", "0.01", "0.1", "1", "10"]):
    u = rho * mpf("1.3")
    check(abs(witt_mao(u, rho) / witt_mao_lambda(u, rho) - 1) < mpf("1e-40"), f"Lambda form, rho={rho}")
    check(abs(disk_on_limb(rho) / limb(rho) - 1) < mpf("1e-40"), f"limit vs disk average, rho={rho}")
    scaled = []
    for d in map(mpf, ["1e-6", "-1e-6", "1e-8"]):
        rest = witt_mao(rho + d, rho) - limb(rho) - limb_first_order(rho, d)
        scaled.append(rest / (d * d * log(abs(d))))
    check(max(scaled) / min(scaled) < 1.5 and min(scaled) * max(scaled) > 0, f"limb remainder order, rho={rho}")
    edge = mpf("1e-5")
    print(f"  rho = {float(rho):<6g} {float(limb(rho) / witt_mao(rho + edge, rho) - 1): .2e}")


# -- Heyrovsky ring kernel near the ring --------------------------------------

def ring(l, r, eta):
    d = l - r
    q = d * d + 4 * eta**2
    n = 4 * l * r / (l + r) ** 2
    m = n * 4 * eta**2 / q
    return 4 / (2 * pi * (l + r) * sqrt(q)) * (d * d * ellippi(n, m) + 2 * eta**2 * ellipk(m))


def ring_lambda(l, r, eta):
    d = l - r
    q = d * d + 4 * eta**2
    n = 4 * l * r / (l + r) ** 2
    m = n * 4 * eta**2 / q
    eps = asin(sqrt(q / ((l + r) ** 2 + 4 * eta**2)))
    return (2 * pi * (1 - heuman_lambda(eps, m)) + 4 * (d * d + 2 * eta**2) * ellipk(m) / ((l + r) * sqrt(q))) / (2 * pi)


def ring_average(l, r, eta):
    a0 = lambda x: (x * x + 2) / (x * sqrt(x * x + 4))
    return quad(lambda ph: a0(sqrt(l * l + r * r - 2 * l * r * cos(ph)) / eta), [0, pi / 16, pi]) / pi


def log_term(l, d, eta):
    return log(8 * eta * l / (abs(d) * sqrt(l * l + eta**2)))


def ring_leading(l, d, eta):
    return (4 * atan(l / eta) + 2 * eta / l * log_term(l, d, eta)) / (2 * pi)


def ring_first_order(l, d, eta):  # of the exact expansion
    return (d / (2 * l) * (2 * eta / l) * log_term(l, d, eta)
            - d * eta * (2 * l * l + eta**2) / (l * l * (l * l + eta**2))) / (2 * pi)


def kernel_band(l, d, eta):  # the formula of src/lib/ring.hpp
    return (4 * atan(l / eta) + (1 - d / (2 * l)) * (2 * eta / l) * log_term(l, d, eta)
            + d * eta * (2 * l * l + eta**2) / (l * l * (l * l + eta**2))) / (2 * pi)


print("ring kernel, relative error of the band formula at d = 1e-5:")
check(abs(ring(mpf("0.7"), mpf("0.5"), mpf("0.3")) / ring_average(mpf("0.7"), mpf("0.5"), mpf("0.3")) - 1)
      < mpf("1e-40"), "ring closed form vs quadrature")
for l, eta in [("1", "1"), ("0.5", "0.3"), ("3", "0.2"), ("0.2", "5"), ("0.01", "1")]:
    l, eta = mpf(l), mpf(eta)
    check(abs(ring(l, l * mpf("0.8"), eta) / ring_lambda(l, l * mpf("0.8"), eta) - 1) < mpf("1e-40"),
          f"ring Lambda form, l={l}, eta={eta}")
    scaled = []
    for d in map(mpf, ["1e-6", "-1e-6", "1e-8"]):
        exact = ring(l, l - d, eta)
        rest = exact - ring_leading(l, d, eta) - ring_first_order(l, d, eta)
        scaled.append(rest / (d * d * log(abs(d))))
        ratio = (kernel_band(l, d, eta) - exact) / (-2 * ring_first_order(l, d, eta))
        check(abs(ratio - 1) < mpf("1e-2"), f"kernel band = exact - 2 first order, l={l}, eta={eta}, d={d}")
    check(max(scaled) / min(scaled) < 1.5 and min(scaled) * max(scaled) > 0, f"ring remainder order, l={l}")
    edge = mpf("1e-5")
    print(f"  l = {float(l):<5g} eta = {float(eta):<4g} {float(kernel_band(l, edge, eta) / ring(l, l - edge, eta) - 1): .2e}")

if failures:
    sys.exit(1)
print("all checks passed")
