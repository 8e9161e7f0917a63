"""The installed stub agrees with the module (stubtest), and type-checks the
examples and a set of accepted and refused calls under mypy --strict."""

import subprocess
import sys
from pathlib import Path

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent.parent


def run(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=600)


def test_stub_matches_the_module():
    done = run("mypy.stubtest", "kelvora")
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_and_usage_type_check_strictly():
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py")) + [str(ROOT / "tests/typing/usage.py")]
    done = run("mypy", "--strict", "--no-incremental", *files)
    assert done.returncode == 0, done.stdout + done.stderr
