"""The installed stub agrees with the module (stubtest), and type-checks the
examples and a set of accepted and refused calls under mypy --strict."""

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

pytest.importorskip("mypy")

from _support import ROOT, run_python_module  # noqa: E402


def test_stub_matches_the_module():
    done = run_python_module("mypy.stubtest", "kelvora")
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_and_usage_type_check_strictly():
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py")) + [str(ROOT / "tests/typing/usage.py")]
    done = run_python_module("mypy", "--strict", "--no-incremental", *files)
    assert done.returncode == 0, done.stdout + done.stderr
