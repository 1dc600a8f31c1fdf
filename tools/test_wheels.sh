#!/usr/bin/env bash
# Installs each x86-64 wheel in WHEEL_DIR into a fresh virtual environment of
# its CPython and runs the whole Python suite against the installed module
# (nothing of the build tree on the path), printing "wheel NAME" first.
#   tools/test_wheels.sh WHEEL_DIR REQUIREMENTS [pytest arguments...]
set -euo pipefail
wheels=$(realpath "$1")
requirements=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/find_python.sh"

tested=0
for wheel in "$wheels"/zorvane-*-cp3*-manylinux*x86_64*.whl; do
  [ -e "$wheel" ] || continue
  minor=$(basename "$wheel" | sed -E 's/.*-cp3([0-9]+)-.*/\1/')
  python=$(find_python "$minor")
  [ -n "$python" ] || { echo "no CPython 3.$minor for $(basename "$wheel")" >&2; exit 1; }
  echo "wheel $(basename "$wheel") on Python $("$python" -c 'import platform; print(platform.python_version())')"
  venv="$here/build/wheels/test-3.$minor"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" "$wheel"
  (cd "$here/tests/python" && env -u PYTHONPATH "$venv/bin/python" -c \
    'import zorvane, sys; assert "site-packages" in zorvane.__file__, zorvane.__file__' &&
    env -u PYTHONPATH "$venv/bin/python" -m pytest -p no:cacheprovider "$@")
  tested=$((tested + 1))
done
[ "$tested" -gt 0 ] || { echo "no x86-64 wheel in $wheels" >&2; exit 1; }
