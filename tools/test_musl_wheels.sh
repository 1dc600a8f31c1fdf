#!/usr/bin/env bash
# Installs the x86-64 musllinux wheel in WHEEL_DIR of the musl CPython in
# MUSL_ROOT (tools/musl_python.sh) into TARGET and runs the whole Python
# suite and the golden cases (tools/golden_check.py, on the inputs in
# build/golden-series.txt) against the installed module, nothing of the build
# tree on the path. Prints "wheel NAME on Python VERSION (musl ...)" first.
# A free-threaded CPython runs the wheel of its ABI, without its lock; an
# aarch64 one (under qemu) the aarch64 wheel, with the suite told so.
#   tools/test_musl_wheels.sh WHEEL_DIR MUSL_ROOT TARGET [pytest arguments...]
# With GOLDEN_ONLY=1, the golden cases alone (as tools/test_arm64_wheels.sh
# runs the minors not in its SUITE_MINORS).
set -euo pipefail
wheels=$(realpath "$1")
python=$(realpath -m "$2")/python
target=$(realpath -m "$3")
shift 3
here=$(cd "$(dirname "$0")/.." && pwd)
series="$here/build/golden-series.txt"
[ -f "$series" ] || { echo "no $series (make golden-series)" >&2; exit 1; }
[ -x "$python" ] || { echo "no musl CPython at $python (make musl-python)" >&2; exit 1; }

minor=$("$python" -c 'import sys; print(sys.version_info[1])')
abi=$("$python" -c 'import sys, sysconfig; print(f"cp3{sys.version_info[1]}" + "t" * bool(sysconfig.get_config_var("Py_GIL_DISABLED")))')
machine=$("$python" -c 'import platform; print(platform.machine())')
wheel=$(ls "$wheels"/zorvane-*-cp3"$minor"-"$abi"-musllinux_1_2_"$machine".whl)
[ "$abi" = "cp3$minor" ] || export PYTHON_GIL=0
[ "$machine" = "$(uname -m)" ] || export ZORVANE_EMULATED=1
rm -rf "$target"
# pip under qemu is told the platform (tools/musl_python.sh)
platform=()
[ "$machine" = "$(uname -m)" ] || platform=(--platform "musllinux_1_2_$machine" --only-binary=:all:)
"$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-index --no-deps \
  "${platform[@]}" --target "$target" "$wheel"
# the interpreter's loader, musl's libc.so, tells its version when run
binary=$(readlink -f "$python")
[ "$(head -c 4 "$binary" | od -An -c | tr -d ' ')" = '177ELF' ] ||
  binary=$(find "$(dirname "$binary")/prefix/bin" -name 'python3.[0-9]*' ! -name '*-config' | sort | head -n 1)
loader=$(readelf -l "$binary" | sed -n 's/.*interpreter: \(.*\)]$/\1/p')
run_loader=("$loader")
[ "$machine" = "$(uname -m)" ] || run_loader=("qemu-$machine" "$loader")
echo "wheel $(basename "$wheel") on Python $("$python" -c 'import platform; print(platform.python_version())')" \
  "(musl $({ "${run_loader[@]}" 2>&1 || true; } | sed -n 's/^Version //p'))"
cd "$here/tests/python"
export PYTHONPATH="$target"
"$python" -c 'import sys, zorvane; assert zorvane.__file__.startswith(sys.argv[1]), zorvane.__file__' "$target"
[ "${GOLDEN_ONLY:-}" = 1 ] || "$python" -m pytest -p no:cacheprovider "$@"
"$python" "$here/tools/golden_check.py" "$series" "$here/tests/golden/escanciano_lobato.txt"
