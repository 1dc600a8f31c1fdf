#!/usr/bin/env bash
# Installs the Windows wheel in WHEEL_DIR of each CPython 3.X of MINORS into
# a fresh folder on the path of the official embeddable CPython 3.X (tools/
# windows_python.sh, with REQUIREMENTS' Windows wheels) and runs, under wine,
# the whole Python suite and the golden cases (tools/golden_check.py, on the
# inputs in build/golden-series.txt) against the installed module. Prints
# "wheel NAME on Windows CPython VERSION" first.
#   tools/test_windows_wheels.sh WHEEL_DIR REQUIREMENTS "MINORS" [pytest arguments...]
# With SUITE_MINORS set (empty: none), the whole suite runs on those of MINORS only and the
# others run the golden cases alone (as tools/test_arm64_wheels.sh does).
set -euo pipefail
wheels=$(realpath "$1")
requirements=$(realpath "$2")
minors=$3
shift 3
here=$(cd "$(dirname "$0")/.." && pwd)
series="$here/build/golden-series.txt"
[ -f "$series" ] || { echo "no $series (make golden-series)" >&2; exit 1; }

run() {
  local minor=$1 wheel root="$here/build/windows-python" installed
  shift
  wheel=$(ls "$wheels"/zorvane-*-cp3"$minor"-cp3"$minor"-win_amd64.whl)
  "$here/tools/windows_python.sh" "$root" "$minor" "$requirements" >/dev/null
  installed="$root/3.$minor/under-test"
  rm -rf "$installed"
  # pip installs it only where its tags fit the target CPython
  "$here/.venv/wheels/bin/python" -m pip install -q --disable-pip-version-check --no-deps --target "$installed" --platform win_amd64 \
    --python-version "3.$minor" --implementation cp --only-binary=:all: "$wheel" 2>&1 | { grep -v "^WARNING: " || true; }
  local python=("$root/3.$minor/run")
  export ZORVANE_WINDOWS_PATH="$installed"
  echo "wheel $(basename "$wheel") on Windows CPython $("${python[@]}" -c 'import platform; print(platform.python_version())')"
  cd "$here/tests/python" &&
    "${python[@]}" -c 'import zorvane; assert "under-test" in zorvane.__file__, zorvane.__file__' &&
    { [[ " ${SUITE_MINORS-$minor} " != *" $minor "* ]] || "${python[@]}" -m pytest -p no:cacheprovider "$@"; } &&
    "${python[@]}" "$here/tools/golden_check.py" "$series" "$here/tests/golden/escanciano_lobato.txt"
}

source "$here/tools/parallel.sh"
for minor in $minors; do
  parallel_run "$here/build/windows-python/3.$minor.log" "the Windows wheel of 3.$minor" run "$minor" "$@"
done
parallel_wait
