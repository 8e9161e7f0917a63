"""Sphinx configuration of the kelvora manual.

Build it with ./scripts/docs, or by hand against an installed kelvora:

    sphinx-build -W --keep-going -b html docs docs/_build/html
    sphinx-build -W --keep-going -b doctest docs docs/_build/doctest

The API pages are autodoc of the installed modules, and the example gallery
(sphinx-gallery, docs/gallery_support.py) runs every example of examples/.
"""

import ast
import doctest
import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS))  # gallery_support

import gallery_support  # noqa: E402
import kelvora_fspl  # noqa: E402

project = "kelvora"
author = "The kelvora developers"
copyright = "2026, The kelvora developers"
release = kelvora_fspl.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "gallery_header.rst", "Thumbs.db", ".DS_Store"]
templates_path: list[str] = []
html_static_path = ["_static"]
html_css_files = ["kelvora.css"]
html_theme = "alabaster"
html_theme_options = {
    "description": "Finite-source point-lens magnification",
    "page_width": "1100px",
    "sidebar_width": "240px",
    "fixed_sidebar": True,
}
html_title = f"kelvora {release}"
pygments_style = "sphinx"
# The README's figures stay where they are (docs/*.png); pages include them directly.

# -- autodoc and numpydoc --------------------------------------------------------------

autodoc_default_options = {"member-order": "bysource"}
autodoc_docstring_signature = True  # nanobind's functions: the signature is the docstring's first line
# The annotations (numpy.typing.ArrayLike expands to a union of a dozen types)
# are left out of the signatures: the Parameters sections give the types.
autodoc_typehints = "none"
python_maximum_signature_line_length = 90
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_validation_checks: set[str] = set()
numpydoc_xref_param_type = False


def _clean_signature(signature: str | None) -> str | None:
    """'(u: T, law: str = "uniform", *, k: bool = False, _private=None)'
    without its annotations and its private parameters: autodoc_typehints =
    "none" drops the annotations of the signatures autodoc takes from the
    objects, not of those it reads from docstrings (nanobind's first line)."""
    if not signature:
        return signature
    try:
        function = ast.parse(f"def f{signature}: pass").body[0]
    except SyntaxError:
        return signature
    assert isinstance(function, ast.FunctionDef)
    arguments = function.args
    kept = [(a, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults) if not a.arg.startswith("_")]
    arguments.kwonlyargs = [a for a, _ in kept]
    arguments.kw_defaults = [d for _, d in kept]
    while arguments.args and arguments.args[-1].arg.startswith("_") and arguments.defaults:
        arguments.args.pop()  # a trailing private parameter with a default
        arguments.defaults.pop()
    for argument in (*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs, arguments.vararg, arguments.kwarg):
        if argument is not None:
            argument.annotation = None
    function.returns = None
    return ast.unparse(function).removeprefix("def f").removesuffix(":\n    pass")


def _process_signature(app, what, name, obj, options, signature, return_annotation):  # type: ignore[no-untyped-def]
    if what in ("function", "method", "class"):
        return _clean_signature(signature), None
    return signature, return_annotation


# The docstrings write absolute values as |x|, which reST takes for a
# substitution reference ("|A/A_true - 1| <= tolerance", magnification's):
# such a pair of bars is escaped.  Bars reST does not read that way, such as
# ln|u - rho|, are left alone.
_ABSOLUTE_VALUE = re.compile(r"(?<![\w\\`])\|(\S(?:[^|`]*\S)?)\|(?![\w`])")


def _escape_absolute_values(app, what, name, obj, options, lines):  # type: ignore[no-untyped-def]
    lines[:] = [_ABSOLUTE_VALUE.sub(r"\\|\1\\|", line) for line in lines]


# -- doctest -------------------------------------------------------------------------

doctest_global_setup = f"""
_KELVORA_ROOT = {str(DOCS.parent)!r}  # the checkout, for the pages that read examples/data
import numpy as np
import kelvora
import kelvora_fspl
np.set_printoptions(precision=6, legacy=False)
"""
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1

# -- the example gallery ---------------------------------------------------------------

gallery_support.install_gallery_header()
sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": gallery_support.filename_pattern(),
    "ignore_pattern": gallery_support.ignore_pattern(),
    "reset_argv": "gallery_support.reset_argv",
    "reset_modules": ("matplotlib", "gallery_support.example_done"),
    "reset_modules_order": "both",
    "within_subsection_order": "gallery_support.ExampleOrder",
    "image_scrapers": ("matplotlib",),
    "capture_repr": (),
    "remove_config_comments": True,
    "download_all_examples": False,
    "show_memory": False,
    "min_reported_time": 0,
    "abort_on_example_error": False,
}


def setup(app):  # type: ignore[no-untyped-def]
    from sphinx.util import logging

    app.connect("autodoc-process-signature", _process_signature)
    app.connect("autodoc-process-docstring", _escape_absolute_values)
    log = logging.getLogger("kelvora.docs")
    for name in gallery_support.unknown_examples():
        log.info(f"examples/{name} is not in docs/gallery_support.py's EXAMPLES: left out of the gallery")
    for name in gallery_support.EXAMPLES:
        missing = gallery_support.missing_modules(name)
        if missing:
            log.info(f"examples/{name} needs {', '.join(missing)}: shown in the gallery, not run")
