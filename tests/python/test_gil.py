"""What each module declares about the GIL, as a free-threaded CPython sees it.

kelvora declares that it relies on the GIL: a free-threaded interpreter turns
the GIL on when it imports it, with a RuntimeWarning, unless the user forced
it off (PYTHON_GIL=0).  kelvora_fspl declares that it runs safely without
the GIL: importing it leaves a free-threaded interpreter free-threaded.
Each case runs in a fresh interpreter, since the GIL, once on, stays on.
"""

import json
import os
import subprocess
import sys

import pytest

from _support import FREE_THREADED
needs_free_threading = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build of CPython")

_SCRIPT = """
import json, sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for name in sys.argv[1:]:
        __import__(name)
print(json.dumps({"gil": sys._is_gil_enabled(),
                  "warnings": [[w.category.__name__, str(w.message)] for w in caught]}))
"""


def imported(*modules, gil=None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    if gil is not None:
        env["PYTHON_GIL"] = gil
    proc = subprocess.run([sys.executable, "-c", _SCRIPT, *modules], capture_output=True, text=True,
                          env=env, timeout=120, check=False)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@needs_free_threading
def test_kelvora_fspl_keeps_the_interpreter_free_threaded():
    report = imported("numpy", "kelvora_fspl")
    assert report == {"gil": False, "warnings": []}


@needs_free_threading
def test_kelvora_turns_the_gil_on_as_it_declares():
    report = imported("kelvora")
    assert report["gil"] is True
    [[category, message]] = report["warnings"]
    assert category == "RuntimeWarning"
    assert "GIL" in message and "'kelvora'" in message, message


@needs_free_threading
def test_both_modules_run_without_the_gil_when_it_is_forced_off():
    report = imported("kelvora", "kelvora_fspl", gil="0")
    assert report == {"gil": False, "warnings": []}


@needs_free_threading
@pytest.mark.skipif(os.environ.get("PYTHON_GIL") != "0", reason="this run keeps the GIL (PYTHON_GIL is not 0)")
def test_this_run_is_truly_free_threaded():
    # The threads tests of this very run then call both modules in parallel.
    import kelvora  # noqa: F401
    import kelvora_fspl  # noqa: F401

    assert sys._is_gil_enabled() is False
