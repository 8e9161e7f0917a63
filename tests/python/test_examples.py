"""The runnable examples run and print what the module computes."""

import math

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

from _support import run_example

import kelvora


def light_curve_rows(out):
    lines = out.splitlines()
    header = next(i for i, line in enumerate(lines) if line.split()[:1] == ["t"])
    rows = []
    for line in lines[header + 1 :]:
        cells = line.split()
        if len(cells) != 7:
            break
        rows.append([float(c) for c in cells])
    return rows


def test_demo_quick_light_curve():
    import kelvora_fspl

    out = run_example("demo.py", "--quick", timeout=300)
    rows = light_curve_rows(out)
    assert len(rows) == 21
    # Symmetric about the closest approach.
    assert [r[1:] for r in rows] == [r[1:] for r in reversed(rows)]
    t, u, point, uniform, linear, quadratic, tabulated = rows[10]
    assert t == 0.0 and u == 0.02
    # The printed values are the module's; the point lens is (u^2 + 2)/(u sqrt(u^2 + 4)).
    assert f"{float(kelvora_fspl.magnification(0.02, 0.05, 'linear', (0.6,))):.5f}" == f"{linear:.5f}"
    assert point == pytest.approx((u * u + 2) / (u * math.sqrt(u * u + 4)), abs=1e-5)
    # The disk centred near the lens: uniform sqrt(rho^2 + 4)/rho at u = 0, a
    # little less at u0 = 0.02 < rho.
    assert uniform < math.sqrt(0.05**2 + 4) / 0.05
    # A finite source is fainter than a point at the peak; a limb-darkened one
    # (brighter towards its centre, where the lens is) brighter than a
    # uniform one; the table samples the quadratic law, so the two agree to
    # the interpolation error.
    assert uniform < quadratic < linear < point
    assert tabulated == pytest.approx(quadratic, rel=1e-4)
    # Far out all finite sources approach each other, limb darkening dimming
    # the wings a little.
    far = rows[0]
    assert far[4] < far[3] and far[4] == pytest.approx(far[3], rel=1e-2)
    assert "kelvora.witt_mao_magnification agrees with the uniform disk to" in out


def test_demo_writes_its_figure(tmp_path):
    pytest.importorskip("matplotlib", reason="the figure needs matplotlib (pip install '.[examples]')")
    figure = tmp_path / "light_curve.png"
    out = run_example("demo.py", "--output", str(figure), timeout=300)
    assert f"wrote {figure}" in out
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
