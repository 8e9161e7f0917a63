"""The extension's exported symbols: only the init function leaves it."""

import shutil
import subprocess

import pytest

import kelvora


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils nm not available")
def test_only_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", kelvora.__file__], check=True, capture_output=True, text=True
    ).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_kelvora"]
