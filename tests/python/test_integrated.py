"""The integrated forms from Python: the limb-darkened Witt-Mao and Heyrovsky
magnifications and their flux-map versions.

These integrate pi d/dx[x^2 M(x)] P(x) over the radius, M being the
full-source Witt-Mao value or the ring kernel, P the profile; the references
are the relations that follow from that: the Witt-Mao form is a fixed
multiple of the uniform disk, every form tends to the point lens far from the
source, and the flux-map normalisation cancels a scale of the brightness.
"""

import math
import re
import sys

import pytest

import kelvora
from _support import point_lens

wm = kelvora.witt_mao_magnification
iwm = kelvora.integrated_witt_mao_magnification
fwm = kelvora.integrated_flux_map_witt_mao_magnification
ih = kelvora.integrated_heyrovsky_magnification
fh = kelvora.integrated_flux_map_heyrovsky_magnification

L = [0.0, 0.3, 0.5, 0.9, 0.99, 1.0, 1.01, 1.5, 3.0, 10.0, 100.0]
# Stopping rule of the quadrature is absolute: scaled profiles may stop one
# level apart, a relative difference of up to about 2e-11.
SCALED = 1e-10


# -- integrated Witt-Mao ----------------------------------------------------------


@pytest.mark.parametrize("re_, rstar", [(1.0, 0.01), (1.0, 0.1), (2.0, 1.0), (0.5, 7.0)])
def test_integrated_witt_mao_is_the_disk_times_a_constant(re_, rstar):
    # (flux of 2 pi x I(x) by the quadrature, plus the nodes below the
    # difference step) / the stored divisor = 1 + 6.6e-12.
    for a, b in zip(wm(L, re_, rstar), iwm(L, re_, rstar)):
        assert b / a - 1 == pytest.approx(6.6e-12, abs=0.05e-12)


@pytest.mark.parametrize(
    "l, rstar, message",
    [
        ([0.5, 1.0 + 2.0**-40], 1e8, "elliprj: p must be non-zero"),
        ([1.0 + 2.0**-39], 1e12, "ellippi: n must be less than 1."),
        ([0.5, math.nan], 0.3, "elliprj: Fail to converge"),
    ],
)
@pytest.mark.parametrize("func", [iwm, lambda l, re_, rstar: fwm(l, re_, rstar, [0.0, 1.0], [1.0, 0.4])],
                         ids=["default", "flux-map"])
def test_witt_mao_forms_fail_as_the_disk_fails(func, l, rstar, message):
    with pytest.raises(RuntimeError) as disk:
        wm(l, 1.0, rstar)
    with pytest.raises(RuntimeError) as info:
        func(l, 1.0, rstar)
    assert str(info.value) == str(disk.value) == message
    assert type(info.value) is RuntimeError


# -- integrated Heyrovsky ---------------------------------------------------------


@pytest.mark.parametrize("rstar", [0.05, 0.1, 0.5])
def test_integrated_heyrovsky_far_from_the_source_is_the_point_lens(rstar):
    ls = [100.0, 300.0, 1000.0]
    for l, a in zip(ls, ih(ls, 1.0, rstar)):
        x = l * rstar
        assert a == pytest.approx(point_lens(x), rel=1e-9 + 4 * rstar**2 / x**4)


@pytest.mark.parametrize(
    "l",
    [[0.1, 0.5, 0.75, 0.999], [math.nan], [math.inf], [-1.0], [1e4 + 0.5], [1e6 + 1.1e-5]],
    ids=["inside", "nan", "inf", "negative", "far", "very-far"],
)
def test_integrated_heyrovsky_never_raises(l):
    # Kernel failures are dropped node by node; the entries are floats.
    result = ih(l, 1.0, 1.0)
    assert len(result) == len(l) and all(type(x) is float for x in result)
    assert sys.exc_info() == (None, None, None)


def test_integrated_heyrovsky_inside_the_source_is_finite():
    assert all(math.isfinite(x) for x in ih([0.1, 0.25, 0.5, 0.75, 0.999], 1.0, 0.1))


# -- flux maps ------------------------------------------------------------------------


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
def test_flux_map_uniform_table(func):
    uniform = func(L, 1.0, 0.1, [0.0, 1.0], [1.0, 1.0])
    assert len(uniform) == len(L)
    if func is fwm:
        # Constant profile over the quadrature of 2 pi x: the disk times 1 + 5.3e-12.
        for a, b in zip(wm(L, 1.0, 0.1), uniform):
            assert b / a - 1 == pytest.approx(5.3e-12, abs=0.05e-12)


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
def test_flux_map_single_sample_is_a_constant(func):
    a = func(L, 1.0, 0.1, [0.3], [5.0])
    b = func(L, 1.0, 0.1, [0.9], [1.0])
    assert a == pytest.approx(b, rel=SCALED)


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
@pytest.mark.parametrize("factor", [3.0, 0.125, 1e6])
def test_flux_map_brightness_scale_cancels(func, factor):
    bl = [0.0, 0.25, 0.5, 0.75, 1.0]
    bf = [1.0, 0.93, 0.8, 0.6, 0.3]
    assert func(L, 1.0, 0.2, bl, [factor * b for b in bf]) == pytest.approx(func(L, 1.0, 0.2, bl, bf), rel=SCALED)


def test_flux_map_annulus():
    # Dark below 0.2 and above 0.8; the Witt-Mao form's integrand then is the
    # same full-source value at every bright node, and the normalisation
    # cancels it to rounding.
    assert fwm(L, 1.0, 0.1, [0.2, 0.8], [1.0, 1.0]) == pytest.approx(wm(L, 1.0, 0.1), rel=4e-16)
    # The annulus is brighter towards the limb than the default law; the ring
    # forms differ from the default-profile ones.
    assert fh([2.0], 1.0, 0.1, [0.2, 0.8], [1.0, 1.0]) != ih([2.0], 1.0, 0.1)


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
def test_flux_map_empty_tables_give_nan(func):
    result = func([0.5, 2.0], 1.0, 0.1, [], [])
    assert len(result) == 2 and all(math.isnan(x) for x in result)
    assert func([], 1.0, 0.1, [], []) == []


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
@pytest.mark.parametrize("l", [[0.5, 2.0], []], ids=["entries", "empty"])
def test_flux_map_unequal_tables_fault(func, l, panic_type, capfd):
    message = "assertion `left == right` failed\n  left: 2\n right: 3"
    with pytest.raises(panic_type) as info:
        func(l, 1.0, 0.1, [0.0, 1.0], [1.0, 1.0, 1.0])
    assert str(info.value) == message
    err = capfd.readouterr().err
    assert re.search(r"thread 'main' panicked at src/lib/\w+\.cpp:\d+:\d+:\n" + re.escape(message), err), err
    # The module keeps working: far out every form is close to the point lens.
    [after] = func([100.0], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0])
    assert after == pytest.approx(point_lens(10.0), rel=1e-6)


def test_flux_map_fault_comes_before_the_disk_failure(panic_type):
    with pytest.raises(panic_type):
        fwm([1.0 + 2.0**-40], 1.0, 1e8, [0.0], [1.0, 1.0])


def test_tabulated_default_law_approaches_the_default_form():
    bl = [k / 2000 for k in range(2001)]
    bf = [1.0 + (1.0 - math.sqrt(1.0 - x * x)) * -0.6 for x in bl]
    ls = [0.0, 0.5, 2.0, 10.0]
    assert fh(ls, 1.0, 0.1, bl, bf) == pytest.approx(ih(ls, 1.0, 0.1), rel=1e-5)
    assert fwm(ls, 1.0, 0.1, bl, bf) == pytest.approx(iwm(ls, 1.0, 0.1), rel=1e-6)


@pytest.mark.parametrize("func", [fwm, fh], ids=["witt-mao", "heyrovsky"])
@pytest.mark.parametrize("parameter", ["l", "re", "rstar", "bl", "bf"])
def test_flux_map_argument_errors_name_the_parameter(func, parameter):
    kwargs = {"l": [0.5], "re": 1.0, "rstar": 0.1, "bl": [0.0, 1.0], "bf": [1.0, 1.0]}
    kwargs[parameter] = "x" if parameter in ("re", "rstar") else [None]
    with pytest.raises(TypeError, match=f"^argument '{parameter}': "):
        func(**kwargs)


def test_no_state_between_calls():
    # The interpolation table and the normalisation are rebuilt every call.
    first = fh([0.5, 2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 0.4])
    fh([0.5, 2.0], 1.0, 0.1, [0.2, 0.8], [3.0, 1.0])
    fwm([0.5, 2.0], 1.0, 0.1, [], [])
    assert fh([0.5, 2.0], 1.0, 0.1, [0.0, 1.0], [1.0, 0.4]) == first
