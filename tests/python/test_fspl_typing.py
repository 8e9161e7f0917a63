"""The kelvora_fspl stub agrees with the module: stubtest for the module's
attributes, the magnification signature compared with nanobind's own (which
stubtest cannot read), and a set of accepted and refused calls under mypy
--strict."""

import ast
import importlib.util
from pathlib import Path

import pytest

# Their work is done in child processes (mypy, the examples): under --refleaks
# they run once.
pytestmark = pytest.mark.no_refleak_repeat("work done in child processes")

pytest.importorskip("mypy")

import kelvora_fspl  # noqa: E402
from _support import ROOT, run_python_module  # noqa: E402

STUB = ROOT / "fspl" / "python" / "kelvora_fspl" / "_core.pyi"


def test_stub_matches_the_module():
    # stubtest also fails on an allowlist entry that hides nothing.
    # The extension against its stub (the package's Python modules carry
    # their own types, which mypy --strict checks below).
    done = run_python_module("mypy.stubtest", "kelvora_fspl._core", "--allowlist",
                             "tests/typing/stubtest_allowlist_fspl.txt")
    assert done.returncode == 0, done.stdout + done.stderr


def test_usage_type_checks_strictly():
    done = run_python_module("mypy", "--strict", "--no-incremental", str(ROOT / "tests/typing/usage_fspl.py"))
    assert done.returncode == 0, done.stdout + done.stderr


# -- the signature ------------------------------------------------------------------------------------


def stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


def stub_imports(tree):
    """Local name -> dotted name, from the stub's import statements."""
    names = {}
    for node in tree.body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                names[alias.asname or alias.name] = alias.name
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                names[alias.asname or alias.name] = f"{node.module}.{alias.name}"
    return names


class Qualify(ast.NodeTransformer):
    """Write every name of an annotation out in full (Sequence -> collections.abc.Sequence)."""

    def __init__(self, names):
        self.names = names

    def visit_Name(self, node):
        full = self.names.get(node.id)
        if full is None:
            return node
        return ast.parse(full, mode="eval").body


def signature(function, names=None):
    """(name, kind, default, annotation) of each parameter, and the return annotation."""
    def annotation(node):
        if node is None:
            return None
        if names:
            node = Qualify(names).visit(ast.parse(ast.unparse(node), mode="eval")).body
        return ast.unparse(node)

    args = function.args
    params = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for kind, group in (("positional-only", args.posonlyargs), ("positional-or-keyword", args.args)):
        for arg in group:
            default = defaults[positional.index(arg)]
            value = ast.literal_eval(default) if default else "<none>"
            params.append((arg.arg, kind, value, annotation(arg.annotation)))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append((arg.arg, "keyword-only", ast.literal_eval(default) if default else "<none>",
                       annotation(arg.annotation)))
    assert args.vararg is None and args.kwarg is None
    return params, annotation(function.returns)


def stub_function(name):
    """The stub's signature of a function, from its overloads: one for
    arguments of shape () (a float64 scalar result), one for arrays, with the
    same parameters but for the scalar one's annotations; the return is the
    union of theirs, as the module's own signature gives it."""
    tree = stub_tree()
    names = stub_imports(tree)
    overloads = [signature(n, names) for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name]
    scalar, general = overloads
    assert [p[:3] for p in scalar[0]] == [p[:3] for p in general[0]]
    return general[0], f"{general[1]} | {scalar[1]}".replace(
        "tuple[numpy.typing.NDArray[numpy.float64], ...] | tuple[numpy.float64, ...]",
        "tuple[numpy.typing.NDArray[numpy.float64] | numpy.float64, ...]")


def runtime_function(func):
    """The signature nanobind shows: the first line of the docstring."""
    first = func.__doc__.splitlines()[0]
    assert first.startswith(func.__name__ + "("), first
    [function] = ast.parse(f"def {first}: ...").body
    return signature(function)


def test_magnification_signature_matches_the_stub():
    stub = stub_function("magnification")
    runtime = runtime_function(kelvora_fspl.magnification)
    assert [p[:3] for p in stub[0]] == [p[:3] for p in runtime[0]]
    assert [p[0] for p in runtime[0]] == ["u", "rho", "law", "coefficients", "tolerance"]
    assert [p[2] for p in runtime[0]] == ["<none>", "<none>", "uniform", (), 1e-9]
    assert runtime[0][-1][1] == "keyword-only"
    # The annotations too, once the stub's imported names are written out.
    assert stub == runtime


def test_gradient_signature_matches_the_stub():
    stub = stub_function("magnification_and_gradient")
    runtime = runtime_function(kelvora_fspl.magnification_and_gradient)
    assert [p[0] for p in runtime[0]] == ["u", "rho", "law", "coefficients", "coefficients_gradient", "tolerance"]
    assert runtime[0][-2][1:3] == ("keyword-only", False)
    assert runtime[0][-1][1:3] == ("keyword-only", 1e-9)
    assert stub == runtime


def test_the_nanobind_signature_is_the_docstring_line():
    [(text, _doc, _defaults)] = kelvora_fspl.magnification.__nb_signature__
    assert text == "def " + kelvora_fspl.magnification.__doc__.splitlines()[0]


def test_the_runtime_defaults_are_the_stub_defaults():
    u = [0.0, 0.05, 0.5]
    assert (kelvora_fspl.magnification(u, 0.1) == kelvora_fspl.magnification(u, 0.1, "uniform", ())).all()


def test_stub_attributes():
    tree = stub_tree()
    annotated = {n.target.id: ast.unparse(n.annotation) for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert annotated["__version__"] == "Final[str]"
    assert annotated["LAWS"] == f"Final[tuple[{', '.join(['str'] * len(kelvora_fspl.LAWS))}]]"
    public = {n for n in dir(kelvora_fspl._core) if not n.startswith("_")}
    stubbed = set(annotated) | {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert public <= stubbed, public - stubbed


def test_the_installed_stubs_are_the_source_stub():
    origin = Path(importlib.util.find_spec("kelvora_fspl").origin).parent
    installed = [origin / "_core.pyi"]
    present = [p for p in installed if p.exists()]
    if not present:
        pytest.skip("kelvora_fspl is not installed with its stubs (an in-tree build)")
    for path in present:
        assert path.read_text() == STUB.read_text(), path
