#!/usr/bin/env bash
# Installs the aarch64 wheel in WHEEL_DIR of each CPython 3.X of MINORS for
# Debian's arm64 CPython in ROOTS/3.X (tools/arm64_python.sh) and runs the
# whole Python suite and the golden cases (tools/golden_check.py, on the
# inputs in build/golden-series.txt) against the installed module under
# qemu, nothing of the build tree on the path. Prints "wheel NAME on Debian's
# arm64 Python VERSION" first.
#   tools/test_arm64_wheels.sh WHEEL_DIR ROOTS "MINORS" TARGET_ROOT [pytest arguments...]
# With SUITE_MINORS set (empty: none), the whole suite runs on those of MINORS only, and
# the others run the golden cases alone: under emulation a suite keeps a core
# busy for five minutes, and what differs between versions is the
# interpreter, whose C API the native suites of every version cover. The
# answers against exact arithmetic (test_exact_answers.py, thinned under
# emulation) run on the last of MINORS whatever SUITE_MINORS says: a compiler
# that fused a multiply and an add on this target would change exactly them.
set -euo pipefail
wheels=$(realpath "$1")
roots=$(realpath "$2")
minors=$3
targets=$(realpath -m "$4")
shift 4
here=$(cd "$(dirname "$0")/.." && pwd)
series="$here/build/golden-series.txt"
[ -f "$series" ] || { echo "no $series (make golden-series)" >&2; exit 1; }

# One wheel: install it, then the suite and the golden cases under qemu.
run() {
  local minor=$1 wheel python target
  shift
  wheel=$(ls "$wheels"/zorvane-*-cp3"$minor"-cp3"$minor"-manylinux*aarch64*.whl)
  python="$roots/3.$minor/python"
  [ -x "$python" ] || { echo "no arm64 CPython 3.$minor in $roots for $(basename "$wheel")"; return 1; }
  target="$targets/3.$minor"
  rm -rf "$target"
  python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps --target "$target" \
    --only-binary=:all: --platform manylinux2014_aarch64 --python-version "3.$minor" "$wheel"
  echo "wheel $(basename "$wheel") on Debian's arm64 Python $("$python" -c \
    'import platform; print(platform.python_version(), "(" + platform.libc_ver()[1], "glibc, qemu)")')"
  cd "$here/tests/python" && export PYTHONPATH="$target" ZORVANE_EMULATED=1 &&
    "$python" -c 'import sys, zorvane; assert zorvane.__file__.startswith(sys.argv[1]), zorvane.__file__' \
      "$target" &&
    if [[ " ${SUITE_MINORS-$minor} " == *" $minor "* ]]; then
      "$python" -m pytest -p no:cacheprovider "$@"
    elif [ "$minor" = "$last_minor" ]; then
      "$python" -m pytest -p no:cacheprovider "$@" test_exact_answers.py
    fi &&
    "$python" "$here/tools/golden_check.py" "$series" "$here/tests/golden/escanciano_lobato.txt"
}
last_minor=${minors##* }

# Each emulated suite keeps one core busy for minutes.
source "$here/tools/parallel.sh"
for minor in $minors; do
  parallel_run "$targets/3.$minor.log" "the aarch64 wheel of 3.$minor" run "$minor" "$@"
done
parallel_wait
