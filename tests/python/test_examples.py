"""The runnable examples run and print what the module computes."""

import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kelvora

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"


def run_example(name, *args):
    env = dict(os.environ, PYTHONWARNINGS="error", MPLBACKEND="Agg")
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, env=env, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


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
    rows = light_curve_rows(run_example("demo.py", "--quick"))
    assert len(rows) == 41
    # Symmetric about the closest approach.
    assert [r[1:] for r in rows] == [r[1:] for r in reversed(rows)]
    t, u, l, point, uniform, limb, tabulated = rows[20]
    assert t == 0.0 and l == 0.4
    # The printed uniform-disk values are the module's own; the point lens is
    # (u^2 + 2)/(u sqrt(u^2 + 4)).
    assert f"{kelvora.witt_mao_magnification([0.4], 1.0, 0.05)[0]:.5f}" == f"{uniform:.5f}"
    assert point == pytest.approx((u * u + 2) / (u * math.sqrt(u * u + 4)), abs=1e-5)
    # A finite source is fainter than a point at the peak, and a limb-darkened
    # one (brighter towards its centre, where the lens is) brighter than a
    # uniform one.
    assert uniform < limb < point and uniform < tabulated < point
    # Far out all three finite sources approach each other.
    far = rows[0]
    assert far[4] == pytest.approx(far[5], rel=1e-2) and far[5] == pytest.approx(far[6], rel=1e-2)


def test_demo_writes_its_figure(tmp_path):
    figure = tmp_path / "light_curve.png"
    out = run_example("demo.py", "--output", str(figure))
    assert f"wrote {figure}" in out
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
