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

# make_venv <pip requirement...>: create .venv (if needed) and install.
make_venv() {
    if [ ! -x "$VENV/bin/python" ] || ! is_py313 "$VENV/bin/python"; then
        local base
        base="$(find_python)"
        echo "==> creating $VENV with $base ($("$base" -c 'import sys; print(sys.version.split()[0])'))"
        rm -rf "$VENV"
        "$base" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
    if [ "$#" -gt 0 ]; then
        "$VENV/bin/python" -m pip install --quiet "$@"
    fi
    PY="$VENV/bin/python"
}

# install_kelvora: build and install the extension into .venv with pip.
install_kelvora() {
    echo "==> pip install . (scikit-build-core)"
    "$PY" -m pip install --quiet --force-reinstall --no-deps "$ROOT"
}
