#!/usr/bin/env bash
# The C++ tests, golden file included, under other compilers and C libraries
# than this machine's GCC 12 and glibc 2.36:
#   - GCC 16 on glibc 2.43, built and run in the development suite (SID_ROOT);
#   - zig's clang with libc++, built here for glibc 2.17 as the wheels are,
#     run here, in the development suite and on Debian 11's glibc 2.31
#     (OLD_ROOT).
# Each run's table of 200,000 p-values (zorvane_golden --pvalues) must equal
# this machine's GCC build's (BUILD_DIR) bit for bit.
#   tools/test_glibc.sh BUILD_DIR SID_ROOT OLD_ROOT
set -euo pipefail
build=$1 sid=$2 old=$3
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
out=build/glibc
mkdir -p "$out"
in_root() { local root=$1; shift; tools/debian_chroot.sh run "$root" "$@"; }
glibc() { "$@" ldd --version | head -n 1 | sed 's/.* //'; }

"$build/zorvane_golden" --pvalues > "$out/pvalues-here.txt"

# GCC 16 in the development suite, with its own GoogleTest
in_root "$sid" sh -c "cmake -S . -B $out/gcc16 -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF \
  -DZORVANE_WARNINGS_AS_ERRORS=ON > /dev/null && cmake --build $out/gcc16 > /dev/null"

# zig: clang and libc++, for glibc 2.17
zig=$(tools/zig_wrappers.sh x86_64-linux-gnu.2.17)
CC="$zig/cc" CXX="$zig/c++" cmake -S . -B "$out/zig" -G Ninja -DZORVANE_BUILD_TESTS=ON -DZORVANE_BUILD_MODULE=OFF \
  -DZORVANE_WARNINGS_AS_ERRORS=ON -DZORVANE_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DCMAKE_AR="$zig/ar" -DCMAKE_RANLIB="$zig/ranlib" > /dev/null
cmake --build "$out/zig" > /dev/null

run() {
  local label=$1 folder=$2
  shift 2
  echo "C++ tests: $label, glibc $(glibc "$@")"
  "$@" "$folder/zorvane_core_tests" --gtest_brief=1
  "$@" "$folder/zorvane_golden" --pvalues > "$folder/pvalues.txt"
  python3 tools/compare_pvalues.py "$out/pvalues-here.txt" "$folder/pvalues.txt"
}
run "GCC 16" "$out/gcc16" in_root "$sid"
run "zig clang, libc++" "$out/zig" env
run "zig clang, libc++" "$out/zig" in_root "$sid"
run "zig clang, libc++" "$out/zig" in_root "$old"
