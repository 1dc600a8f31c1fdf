#!/usr/bin/env bash
# Builds the module for each CPython 3.X of MINORS found (on PATH as
# python3.X, or under pyenv) and runs the Python suite with each, printing
# "Python 3.X" before its run. Fails when one fails or none is found.
#   tools/test_pythons.sh BUILD_ROOT REQUIREMENTS "MINORS" [pytest arguments...]
set -euo pipefail
root=$(realpath -m "$1")
requirements=$(realpath "$2")
minors=$3
shift 3
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/find_python.sh"

# One CPython: its environment (made again when the requirements change),
# the module built with it, and the suite.
run() {
  local minor=$1 python=$2 venv="$root/3.$1/venv"
  shift 2
  echo "Python 3.$minor ($("$python" -c 'import platform; print(platform.python_version())'), $python)"
  if [ ! -f "$venv/.ready" ] || [ "$requirements" -nt "$venv/.ready" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    touch "$venv/.ready"
  fi
  cmake -S "$here" -B "$root/3.$minor/module" -G Ninja -DZORVANE_WARNINGS_AS_ERRORS=ON \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  cmake --build "$root/3.$minor/module" >/dev/null
  "$venv/bin/python" -c 'import numpy, pandas; print("  NumPy", numpy.__version__, "pandas", pandas.__version__)'
  cd "$here/tests/python" && PYTHONPATH="$root/3.$minor/module" "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
}

source "$here/tools/parallel.sh"
tested=0
for minor in $minors; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "Python 3.$minor: not found, skipped"
    continue
  fi
  parallel_run "$root/3.$minor.log" "Python 3.$minor" run "$minor" "$python" "$@"
  tested=$((tested + 1))
done
parallel_wait
[ "$tested" -gt 0 ] || { echo "none of CPython 3.{${minors// /,}} found" >&2; exit 1; }
