"""The distribution: an sdist that builds a working wheel in a fresh virtual
environment, with its metadata, licence and type information.

Slow (two builds and a fresh environment, about a minute); marked
``packaging`` so that ``-m "not packaging"`` can leave it out.
"""

import json
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from _support import KELVORA_NAMES, ROOT

pytestmark = pytest.mark.packaging


def run(cmd, **kwargs):
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=900, **kwargs)
    assert done.returncode == 0, f"{cmd}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def cmake_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return text.split("project(kelvora VERSION ", 1)[1].split()[0]


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)])
    [archive] = out.glob("kelvora-*.tar.gz")
    return archive


def test_sdist_holds_the_sources_and_nothing_built(sdist):
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    for needed in ["CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md", "src/lib/kelvora.pyi",
                   "src/lib/module.cpp", "numeric/elliptic.cpp", "numeric/tanh_sinh_nodes.hpp",
                   "fspl/binding/module.cpp", "fspl/core/magnification.cpp", "fspl/python/kelvora_fspl/_core.pyi",
                   "fspl/python/kelvora_fspl/__init__.py"]:
        assert needed in names, needed
    assert not any(name.startswith(("build/", ".venv")) or name.endswith(".so") for name in names)


def test_wheel_from_the_sdist_in_a_fresh_environment(sdist, tmp_path):
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    wheels = tmp_path / "wheels"
    # The build fetches its own build requirements (scikit-build-core,
    # nanobind, numpy) from PyPI, as wheels where an older release has one
    # (the newest numpy has none for a free-threaded 3.13).
    run([str(python), "-m", "pip", "wheel", "--prefer-binary", "--no-deps", "--wheel-dir", str(wheels), str(sdist)])
    [wheel] = wheels.glob("kelvora-*.whl")
    python_tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    # The ABI tag carries the interpreter's flags: "t" free-threaded, "d" debug.
    assert wheel.name.startswith(f"kelvora-{cmake_version()}-{python_tag}-{python_tag}{sys.abiflags}-")
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        metadata = zf.read(f"kelvora-{cmake_version()}.dist-info/METADATA").decode()
    assert {"kelvora.pyi", "kelvora-stubs/__init__.pyi", "kelvora_fspl/__init__.py", "kelvora_fspl/_core.pyi",
            "kelvora_fspl/py.typed", "kelvora_fspl/lightcurve.py", "kelvora_fspl/conventions.py"} <= names
    assert any(n.startswith("kelvora.cpython-313") and n.endswith(".so") for n in names)
    assert any(n.startswith("kelvora_fspl/_core.cpython-313") and n.endswith(".so") for n in names)
    assert "Requires-Dist: numpy>=2" in metadata
    assert f"kelvora-{cmake_version()}.dist-info/licenses/LICENSE" in names
    assert "License-Expression: MIT" in metadata
    assert "Requires-Python: >=3.13" in metadata

    # The wheel claims manylinux_2_34 (scripts/wheel repairs it to that tag): no
    # extension may need a glibc symbol version newer than 2.34 (hypot, for
    # one, gained a GLIBC_2.35 version).
    with zipfile.ZipFile(wheel) as zf:
        for name in (n for n in names if n.endswith(".so")):
            so = tmp_path / Path(name).name
            so.write_bytes(zf.read(name))
            needed = {tuple(int(p) for p in v.split(".")) for v in
                      re.findall(r"\(GLIBC_([0-9.]+)\)", run(["objdump", "-T", str(so)]))}
            assert needed and max(needed) <= (2, 34), (name, sorted(needed))

    # With numpy, kelvora_fspl's one dependency: the newest release that has a
    # wheel for this interpreter (on a free-threaded 3.13 the newest numpy
    # has none, and building it from source takes ten minutes).
    run([str(python), "-m", "pip", "install", "--prefer-binary", str(wheel)])
    probe = (
        "import importlib.metadata, json, kelvora\n"
        "print(json.dumps({'version': importlib.metadata.version('kelvora'),"
        " 'attributes': sorted(vars(kelvora)),"
        " 'value': kelvora.witt_mao_magnification([0.0], 1.0, 1.0)[0]}))\n"
    )
    report = json.loads(run([str(python), "-c", probe], cwd=tmp_path))
    # The second module of the distribution: the disk centred on the lens is
    # sqrt(rho^2 + 4)/rho.
    second = json.loads(run([str(python), "-c", "import json, kelvora_fspl; "
                             "print(json.dumps(float(kelvora_fspl.magnification(0.0, 1.0))))"], cwd=tmp_path))
    assert second == pytest.approx(5.0**0.5, rel=1e-15)
    assert report["version"] == cmake_version()
    assert report["value"] == pytest.approx(5.0**0.5, rel=1e-15)
    # Nothing is added to the module beyond its own attributes.
    assert report["attributes"] == sorted(
        ["__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"] + KELVORA_NAMES
    )
