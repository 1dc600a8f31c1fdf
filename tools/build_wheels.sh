#!/usr/bin/env bash
# Builds manylinux2014 (glibc 2.17) x86-64 wheels for every CPython 3.9 to
# 3.13 found (pyenv's, or python3.X on PATH) with zig from PyPI as the
# compiler, through pip's ordinary build of the package (scikit-build-core),
# then repairs each with auditwheel and checks it (tools/check_wheel.py).
#   tools/build_wheels.sh OUT_DIR
set -euo pipefail
out=$(realpath -m "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
work="$here/build/wheels"
source "$here/tools/find_python.sh"

# The tools, pinned, in their own environment under build/.
tools="$work/tools"
if [ ! -f "$tools/.ready" ] || [ "$here/requirements/wheels.txt" -nt "$tools/.ready" ]; then
  rm -rf "$tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check -r "$here/requirements/wheels.txt"
  touch "$tools/.ready"
fi
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# Compiler wrappers that call the zig binary itself: pip's isolated build
# environment has no ziglang module to run with `python -m ziglang`.
target=x86_64-linux-gnu.2.17
mkdir -p "$work/bin"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" > "$work/bin/zig-$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$work/bin/zig-$tool"
done
chmod +x "$work/bin"/zig-*

mkdir -p "$out"
built=0
for minor in 9 10 11 12 13; do
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    echo "Python 3.$minor: not found, no wheel"
    continue
  fi
  raw="$work/raw/3.$minor"
  rm -rf "$raw"
  echo "building the cp3$minor wheel with zig ($target)"
  CC="$work/bin/zig-cc" CXX="$work/bin/zig-c++" \
    CMAKE_ARGS="-DCMAKE_AR=$work/bin/zig-ar -DCMAKE_RANLIB=$work/bin/zig-ranlib" \
    "$python" -m pip wheel "$here" --no-deps --disable-pip-version-check -q -w "$raw"
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux2014_x86_64 -w "$out" "$raw"/*.whl 2>&1 | grep -v "^INFO"
  built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "no CPython 3.9 to 3.13 found" >&2; exit 1; }
"$tools/bin/python" "$here/tools/check_wheel.py" "$out"/zorvane-*-manylinux*_x86_64*.whl
