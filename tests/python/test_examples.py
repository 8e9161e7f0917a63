"""The runnable examples run and print what the module computes."""

import os
import subprocess
import sys
from pathlib import Path

import kelvora

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"


def run_example(name):
    env = dict(os.environ, PYTHONWARNINGS="error")
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


def test_demo_light_curve():
    out = run_example("demo.py").splitlines()
    header = next(i for i, line in enumerate(out) if line.lstrip().startswith("t - t0"))
    rows = [line.split() for line in out[header + 1 :] if line[:1] == " " and len(line.split()) == 7]
    assert len(rows) == 41
    # Symmetric about the closest approach, and the disk is fainter at the
    # peak than a point source there.
    assert [r[3:] for r in rows] == [r[3:] for r in reversed(rows)]
    centre = rows[20]
    assert float(centre[0]) == 0.0
    assert float(centre[3]) < float(centre[6])
    # The printed disk and ring values are the module's own.
    l = float(centre[2])
    assert f"{kelvora.witt_mao_magnification([0.4], 1.0, 0.05)[0]:.6f}" == centre[3]
    assert f"{kelvora.heyrovsky_magnification(0.4, 0.6, 1.0, 0.05):.6f}" == centre[4]
    assert l == 0.4
