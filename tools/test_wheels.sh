#!/usr/bin/env bash
# Installs the x86-64 wheel in WHEEL_DIR of each CPython 3.X of MINORS into a
# fresh virtual environment (under VENV_ROOT) of that CPython, and runs the
# whole Python suite and the golden cases (tools/golden_check.py, on the
# inputs in build/golden-series.txt) against the installed module, nothing of
# the build tree on the path. Prints "wheel NAME on Python VERSION" first.
#   tools/test_wheels.sh WHEEL_DIR REQUIREMENTS "MINORS" VENV_ROOT [pytest arguments...]
set -euo pipefail
wheels=$(realpath "$1")
requirements=$(realpath "$2")
minors=$3
venvs=$(realpath -m "$4")
shift 4
here=$(cd "$(dirname "$0")/.." && pwd)
series="$here/build/golden-series.txt"
source "$here/tools/find_python.sh"
[ -f "$series" ] || { echo "no $series (make golden-series)" >&2; exit 1; }

# One wheel: a fresh environment of the test requirements and the wheel,
# then the suite and the golden cases against the installed module.
run() {
  local minor=$1 wheel python venv began=$SECONDS
  shift
  wheel=$(ls "$wheels"/zorvane-*-cp3"${minor%t}"-cp3"$minor"-manylinux*x86_64*.whl)
  python=$(find_python "$minor")
  [ -n "$python" ] || { echo "no CPython 3.$minor for $(basename "$wheel")"; return 1; }
  echo "wheel $(basename "$wheel") on Python $("$python" -c 'import platform; print(platform.python_version())')" \
    "($(ldd --version | head -n 1 | sed 's/.* //') glibc)"
  venv="$venvs/3.$minor"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$here/tools/pip_install.sh" "$venv/bin/python" -r "$requirements" "$wheel"
  echo "environment ready in $((SECONDS - began)) s"
  cd "$here/tests/python" && env -u PYTHONPATH "$venv/bin/python" -c \
    'import zorvane, sys; assert "site-packages" in zorvane.__file__, zorvane.__file__' &&
    env -u PYTHONPATH "$venv/bin/python" -m pytest -p no:cacheprovider "$@" &&
    env -u PYTHONPATH "$venv/bin/python" "$here/tools/golden_check.py" "$series" "$here/tests/golden/escanciano_lobato.txt"
}

source "$here/tools/parallel.sh"
for minor in $minors; do
  parallel_run "$venvs/3.$minor.log" "the x86-64 wheel of 3.$minor" run "$minor" "$@"
done
parallel_wait
