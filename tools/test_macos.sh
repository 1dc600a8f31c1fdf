#!/usr/bin/env bash
# A build check for macOS 11 and later, x86-64 and arm64, with zig from PyPI:
# the core, the C++ tests and the module (on this machine's CPython headers,
# which are the same for macOS but for pyconfig.h) compile and link with
# warnings as errors, and the module leaves nothing undefined but the Python
# C API and libSystem (tools/check_macos_module.py). Nothing runs.
#   tools/test_macos.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
soabi=$(python3 -c 'import sys; print(f"cpython-{sys.version_info[0]}{sys.version_info[1]}-darwin")')
zig_lib=$(dirname "$(ls .venv/wheels/lib/python3*/site-packages/ziglang/zig | head -n 1)")/lib
modules=()
for arch in x86_64 aarch64; do
  zig=$(tools/zig_wrappers.sh "$arch-macos.11.0")
  out=build/macos/$arch
  echo "macOS 11 $arch: core, C++ tests and module with zig"
  # CMake asks for install_name_tool, which nothing here installs with.
  # GoogleTest's sources use FLT_MAX and DBL_MAX without <cfloat>, which
  # macOS's headers do not bring in by the way.
  CC="$zig/cc" CXX="$zig/c++" cmake -Wno-dev -S . -B "$out" -G Ninja -DCMAKE_SYSTEM_NAME=Darwin \
    -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=ON -DZORVANE_BUILD_BENCHMARKS=ON \
    -DZORVANE_WARNINGS_AS_ERRORS=ON -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DCMAKE_AR="$zig/ar" -DCMAKE_RANLIB="$zig/ranlib" -DCMAKE_INSTALL_NAME_TOOL=/bin/true \
    -DPython_INCLUDE_DIR="$include" -DPython_SOABI="$soabi" \
    "-DCMAKE_CXX_FLAGS=-DFLT_MAX=__FLT_MAX__ -DDBL_MAX=__DBL_MAX__" > /dev/null
  cmake --build "$out" > /dev/null
  file "$out/zorvane_core_tests" "$out/zorvane.$soabi.so" | sed 's/, flags:.*//'
  modules+=("$out/zorvane.$soabi.so")
done
python3 tools/check_macos_module.py "$(command -v llvm-nm-16 || command -v llvm-nm)" "$zig_lib/libc/darwin/libSystem.tbd" \
  "${modules[@]}"
