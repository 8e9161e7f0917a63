# Shared set-up for the project scripts (sourced, not run).
#
# Finds a CPython >= 3.13 (a PYTHON=... override wins), makes the project's
# own virtual environment in .venv and installs into it what the scripts
# need from PyPI.  Nothing outside the checkout is touched.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${KELVORA_VENV:-$ROOT/.venv}"
JOBS="${JOBS:-2}"

is_py313() {  # is_py313 <command...>: true if it runs a CPython >= 3.13
    "$@" -c 'import sys, platform; sys.exit(not (sys.version_info >= (3, 13) and platform.python_implementation() == "CPython"))' \
        >/dev/null 2>&1
}

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        if is_py313 "$PYTHON"; then echo "$PYTHON"; return 0; fi
        echo "PYTHON=$PYTHON is not a CPython >= 3.13" >&2
        return 1
    fi
    local candidate
    for candidate in python3.13 python3.14 python3.15 python3 python; do
        if command -v "$candidate" >/dev/null 2>&1 && is_py313 "$(command -v "$candidate")"; then
            command -v "$candidate"; return 0
        fi
    done
    # pyenv keeps several interpreters side by side; take the newest >= 3.13.
    local root=""
    if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root 2>/dev/null || true)"; fi
    [ -n "$root" ] || root="${PYENV_ROOT:-$HOME/.pyenv}"
    for candidate in $(ls -d "$root"/versions/3.* 2>/dev/null | sort -V -r); do
        case "$(basename "$candidate")" in *t) continue ;; esac  # free-threaded builds need their own wheel set-up
        if is_py313 "$candidate/bin/python3"; then echo "$candidate/bin/python3"; return 0; fi
    done
    echo "no CPython >= 3.13 found (looked at PYTHON, python3.13.., python3 on PATH and $root/versions); set PYTHON=/path/to/python3.13" >&2
    return 1
}

# make_venv <pip requirement...>: create the virtual environment (if needed)
# and install into it.
#
# On the default CPython everything must install.  On the test matrix's own
# interpreters (free-threaded, debug; scripts/pythons) only what the test
# command cannot do without must install (scikit-build-core, nanobind, pytest,
# numpy); the rest is taken from wheels where they exist and left out where
# they do not, and the tests that need it skip with the reason.  Pins keep a
# free-threaded 3.13 on the last releases with cp313t wheels.
REQUIRED_PACKAGES="scikit-build-core nanobind pytest numpy"
FREE_THREADED_PINS=("numpy<2.5" "hypothesis<6.136")

is_matrix_interpreter() {  # debug or free-threaded build
    "$1" -c 'import sys, sysconfig; sys.exit(not (hasattr(sys, "gettotalrefcount") or sysconfig.get_config_var("Py_GIL_DISABLED")))' \
        >/dev/null 2>&1
}

is_debug() {
    "$1" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))' >/dev/null 2>&1
}

# numpy for the debug interpreter, built from source once and kept beside the
# interpreter (scripts/pythons's cache): a release-built numpy's Py_INCREF and
# Py_DECREF do not reach the debug interpreter's reference total, which then
# drifts by the references numpy takes and drops, and the reference-leak hunt
# would measure numpy's bookkeeping instead of leaks.  (About eight minutes
# on two cores, the first time.)
install_debug_numpy() {
    local requirement="$1" wheels
    wheels="$(dirname "$(dirname "$(realpath "$("$PY" -c 'import sys; print(sys._base_executable)')")")")/wheels"
    if ! compgen -G "$wheels/numpy-*-cp313d-*.whl" >/dev/null; then
        echo "==> building numpy from source for the debug interpreter (once; kept in $wheels)"
        mkdir -p "$wheels"
        "$PY" -m pip wheel --quiet --no-binary numpy --no-deps -w "$wheels" "$requirement"
    fi
    "$PY" -m pip install --quiet --force-reinstall --no-deps --no-index --find-links "$wheels" "$requirement"
}

is_free_threaded() {
    "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' >/dev/null 2>&1
}

base_prefix() { "$1" -c 'import os, sys; print(os.path.realpath(sys.base_prefix))' 2>/dev/null; }

make_venv() {
    if [ ! -x "$VENV/bin/python" ] || ! is_py313 "$VENV/bin/python" ||
        { [ -n "${PYTHON:-}" ] && [ "$(base_prefix "$VENV/bin/python")" != "$(base_prefix "$PYTHON")" ]; }; then
        local base
        base="$(find_python)"
        echo "==> creating $VENV with $base ($("$base" -c 'import sys; print(sys.version.split()[0])'))"
        rm -rf "$VENV"
        "$base" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
    PY="$VENV/bin/python"
    [ "$#" -gt 0 ] || return 0
    if ! is_matrix_interpreter "$PY"; then
        "$PY" -m pip install --quiet "$@"
        return
    fi
    local requirement name pin
    for requirement in "$@"; do
        name="${requirement%%[<>=!~ ]*}"
        if is_free_threaded "$PY"; then
            for pin in "${FREE_THREADED_PINS[@]}"; do
                [ "${pin%%[<>=!~ ]*}" = "$name" ] && requirement="$requirement,${pin#"$name"}"
            done
        fi
        if [ "$name" = numpy ] && is_debug "$PY"; then
            install_debug_numpy "$requirement"
        elif [[ " $REQUIRED_PACKAGES " == *" $name "* ]]; then
            "$PY" -m pip install --quiet --only-binary=:all: "$requirement"
        elif ! "$PY" -m pip install --quiet --only-binary=:all: "$requirement" >/dev/null 2>&1; then
            echo "==> $requirement: no wheel for $("$PY" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)'); the tests that need it skip"
        fi
    done
}

# install_kelvora: build and install the extension into .venv with pip.  The
# build runs with the environment's own scikit-build-core, nanobind and numpy
# (make_venv installed them): an isolated build would fetch the newest numpy,
# which on the matrix's interpreters has no wheel and builds from source.
install_kelvora() {
    echo "==> pip install . (scikit-build-core)"
    "$PY" -m pip install --quiet --force-reinstall --no-deps --no-build-isolation "$ROOT"
}
