#!/usr/bin/env bash
# Builds the module from source (warnings as errors) for each CPython 3.X of
# MINORS found (on PATH as python3.X, or under pyenv) and runs the golden
# cases through it, printing "Python 3.X" before each. The whole Python suite
# runs on each version's wheel (tools/test_wheels.sh): what this adds is the
# source build, the one a user's `pip install` of the sdist does, with this
# machine's compiler on each version's headers. Fails when one fails or none
# is found.
#   tools/test_pythons.sh BUILD_ROOT REQUIREMENTS "MINORS"
set -euo pipefail
root=$(realpath -m "$1")
requirements=$(realpath "$2")
minors=$3
here=$(cd "$(dirname "$0")/.." && pwd)
series="$here/build/golden-series.txt"
source "$here/tools/find_python.sh"
[ -f "$series" ] || { echo "no $series (make golden-series)" >&2; exit 1; }

# One CPython: its environment (made again when the requirements change),
# the module built with it, and the golden cases.
run() {
  local minor=$1 python=$2 venv="$root/3.$1/venv"
  echo "Python 3.$minor ($("$python" -c 'import platform; print(platform.python_version())'), $python)"
  if [ ! -f "$venv/.ready" ] || [ "$requirements" -nt "$venv/.ready" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    touch "$venv/.ready"
  fi
  # A unity build, as the wheels' (each library's files compiled as one): 15
  # against 26 s of CPU a version here. What each version's headers can set
  # off (a warning, an error) shows all the same; a missing include, which
  # one file of a unity build can hide for the next, does not depend on the
  # version, and `make test` builds file by file.
  cmake -S "$here" -B "$root/3.$minor/module" -G Ninja -DZORVANE_WARNINGS_AS_ERRORS=ON -DCMAKE_UNITY_BUILD=ON \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  cmake --build "$root/3.$minor/module" >/dev/null
  echo "  $(c++ --version | head -n 1), NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
  export PYTHONPATH="$root/3.$minor/module"
  "$venv/bin/python" -c 'import sys, zorvane; assert zorvane.__file__.startswith(sys.argv[1]), zorvane.__file__' \
    "$PYTHONPATH"
  "$venv/bin/python" "$here/tools/golden_check.py" "$series" "$here/tests/golden/escanciano_lobato.txt"
}

source "$here/tools/parallel.sh"
tested=0
for minor in $minors; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "Python 3.$minor: not found, skipped"
    continue
  fi
  parallel_run "$root/3.$minor.log" "Python 3.$minor" run "$minor" "$python"
  tested=$((tested + 1))
done
parallel_wait
[ "$tested" -gt 0 ] || { echo "none of CPython 3.{${minors// /,}} found" >&2; exit 1; }
