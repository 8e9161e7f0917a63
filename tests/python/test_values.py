"""Values of ``witt_mao_magnification`` against closed forms and an independent
quadrature of the point-lens magnification over a uniformly bright disk."""

import math

import pytest

import kelvora
from _support import bits, point_lens

wm = kelvora.witt_mao_magnification


def limb_value(rho):
    """Uniform-disk magnification with the lens on the limb (u = rho):
    (2/rho + (1 + rho^2)/rho^2 * (asin((rho^2 - 1)/(rho^2 + 1)) + pi/2)) / pi."""
    r2 = rho * rho
    return (2.0 / rho + (r2 + 1.0) / r2 * (math.asin((r2 - 1.0) / (r2 + 1.0)) + math.pi / 2)) / math.pi


def disk_quadrature(u, rho, n=4096):
    """Mean point-lens magnification over a disk of radius rho whose centre is
    at distance u from the lens, all lengths in Einstein radii.

    In polar coordinates (r, theta) about the lens, A(r) r = (r^2 + 2)/sqrt(r^2 + 4)
    has the antiderivative F(r) = r sqrt(r^2 + 4) / 2, so by Green's theorem the
    area integral is the boundary integral of F(r) dtheta.  Along the limb
    P(phi) = (u + rho cos phi, rho sin phi) this is a smooth periodic integrand
    (as long as the lens is not on the limb), for which the trapezoidal rule
    converges geometrically.
    """
    total = 0.0
    for k in range(n):
        c = math.cos(2.0 * math.pi * k / n)
        r2 = u * u + rho * rho + 2.0 * u * rho * c
        total += rho * (rho + u * c) * math.sqrt(r2 + 4.0) / (2.0 * math.sqrt(r2))
    return total * (2.0 * math.pi / n) / (math.pi * rho * rho)


@pytest.mark.parametrize("rho", [0.001, 0.01, 0.1, 0.3, 1.0, 2.5, 10.0, 1000.0])
def test_lens_at_centre(rho):
    # u = 0: every elliptic integral is at m = n = 0, and A = sqrt(1 + 4/rho^2).
    [value] = wm([0.0], 1.0, rho)
    assert value == pytest.approx(math.sqrt(1.0 + 4.0 / (rho * rho)), rel=4e-15)


def test_lens_at_centre_for_many_entries():
    values = wm([0.0] * 7, 2.0, 1.0)
    assert values == [values[0]] * 7
    assert values[0] == pytest.approx(math.sqrt(17.0), rel=4e-15)


def test_limb_with_equal_radii_is_exact():
    # rho = 1 on the limb: (2 + 2 (asin 0 + pi/2)) / pi = (2 + pi)/pi.
    [value] = wm([1.0], 1.0, 1.0)
    assert value == (2.0 + math.pi) / math.pi
    [value] = wm([1.0], 3.5, 3.5)
    assert value == (2.0 + math.pi) / math.pi


@pytest.mark.parametrize("rho", [0.001, 0.05, 0.3, 1.0, 2.0, 7.0])
def test_limb_closed_form(rho):
    [value] = wm([1.0], 1.0, rho)
    assert value == pytest.approx(limb_value(rho), rel=1e-15)


def test_limb_band_is_absolute_in_einstein_radii():
    # With rho = 0.001 the band |u - rho| < 1e-5 is |l - 1| < 0.01.
    rho = 0.001
    inside = [0.9901, 0.995, 0.999, 1.0, 1.001, 1.005, 1.0099]
    values = wm(inside, 1.0, rho)
    assert values == [values[0]] * len(inside)
    assert values[0] == pytest.approx(limb_value(rho), rel=1e-15)
    outside = wm([0.985, 1.015], 1.0, rho)
    assert all(v != values[0] for v in outside)


def test_either_side_of_the_limb():
    # rho = 1, u = rho -+ 2e-5: just outside the band on both sides; the
    # general formula lands within 2e-4 of the limb value, above inside the
    # disk and below outside it.
    limb = (2.0 + math.pi) / math.pi
    inner, outer = wm([1.0 - 2e-5, 1.0 + 2e-5], 1.0, 1.0)
    assert limb < inner < limb + 2e-4
    assert limb - 2e-4 < outer < limb


@pytest.mark.parametrize("rho", [0.01, 0.1, 0.5, 1.0, 2.0, 10.0])
@pytest.mark.parametrize("l", [0.1, 0.5, 0.9, 0.95, 1.05, 1.1, 1.5, 2.0, 5.0, 20.0])
def test_against_disk_quadrature(rho, l):
    [value] = wm([l], 1.0, rho)
    assert value == pytest.approx(disk_quadrature(rho * l, rho), rel=1e-11)


EPS = 2.0**-52


def rounding_allowance(l):
    # The three elliptic terms are each of order l^2 (in units of the result)
    # and cancel to about 1, so rounding costs a few eps * l^2.
    return 32.0 * EPS * l * l


@pytest.mark.parametrize("u", [3.0, 5.0, 10.0, 30.0])
def test_large_separation_tends_to_point_lens(u):
    # Far from the disk the finite-source correction is (rho^2/8) * laplacian
    # of A, about 4 rho^2 / u^6 for u >> 1.
    rho = 0.01
    l = u / rho
    [value] = wm([l], 1.0, rho)
    assert abs(value - point_lens(u)) <= 8.0 * rho * rho / u**6 + rounding_allowance(l)


def laplacian_point_lens(u, h=1e-4):
    """A'' + A'/u of the point-lens magnification, by central differences."""
    a_minus, a0, a_plus = point_lens(u - h), point_lens(u), point_lens(u + h)
    return (a_plus - 2.0 * a0 + a_minus) / (h * h) + (a_plus - a_minus) / (2.0 * h * u)


@pytest.mark.parametrize("rho, u", [(1e-2, 0.5), (1e-2, 1.0), (1e-2, 2.0), (1e-3, 0.5), (1e-3, 1.0)])
def test_small_source_correction(rho, u):
    # Averaging A over a small disk adds (rho^2 / 8) times the laplacian of A.
    l = u / rho
    [value] = wm([l], 1.0, rho)
    expected = rho * rho / 8.0 * laplacian_point_lens(u)
    assert rounding_allowance(l) < 0.1 * expected
    assert value - point_lens(u) == pytest.approx(expected, rel=0.02)


def test_far_away_tends_to_one():
    ls = [10.0, 20.0, 50.0, 100.0]
    excess = [v - 1.0 for v in wm(ls, 1.0, 1.0)]
    assert all(a > b > 0.0 for a, b in zip(excess, excess[1:]))
    # Point-lens tail: A - 1 ~ 2 / u^4.
    for l, e in zip(ls, excess):
        assert e == pytest.approx(2.0 / l**4, rel=0.2, abs=rounding_allowance(l))
    [value] = wm([1e4], 1.0, 1.0)
    assert abs(value - 1.0) <= rounding_allowance(1e4)


def test_decreasing_outside_the_limb():
    values = wm([1.2, 1.5, 2.0, 3.0, 5.0, 10.0], 1.0, 0.5)
    assert all(a > b for a, b in zip(values, values[1:]))


def test_only_the_ratio_of_radii_enters():
    # 0.3, 0.6/2 and 3/10 are the same double.
    l = [0.0, 0.4, 1.0, 2.5]
    expected = wm(l, 1.0, 0.3)
    assert wm(l, 2.0, 0.6) == expected
    assert wm(l, 10.0, 3.0) == expected


def test_entries_are_independent_and_in_order():
    l = [0.25, 3.0, 1.0, 0.0, 1.7, 0.25]
    values = wm(l, 1.0, 0.4)
    singles = [wm([x], 1.0, 0.4)[0] for x in l]
    assert bits(values) == bits(singles)
    reversed_values = wm(l[::-1], 1.0, 0.4)
    assert bits(reversed_values) == bits(values[::-1])


def test_one_exact_float_per_item_produced():
    def items():
        yield from (0.5, 1.0, 2.0, 4.0)

    class Counted:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            raise AssertionError

        def __iter__(self):
            return items()

    values = wm(Counted(), 1.0, 0.2)
    assert type(values) is list
    assert len(values) == 4
    assert all(type(v) is float for v in values)
    assert bits(values) == bits(wm([0.5, 1.0, 2.0, 4.0], 1.0, 0.2))


def test_long_input():
    l = [i * 0.001 for i in range(20000)]
    values = wm(l, 1.0, 0.05)
    assert len(values) == len(l)
    assert values[0] == pytest.approx(math.sqrt(1.0 + 4.0 / 0.0025), rel=4e-15)
    assert all(type(v) is float and v > 1.0 for v in values)
