#!/usr/bin/env bash
# Builds Linux wheels for x86-64 and aarch64 with zig from PyPI as the
# compiler (clang and libc++ against glibc 2.17's symbols), through pip's
# ordinary build of the package (scikit-build-core), one per CPython 3.X of
# MINORS found here (pyenv's, or python3.X on PATH). The wheels are raw:
# tools/repair_wheels.sh makes them manylinux2014.
#   tools/build_wheels.sh RAW_DIR "MINORS" [musl]
# With `musl`, the same against musl's C library (zig's), for musllinux_1_2:
# on this glibc machine's CPython and headers, which are what a musl CPython's
# headers are for what ours read (the module came out the same file byte for
# byte with those of a musl CPython 3.13 built from the source archive).
#
# The aarch64 build runs on this machine's CPython of the same version, with
# its headers: CPython's headers are the same on every Linux of 64-bit longs
# and pointers but for pyconfig.h, and what differs in aarch64's (wchar_t's
# sign, x86 assembly, features of the C library) no header of ours reads.
# Built with the pyconfig.h of Debian's arm64 CPython 3.11 instead, the
# module was the same file byte for byte, so the release builds them the same
# way. Where the headers are Debian's, whose pyconfig.h picks the
# architecture's own, that one comes from Debian's arm64 package.
#
# A free-threaded 3.Xt that is not here (the development suite has none) is
# built as the Windows ones are: on the CPython 3.X found here, with its
# headers and a pyconfig.h that defines Py_GIL_DISABLED before including
# theirs, which is all that tells the two builds' headers apart; the release
# runs these wheels on their own interpreters.
# zig comes from the environment .venv/wheels (tools/zig_wrappers.sh).
# WHEEL_ARCHES (default "x86_64 aarch64") narrows the architectures, and
# AARCH64_MINORS, where set, the minors of the aarch64 wheels.
set -euo pipefail
raw=$(realpath -m "$1")
minors=$2
libc=${3:-gnu}
here=$(cd "$(dirname "$0")/.." && pwd)
work="$here/build/wheels"
source "$here/tools/find_python.sh"
source "$here/tools/pyconfig.sh"
source "$here/tools/ccache.sh"
source "$here/tools/source_date.sh"

# Debian's pyconfig.h includes the architecture's own from
# /usr/include/ARCH-linux-gnu, where zig does not look: a folder that holds
# that one alone, for -idirafter. aarch64's comes from Debian's arm64 package.
debian_pyconfig() {
  local arch=$1 minor=$2 root="$work/pyconfig/$1/3.$2"
  if [ "$arch" = x86_64 ]; then
    mkdir -p "$root/x86_64-linux-gnu"
    ln -sfn "/usr/include/x86_64-linux-gnu/python3.$minor" "$root/x86_64-linux-gnu/python3.$minor"
  elif [ ! -d "$root/aarch64-linux-gnu" ]; then
    {
      dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
      apt-get update -qq
      rm -rf "$root" "$root.deb" && mkdir -p "$root.deb"
      (cd "$root.deb" && apt-get download -qq -o APT::Sandbox::User=root "libpython3.$minor-dev:arm64" && dpkg-deb -x ./*.deb .)
      mv "$root.deb/usr/include" "$root" && rm -rf "$root.deb"
    } >&2
  fi
  echo "$root"
}

# This machine's CMake or Ninja, the program itself: left to itself the build
# fetches them from PyPI, for the target's architecture when that is aarch64,
# and PyPI's launchers on PATH are scripts that need their own Python.
program() {
  local candidate
  for candidate in $(which -a "$1"); do
    if [ "$(head -c 4 "$candidate" | od -An -c | tr -d ' ')" = '177ELF' ]; then
      echo "$candidate"
      return
    fi
  done
  echo "no $1 program on PATH" >&2
  return 1
}

# INCLUDE as a free-threaded CPython's headers, in a folder under the build.
free_threaded_headers() {
  local include=$1 folder="$work/free-threaded/$2"
  if grep -q '^#define Py_GIL_DISABLED' "$include/pyconfig.h"; then
    echo "$include/pyconfig.h already defines Py_GIL_DISABLED" >&2
    return 1
  fi
  mkdir -p "$folder"
  printf '/* a free-threaded build of these headers */\n#define Py_GIL_DISABLED 1\n#include "%s/pyconfig.h"\n' \
    "$include" > "$folder/pyconfig.h.tmp"
  with_pyconfig "$include" "$folder/pyconfig.h.tmp" "$folder/include"
}

# build ARCH MINOR PYTHON [headers]: a wheel of CPython 3.MINOR built on
# PYTHON, which is that CPython, or with `headers`, the CPython 3.X whose
# headers make those of the free-threaded 3.MINOR.
build() {
  local arch=$1 minor=$2 python=$3 from_headers=${4:-} out bin="${wrappers[$1]}"
  out="$raw/$arch/3.$minor"
  [ "$libc" = gnu ] || out="$raw/$arch-$libc/3.$minor"
  # The module is stripped by its linker, not by a strip program that may
  # not know the target. A unity build (each library's files compiled as one,
  # but the kernels built for their own instruction sets) halves the compile
  # of every wheel; the results are the same bit for bit, as every wheel's
  # test checks.
  local cmake_args="-DCMAKE_AR=$bin/ar -DCMAKE_RANLIB=$bin/ranlib -DCMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all"
  cmake_args+=" -DCMAKE_UNITY_BUILD=ON$ccache_args"
  local -a env=()
  local include base=${minor%t}
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  if grep -q "$arch-linux-gnu/python" "$include/pyconfig.h"; then
    cmake_args+=" -DCMAKE_CXX_FLAGS=-idirafter$(debian_pyconfig "$arch" "$base")"
  fi
  [ -z "$from_headers" ] || include=$(free_threaded_headers "$include" "$arch/3.$minor")
  if [ "$arch" = aarch64 ] || [ -n "$from_headers" ] || [ "$libc" = musl ]; then
    local soabi="cpython-3$minor-$arch-linux-${libc}"
    cmake_args+=" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$arch"
    cmake_args+=" -DPython_INCLUDE_DIR=$include -DPython_SOABI=$soabi"
    env=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".$soabi.so")
  fi
  rm -rf "$out"
  echo "building the cp3$minor $arch wheel with zig (${targets[$arch]})"
  env "${env[@]}" CC="$bin/cc" CXX="$bin/c++" CMAKE_ARGS="$cmake_args" \
    CMAKE_EXECUTABLE="$cmake" CMAKE_MAKE_PROGRAM="$ninja" \
    "$python" -m pip wheel "$here" --no-deps --disable-pip-version-check -q -w "$out"
  if [ -n "$from_headers" ]; then
    local built
    built=$(ls "$out"/zorvane-*-cp3"$base"-cp3"$base"-*.whl)
    "$python" -m wheel tags --remove --abi-tag "cp3$minor" "$built" >/dev/null
  fi
  # the wheel is of the CPython asked for (a free-threaded build also installs python3.X)
  if ! ls "$out"/zorvane-*-cp3"${minor%t}"-cp3"$minor"-*.whl >/dev/null 2>&1; then
    echo "error: $python built $(ls "$out") for 3.$minor" >&2
    exit 1
  fi
}

cmake=$(program cmake)
ninja=$(program ninja)
declare -A wrappers targets
arches=${WHEEL_ARCHES:-x86_64 aarch64}
for arch in $arches; do
  targets[$arch]=$arch-linux-gnu.2.17
  [ "$libc" = gnu ] || targets[$arch]=$arch-linux-$libc
  wrappers[$arch]=$("$here/tools/zig_wrappers.sh" "${targets[$arch]}")
done
built=0
for minor in $minors; do
  python=$(find_python "$minor")
  from_headers=""
  if [ -z "$python" ] && [ "$minor" != "${minor%t}" ]; then
    # a free-threaded CPython that is not here: from the headers of its version's
    python=$(find_python "${minor%t}")
    from_headers=headers
  fi
  if [ -z "$python" ]; then
    echo "Python 3.$minor: not found, no wheel"
    continue
  fi
  # Debian's CPythons come without pip: build from an environment of theirs;
  # one for the free-threaded headers, where `wheel tags` gives the wheel its ABI's tag
  if [ -n "$from_headers" ] || ! "$python" -m pip --version >/dev/null 2>&1; then
    "$python" -m venv "$work/venv-3.$minor"
    python="$work/venv-3.$minor/bin/python"
    [ -z "$from_headers" ] || "$python" -m pip install -q --disable-pip-version-check wheel
  fi
  for arch in $arches; do
    [ "$arch" != aarch64 ] || [[ " ${AARCH64_MINORS-$minor} " == *" $minor "* ]] || continue
    build "$arch" "$minor" "$python" $from_headers
  done
  built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "none of CPython 3.{${minors// /,}} found" >&2; exit 1; }
