"""The installed stub agrees with the module (stubtest), and type-checks the
examples and a set of accepted and refused calls under mypy --strict."""

import importlib.util
import re

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

pytest.importorskip("mypy")

from _support import ROOT, run_python_module  # noqa: E402


def test_stub_matches_the_module():
    done = run_python_module("mypy.stubtest", "kelvora")
    assert done.returncode == 0, done.stdout + done.stderr


def needs_missing_package(path):
    """An example importing an optional package this interpreter lacks (jax
    and numpyro have no wheels for some of the project's interpreters):
    mypy would only report the missing imports."""
    text = path.read_text()
    wanted = set(re.findall(r"^\s*(?:import|from) (jax|numpyro)\b", text, re.M))
    return any(importlib.util.find_spec(name) is None for name in wanted)


def test_examples_and_usage_type_check_strictly():
    examples = [p for p in sorted((ROOT / "examples").glob("*.py")) if not needs_missing_package(p)]
    files = [str(p) for p in examples] + [str(ROOT / "tests/typing/usage.py")]
    done = run_python_module("mypy", "--strict", "--no-incremental", *files)
    assert done.returncode == 0, done.stdout + done.stderr
