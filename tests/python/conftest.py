"""Shared fixtures for the kelvora Python test suite.

The test-only extension ``_binder_probe`` is built by CMake into
``<build>/probe/``; point ``KELVORA_PROBE_DIR`` at that directory to run the
tests that need it (they are skipped otherwise).
"""

import os
import sys

import pytest

import _refleaks
from _refleaks import pytest_addoption, pytest_pyfunc_call, pytest_terminal_summary  # noqa: F401 - hooks
from _support import HugeLength

_PROBE_DIR = os.environ.get("KELVORA_PROBE_DIR")
if _PROBE_DIR:
    sys.path.insert(0, os.path.abspath(_PROBE_DIR))


def pytest_configure(config):
    _refleaks.pytest_configure(config)
    config.addinivalue_line(
        "markers", "leak: long loops checking that reference counts and memory stay flat (a few seconds)"
    )
    config.addinivalue_line(
        "markers", "packaging: builds the sdist and a wheel from it in a fresh environment (about a minute)"
    )


@pytest.fixture(scope="session")
def probe():
    """The ``_binder_probe`` test extension; skips the test when it is absent."""
    return pytest.importorskip("_binder_probe")


@pytest.fixture(scope="session")
def panic_type():
    """The internal-fault exception type, obtained from a genuine fault of
    kelvora itself (an array reservation that overflows)."""
    import kelvora

    try:
        kelvora.witt_mao_magnification(HugeLength(), 1.0, 0.1)
    except BaseException as exc:  # noqa: BLE001 - the type is what we want
        assert type(exc).__name__ == "PanicException", repr(exc)
        return type(exc)
    pytest.fail("an impossible array length did not fault")
