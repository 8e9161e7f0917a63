"""The example gallery's configuration (sphinx-gallery), imported by conf.py.

sphinx-gallery runs every example of ``examples/`` inside the Sphinx process,
with ``__name__ == "__main__"``, in the example's own directory and with
``sys.argv`` from :func:`reset_argv`.  ``EXAMPLES`` says, for each example,
the arguments of its documentation run (the quick, smoke-test mode where it
has one; the figure to a temporary directory, never over the committed
``docs/*.png``) and the modules it needs: an example whose modules are
missing is shown with its code but not run.  An example not in the table is
left out of the gallery until it is added here.

The functions and classes are named in conf.py's ``sphinx_gallery_conf`` as
strings ("gallery_support.reset_argv"), so that Sphinx can pickle the
configuration.
"""

import atexit
import pkgutil
import re
import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

DOCS = Path(__file__).resolve().parent
EXAMPLES_DIR = DOCS.parent / "examples"
HEADER = DOCS / "gallery_header.rst"

# The figures the examples write: a directory of the build's own, removed when
# the build ends (the gallery shows the figures it scrapes from matplotlib).
FIGURES = Path(tempfile.mkdtemp(prefix="kelvora-docs-figures-"))
atexit.register(shutil.rmtree, FIGURES, ignore_errors=True)


@dataclass(frozen=True)
class Example:
    arguments: tuple[str, ...]
    needs: tuple[str, ...]  # top-level modules; without one, the example is shown but not run


# In the order of the gallery.  parallel_light_curves.py starts its workers
# with fork here: sphinx-gallery's __main__ is a module without a file, which
# spawned workers cannot import to find the task function (run on its own, the
# example spawns them).  fit_survey.py comes last: its dask cluster leaves
# threads behind in the process.
EXAMPLES = {
    "demo.py": Example(("--output", str(FIGURES / "light_curve.png")), ("matplotlib",)),
    "fit_moa_2008_blg_310.py": Example(("--figure", str(FIGURES / "moa_2008_blg_310.png")),
                                       ("scipy", "matplotlib")),
    "fit_ogle_2005_blg_086.py": Example(("--figure", str(FIGURES / "ogle_2005_blg_086.png")),
                                        ("scipy", "erfa", "matplotlib")),
    "fit_event.py": Example(("--quick",), ("scipy",)),
    "fit_rho.py": Example(("--quick",), ("scipy",)),
    "limb_darkening.py": Example(("--quick",), ("mpmath",)),
    "parallel_light_curves.py": Example(("--quick", "--start-method", "fork"), ("mpmath",)),
    "sample_moa_2008_blg_310.py": Example(("--quick",), ("jax", "numpyro", "scipy")),
    "fit_survey.py": Example(("--quick",), ("dask", "distributed", "scipy")),
}


def missing_modules(name: str) -> list[str]:
    """The modules an example needs that are not installed (looked up, not
    imported: fit_survey.py configures dask's logging before it imports it)."""
    installed = {module.name for module in pkgutil.iter_modules()}
    return [m for m in EXAMPLES[name].needs if m not in installed]


def unknown_examples() -> list[str]:
    """Examples in examples/ that the table does not know."""
    return sorted(p.name for p in EXAMPLES_DIR.glob("*.py") if p.name not in EXAMPLES)


def _names(names: list[str]) -> str:
    """A pattern matching paths that end in one of these file names."""
    return r"(?:^|[/\\])(?:" + "|".join(re.escape(name) for name in names) + ")$"


def filename_pattern() -> str:
    """The examples to run: every known one whose modules are installed."""
    runnable = [name for name in EXAMPLES if not missing_modules(name)]
    if not runnable:
        return r"^$"
    return _names(runnable)


def ignore_pattern() -> str:
    """What the gallery leaves out: examples not in the table, __init__.py."""
    return _names(["__init__.py", *unknown_examples()])


_running: list[str] = []


def reset_argv(gallery_conf: dict, script_vars: dict) -> list[str]:
    """sys.argv[1:] of the example sphinx-gallery is about to run."""
    name = Path(script_vars["src_file"]).name
    _running[:] = [name]
    return list(EXAMPLES[name].arguments)


def example_done(gallery_conf: dict, fname: str | None, when: str) -> None:
    """reset_modules hook: notes that the example came back to sphinx-gallery."""
    if when == "after":
        _running.clear()


@atexit.register
def _report_exit() -> None:
    # An example that calls sys.exit (SystemExit passes sphinx-gallery's error
    # handling) ends the whole build; say which one it was.
    if _running:
        name = _running[0]
        print(f"\nthe docs build ended inside examples/{name} (sys.exit in the example); run it alone to see why: "
              f"python examples/{name} {' '.join(EXAMPLES[name].arguments)}", file=sys.stderr)


class ExampleOrder:
    """within_subsection_order: the order of EXAMPLES, then the rest by name."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        names = list(EXAMPLES)
        return (names.index(filename) if filename in names else len(names), filename)


def install_gallery_header() -> None:
    """Give examples/ the gallery header docs/gallery_header.rst.

    sphinx-gallery reads a gallery's introduction from GALLERY_HEADER.rst in
    the examples directory itself; examples/ holds only the examples and their
    data, so the header lives here and sphinx-gallery's lookup is pointed at
    it (a GALLERY_HEADER.rst or README.rst in examples/ wins, if one is ever
    added).
    """
    from sphinx_gallery import gen_rst

    lookup = getattr(gen_rst, "_get_gallery_header", None)
    if lookup is None:
        raise RuntimeError("this sphinx-gallery has no gen_rst._get_gallery_header: docs/gallery_support.py "
                           "needs updating for it (or add examples/GALLERY_HEADER.rst)")
    if getattr(lookup, "kelvora_header", False):
        return

    def header(dir_, gallery_conf, raise_error=True):  # type: ignore[no-untyped-def]
        found = lookup(dir_, gallery_conf, raise_error=False)
        if found is not None:
            return found
        if Path(dir_).resolve() == EXAMPLES_DIR.resolve():
            return str(HEADER)
        return lookup(dir_, gallery_conf, raise_error)

    header.kelvora_header = True  # type: ignore[attr-defined]
    gen_rst._get_gallery_header = header
