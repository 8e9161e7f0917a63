"""The module object: its attributes, its function table and its init function."""

import _imp
import importlib.util
import inspect
import json
import math
import os
import subprocess
import sys
import textwrap
import types

import pytest

import kelvora
from _support import FREE_THREADED, KELVORA_FUNCTIONS, KELVORA_NAMES

# KELVORA_NAMES lists every public function in registration order; __all__
# lists those registered so far, in this order.  Below, the functions
# registered so far, with one valid call (positional arguments) and the Python
# type that call returns, in registration order; the parameters of each are
# those of KELVORA_FUNCTIONS.  Add a row per function as it is registered.
TABLE_CALL = ([0.5, 2.0], 1.0, 0.1, [0.25, 0.75], [1.0, 0.5])
CALLS = [
    ("witt_mao_magnification", ([0.5, 2.0], 1.0, 0.1), list),
    ("integrated_witt_mao_magnification", ([0.5, 2.0], 1.0, 0.1), list),
    ("integrated_flux_map_witt_mao_magnification", TABLE_CALL, list),
    ("heyrovsky_magnification", (0.5, 0.3, 1.0, 0.1), float),
    ("integrated_heyrovsky_magnification", ([0.5, 2.0], 1.0, 0.1), list),
    ("integrated_flux_map_heyrovsky_magnification", TABLE_CALL, list),
    ("discrete_flux_map_heyrovsky_magnification", TABLE_CALL, list),
]
FUNCTIONS = [(name, KELVORA_FUNCTIONS[name], call, result_type) for name, call, result_type in CALLS]

# Calls with an empty separation sequence; these return empty lists.
EMPTY_CALLS = [
    ("witt_mao_magnification", ([], 1.0, 0.1)),
    ("integrated_witt_mao_magnification", ([], 1.0, 0.1)),
    ("integrated_flux_map_witt_mao_magnification", ([], 1.0, 0.1, [0.5], [1.0])),
    ("integrated_heyrovsky_magnification", ([], 1.0, 0.1)),
    ("integrated_flux_map_heyrovsky_magnification", ([], 1.0, 0.1, [0.5], [1.0])),
    ("discrete_flux_map_heyrovsky_magnification", ([], 1.0, 0.1, [0.5], [1.0])),
]

FUNCTION_IDS = [row[0] for row in FUNCTIONS]


REGISTERED = [row[0] for row in FUNCTIONS]


def test_function_table_follows_the_registration_order():
    assert REGISTERED == [name for name in KELVORA_NAMES if name in REGISTERED]


def test_all_lists_registered_functions_in_order():
    assert type(kelvora.__all__) is list
    assert kelvora.__all__ == REGISTERED


def test_all_seven_functions_are_registered():
    assert kelvora.__all__ == KELVORA_NAMES


def test_names_not_yet_registered_are_absent():
    for name in KELVORA_NAMES:
        if name not in REGISTERED:
            assert not hasattr(kelvora, name), name


def test_module_docstring():
    assert kelvora.__doc__ == "A Python module implemented in C++."


def test_module_name_and_attributes():
    assert kelvora.__name__ == "kelvora"
    assert type(kelvora) is types.ModuleType
    public = {name for name in vars(kelvora) if not name.startswith("__")}
    assert public == set(kelvora.__all__)


@pytest.mark.parametrize("name, params, call, result_type", FUNCTIONS, ids=FUNCTION_IDS)
def test_function_object(name, params, call, result_type):
    func = getattr(kelvora, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "kelvora"
    assert func.__self__ is kelvora
    assert func.__doc__ is None
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"


@pytest.mark.parametrize("name, params, call, result_type", FUNCTIONS, ids=FUNCTION_IDS)
def test_inspect_signature(name, params, call, result_type):
    sig = inspect.signature(getattr(kelvora, name))
    assert list(sig.parameters) == list(params)
    for param in sig.parameters.values():
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert param.default is inspect.Parameter.empty
    assert sig.return_annotation is inspect.Signature.empty


TEXT_SIGNATURES = {
    "witt_mao_magnification": "(l, re, rstar)",
    "integrated_witt_mao_magnification": "(l, re, rstar)",
    "integrated_flux_map_witt_mao_magnification": "(l, re, rstar, bl, bf)",
    "heyrovsky_magnification": "(l, r, re, rstar)",
    "integrated_heyrovsky_magnification": "(l, re, rstar)",
    "integrated_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
    "discrete_flux_map_heyrovsky_magnification": "(l, re, rstar, bl, bf)",
}


@pytest.mark.parametrize("name", KELVORA_NAMES)
def test_text_signature_exact(name):
    func = getattr(kelvora, name)
    assert func.__text_signature__ == TEXT_SIGNATURES[name]
    assert str(inspect.signature(func)) == TEXT_SIGNATURES[name]


@pytest.mark.parametrize("name, params, call, result_type", FUNCTIONS, ids=FUNCTION_IDS)
def test_result_type(name, params, call, result_type):
    result = getattr(kelvora, name)(*call)
    assert type(result) is result_type
    if result_type is list:
        assert len(result) == len(call[0])
        assert all(type(x) is float for x in result)


@pytest.mark.parametrize("name, call", EMPTY_CALLS, ids=[c[0] for c in EMPTY_CALLS])
def test_empty_sequence_gives_empty_list(name, call):
    result = getattr(kelvora, name)(*call)
    assert type(result) is list
    assert result == []


@pytest.mark.parametrize("empty", [[], (), range(0), b"", bytearray()], ids=repr)
def test_empty_sequences_of_every_kind(empty):
    result = kelvora.witt_mao_magnification(empty, 1.0, 0.1)
    assert type(result) is list and result == []


def test_each_call_returns_a_new_list():
    a = kelvora.witt_mao_magnification([0.5], 1.0, 0.1)
    b = kelvora.witt_mao_magnification([0.5], 1.0, 0.1)
    assert a == b
    assert a is not b


# -- initialising again -----------------------------------------------------


def _snapshot():
    return (
        kelvora.__all__,
        list(kelvora.__all__),
        {name: getattr(kelvora, name) for name in kelvora.__all__},
    )


def test_create_dynamic_returns_the_same_module():
    all_list, all_copy, funcs = _snapshot()
    again = _imp.create_dynamic(kelvora.__spec__)
    assert again is kelvora
    # Nothing was registered a second time.
    assert kelvora.__all__ is all_list
    assert kelvora.__all__ == all_copy
    for name, func in funcs.items():
        assert getattr(kelvora, name) is func
    assert sys.modules["kelvora"] is kelvora


def test_module_from_spec_returns_the_same_module():
    all_list, all_copy, funcs = _snapshot()
    again = importlib.util.module_from_spec(kelvora.__spec__)
    assert again is kelvora
    assert kelvora.__all__ is all_list
    assert kelvora.__all__ == all_copy
    for name, func in funcs.items():
        assert getattr(kelvora, name) is func


def test_module_works_after_reinitialisation():
    _imp.create_dynamic(kelvora.__spec__)
    _imp.create_dynamic(kelvora.__spec__)
    assert kelvora.witt_mao_magnification([0.0], 1.0, 1.0) == pytest.approx([5.0**0.5], rel=1e-14)


# -- other interpreters -----------------------------------------------------
#
# A single-phase module can only serve one interpreter.  CPython's isolated
# interpreters refuse single-phase modules themselves (before the init function
# runs); interpreters configured the legacy way let the init function run, and
# the module refuses them.  Each scenario runs in a fresh process so that a
# crash is reported as a failure, not fatal to the suite.

_SUBINTERP_SCRIPT = textwrap.dedent(
    """
    import json, sys
    import _interpreters

    PATH = {path!r}
    report = {{}}

    def exec_in(config, code):
        try:
            iid = _interpreters.create(config)
        except Exception as exc:
            return ["not created: " + type(exc).__name__, str(exc)]
        try:
            exc = _interpreters.exec(iid, "import sys; sys.path[:] = " + repr(PATH) + "\\n" + code)
        finally:
            _interpreters.destroy(iid)
        return None if exc is None else [exc.type.__name__, exc.msg]

    def run():
    {body}

    run()
    print(json.dumps(report))
    """
)


def _run_subinterp_scenario(body):
    script = _SUBINTERP_SCRIPT.format(path=sys.path, body=textwrap.indent(textwrap.dedent(body), "    "))
    proc = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONFAULTHANDLER": "1"},
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


LEGACY_CONFIGS = {
    "legacy": "'legacy'",
    "shared-gil": "_interpreters.new_config('isolated', check_multi_interp_extensions=False,"
    " use_main_obmalloc=True, gil='shared')",
}


# A free-threaded CPython keeps single-phase modules out of every
# subinterpreter itself (the legacy configuration included) and does not
# create interpreters that share the main one's GIL and object allocator.
CPYTHON_REFUSAL = ["ImportError", "module kelvora does not support loading in subinterpreters"]


def _assert_module_refusal(message):
    # One fixed sentence saying that modules like this one do not support
    # subinterpreters yet, and where that is tracked.
    lowered = message.lower()
    assert "do not yet support subinterpreters" in lowered, message
    assert message != "module kelvora does not support loading in subinterpreters"
    tail = message[lowered.index("do not yet support subinterpreters") + len("do not yet support subinterpreters"):]
    assert tail.strip(" ,.;:"), f"no pointer to where the limitation is tracked: {message!r}"


def test_isolated_subinterpreter_refuses_single_phase_module():
    report = _run_subinterp_scenario(
        """
        import kelvora
        report["sub"] = exec_in("isolated", "import kelvora")
        report["after"] = kelvora.witt_mao_magnification([0.0], 1.0, 1.0)
        """
    )
    assert report["sub"] == ["ImportError", "module kelvora does not support loading in subinterpreters"]
    assert report["after"] == pytest.approx([5.0**0.5], rel=1e-14)


@pytest.mark.parametrize("config", list(LEGACY_CONFIGS))
def test_legacy_subinterpreter_gets_module_import_error(config):
    report = _run_subinterp_scenario(
        f"""
        import kelvora
        first = kelvora
        report["sub"] = exec_in({LEGACY_CONFIGS[config]}, "import kelvora")
        report["again"] = exec_in({LEGACY_CONFIGS[config]}, "import kelvora")
        import kelvora
        report["same"] = kelvora is first
        report["all"] = kelvora.__all__
        report["after"] = kelvora.witt_mao_magnification([0.0, 1.0], 1.0, 1.0)
        """
    )
    if FREE_THREADED and config == "shared-gil":
        assert report["sub"][0] == "not created: InterpreterError", report["sub"]
    elif FREE_THREADED:
        assert report["sub"] == CPYTHON_REFUSAL
    else:
        kind, message = report["sub"]
        assert kind == "ImportError"
        _assert_module_refusal(message)
    # The refusal is the same every time.
    assert report["again"] == report["sub"]
    assert report["same"] is True
    assert report["all"] == REGISTERED
    assert report["after"] == pytest.approx([5.0**0.5, (2.0 + math.pi) / math.pi], rel=1e-14)


def test_import_from_a_subinterpreter_first_leaves_the_main_interpreter_owner():
    # CPython 3.13 runs a single-phase init function in the main interpreter
    # before it runs it for a subinterpreter, so even when a legacy
    # subinterpreter is the first to import the module, the main interpreter
    # becomes its owner: the subinterpreter is refused and the main
    # interpreter's own import then works.  A free-threaded CPython refuses the
    # subinterpreter before running anything.
    report = _run_subinterp_scenario(
        """
        report["sub"] = exec_in("legacy", "import kelvora")
        import kelvora
        report["all"] = kelvora.__all__
        report["after"] = kelvora.witt_mao_magnification([0.0], 1.0, 1.0)
        """
    )
    if FREE_THREADED:
        assert report["sub"] == CPYTHON_REFUSAL
    else:
        kind, message = report["sub"]
        assert kind == "ImportError"
        _assert_module_refusal(message)
    assert report["all"] == REGISTERED
    assert report["after"] == pytest.approx([5.0**0.5], rel=1e-14)
