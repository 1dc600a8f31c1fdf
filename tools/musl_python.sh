#!/usr/bin/env bash
# A CPython built against musl from the source archive beside the project, to
# run the musllinux wheels on this glibc machine, with the test requirements
# installed.
#
#   tools/musl_python.sh ARCHIVE ROOT REQUIREMENTS [--disable-gil] [--aarch64]
#     builds ROOT/prefix once (x86-64) and installs REQUIREMENTS into it;
#     ROOT/python runs it. With --aarch64, an aarch64 one, cross-built by zig
#     (for aarch64-linux-musl, linked to the C library dynamically), that
#     ROOT/python runs under qemu-user. With --disable-gil, a free-threaded one: its
#     requirements are then resolved by FT_PYTHON's pip (a free-threaded
#     CPython of the same version on this machine, tools/freethreaded_python.sh):
#     this machine's pip would take a wheel of the stable ABI for one, which
#     a free-threaded CPython cannot load.
#
# Debian's musl-gcc compiles it, with zlib and libffi (for ctypes, which the
# suite's fixtures use) built for musl from Debian's source packages, fetched
# through a private APT_CONFIG whose sources are this machine's mirror with
# `Types: deb-src`. It runs on Debian 13's musl 1.2.5, unpacked under ROOT and
# named the interpreter's loader: NumPy's and pandas' musllinux wheels need
# musl 1.2.4 or newer (their bundled libraries use DT_RELR relocations) and
# Debian 12 has 1.2.3. This CPython has no ssl, so pip on this machine
# fetches the requirements' musllinux wheels and the musl CPython installs
# them from that folder.
# Compiled -O1 without debug information, as tools/freethreaded_python.sh
# explains.
# The Debian packages the build needs are the Makefile's MUSL_BUILD_DEPS.
set -euo pipefail
archive=$1 root=$(realpath -m "$2") requirements=$(realpath "$3")
shift 3
free_threaded="" arch=x86_64 debian_arch=amd64
for option; do
  case "$option" in
    --disable-gil) free_threaded=t ;;
    --aarch64) arch=aarch64 debian_arch=arm64 ;;
    *) echo "unknown option $option" >&2; exit 1 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/find_python.sh"
# Built once per machine, as tools/freethreaded_python.sh builds its: into a
# folder of the build cache named by what makes it (the archive's checksum,
# the options, this script, the requirements, zig's pin and Debian's musl),
# which ROOT links to; with ZORVANE_BUILD_CACHE=none, or where ROOT is a
# folder already, in ROOT.
store=${ZORVANE_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorvane}
if [ "$store" != none ] && { [ ! -e "$root" ] || [ -L "$root" ]; }; then
  key=$({ grep " $(basename "$archive")\$" "$(dirname "$archive")/SHA256SUMS"; printf '%s\n' "$@";
    dpkg-query -W musl-dev 2>/dev/null || true; cat "$0" "$requirements" "$here/requirements/wheels.txt"; } |
    sha256sum | cut -c1-16)
  kept=$store/cpython/$(basename "$root")-$key
  mkdir -p "$kept" "$(dirname "$root")"
  (flock 8 && ln -sfn "$kept" "$root") 8>"$store/cpython/.lock"
  root=$kept
fi
# One build of ROOT at a time: CI's two streams may both ask for it.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
[ -x "$root/python" ] && cmp -s "$requirements" "$root/requirements.txt" && exit 0
(cd "$(dirname "$archive")" && grep " $(basename "$archive")\$" SHA256SUMS | sha256sum -c --quiet -) || {
  echo "error: $archive does not match its checksum in SHA256SUMS beside it" >&2; exit 1; }

# apt-get on sources of our own: ROOT/apt, this machine's keys.
apt_get() {
  APT_CONFIG="$root/apt/apt.conf" apt-get -qq -o APT::Sandbox::User=root "$@"
}
debian_sources() {
  local mirror
  mirror=$("$here/tools/debian_chroot.sh" mirror)
  rm -rf "$root/apt" && mkdir -p "$root/apt/sources.list.d" "$root/apt/state/lists/partial" \
    "$root/apt/cache/archives/partial"
  cat > "$root/apt/apt.conf" <<EOF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$root/apt/sources.list.d";
Dir::State "$root/apt/state";
Dir::Cache "$root/apt/cache";
APT::Architectures { "$(dpkg --print-architecture)"; "$debian_arch"; };
EOF
  cat > "$root/apt/sources.list.d/debian.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: bookworm
Components: main

Types: deb
URIs: $mirror
Suites: trixie
Components: main
EOF
  apt_get update
}

# A source package's upstream tree, in FOLDER.
debian_source() {
  local package=$1 folder=$2
  mkdir -p "$root.tmp/apt-source" && (cd "$root.tmp/apt-source" && apt_get source --download-only "$package")
  mkdir -p "$folder"
  tar -xf "$(ls "$root.tmp/apt-source/${package}"_*.orig.tar.* | head -n 1)" -C "$folder" --strip-components=1
}

if [ ! -f "$root/prefix/.built" ]; then
  began=$SECONDS
  rm -rf "$root.tmp" "$root/prefix" "$root/musl" && mkdir -p "$root.tmp"
  debian_sources
  deps="$root.tmp/deps" log="$root.tmp/build.log"
  # musl 1.2.5, whose libc.so is also its loader
  (cd "$root.tmp" && apt_get download "musl:$debian_arch" && dpkg-deb -x musl_*.deb "$root/musl")
  loader="$root/musl/usr/lib/$arch-linux-musl/libc.so"
  [ -x "$loader" ] || { echo "no musl loader at $loader" >&2; exit 1; }
  tools=() cross=()
  if [ "$arch" = x86_64 ]; then
    # musl-gcc hides /usr/include: the kernel's headers alone, for -idirafter
    mkdir -p "$root.tmp/kernel"
    ln -s /usr/include/linux /usr/include/asm-generic "$root.tmp/kernel/"
    ln -s "/usr/include/$arch-linux-gnu/asm" "$root.tmp/kernel/asm"
    compile="musl-gcc -idirafter $root.tmp/kernel"
  else
    # zig's musl headers come with the kernel's; clang warns of the build's
    # date that the interpreter records
    zig=$("$here/tools/zig_wrappers.sh" "$arch-linux-musl")
    compile="$zig/cc -dynamic -Wno-date-time"
    tools=(AR="$zig/ar" RANLIB="$zig/ranlib")
    # What configure cannot learn by running a program of the target: the
    # pseudo-terminal devices and getaddrinfo (musl's is sound). Without
    # __DEFINED_va_list the preprocessor run that names the platform's
    # triplet stops at zig's stdarg.h, and names none.
    minor=$(tar -xJOf "$archive" --wildcards '*/Include/patchlevel.h' |
      sed -n 's/^#define PY_MINOR_VERSION[[:space:]]*\([0-9]*\).*/\1/p')
    build_python=$(find_python "$minor")
    [ -n "$build_python" ] || { echo "no CPython 3.$minor here to cross-build with" >&2; exit 1; }
    cross=(--host="$arch-linux-musl" --build="$(uname -m)-pc-linux-gnu" --with-build-python="$build_python"
      --without-ensurepip "CPP=$root.tmp/cc -E -D__DEFINED_va_list" ac_cv_file__dev_ptmx=yes
      ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
  fi
  # CPython's configure asks the compiler for its platform triplet
  cat > "$root.tmp/cc" <<EOF
#!/bin/sh
[ "\$1" = --print-multiarch ] && { echo $arch-linux-musl; exit 0; }
exec $compile "\$@"
EOF
  chmod +x "$root.tmp/cc"
  echo "building zlib and libffi for musl ($arch) from Debian's sources"
  debian_source zlib "$root.tmp/zlib"
  (cd "$root.tmp/zlib" && env CC="$root.tmp/cc" CFLAGS="-O2 -fPIC" "${tools[@]}" ./configure --static --prefix="$deps" &&
    make -s -j"$(nproc)" install) >"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  debian_source libffi "$root.tmp/libffi"
  # libffi's static trampolines (code mapped from a file at run time) crash
  # ctypes' callbacks under qemu
  (cd "$root.tmp/libffi" && env CC="$root.tmp/cc" "${tools[@]}" ./configure -q --prefix="$deps" --libdir="$deps/lib" \
    ${cross:+--host="$arch-linux-musl" --disable-exec-static-tramp} \
    --disable-shared --enable-static --with-pic --disable-docs && make -s -j"$(nproc)" install) \
    >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  echo "configuring a musl CPython ($arch) from $(basename "$archive")"
  mkdir -p "$root.tmp/src" && tar -xJf "$archive" -C "$root.tmp/src" --strip-components=1
  (cd "$root.tmp/src" && PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH="" ./configure -q \
    --prefix="$root/prefix" ${free_threaded:+--disable-gil} CC="$root.tmp/cc" CPPFLAGS="-I$deps/include" \
    OPT=-O1 \
    "${tools[@]}" "${cross[@]}" \
    LDFLAGS="-L$deps/lib -Wl,--dynamic-linker=$loader" >>"$log" 2>&1) || { tail -40 "$log"; exit 1; }
  make -C "$root.tmp/src" -s -j"$(nproc)" >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  # the standard library's top level compiled ahead only, as in tools/freethreaded_python.sh
  make -C "$root.tmp/src" -s altinstall COMPILEALL_OPTS="-j0 -l" >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  # The rest of it too, as tools/freethreaded_python.sh explains; the
  # emulated one's by the build's CPython (the aarch64 one, NumPy, pandas,
  # pytest and Hypothesis imported under qemu: 5.2 s of CPU without, 4.4 s with).
  "$here/tools/compile_bytecode.sh" \
    "${build_python:-$(find "$root/prefix/bin" -name 'python3.[0-9]*' ! -name '*-config' | sort | head -n 1)}" \
    "$root"/prefix/lib/python3.* >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  rm -rf "$root.tmp"
  touch "$root/prefix/.built"
  echo "built in $((SECONDS - began)) s"
fi
python=$(find "$root/prefix/bin" -name 'python3.[0-9]*' ! -name '*-config' | sort | head -n 1)
if [ "$arch" != "$(uname -m)" ]; then
  # Run under qemu by a script that is also sys.executable (qemu's -0), so
  # that the suite's subprocesses run under qemu too; PYTHONHOME pins the
  # prefix, which CPython would otherwise look for beside the script. As for
  # Debian's (tools/arm64_python.sh), pointer authentication is off: nothing
  # here needs it.
  cat > "$root/python.tmp" <<EOF
#!/bin/sh
root=\$(dirname "\$(readlink -f "\$0")")
export PYTHONHOME="\$root/prefix"
export QEMU_CPU="\${QEMU_CPU:-max,pauth=off}"
exec qemu-$arch -0 "\$0" "\$root/prefix/bin/$(basename "$python")" "\$@"
EOF
  chmod +x "$root/python.tmp"
  python=$root/python.tmp
fi
minor=$("$python" -c 'import sys; print(sys.version_info[1])')
"$python" -c 'import ctypes, platform, sys, sysconfig, zlib; assert platform.libc_ver()[0] != "glibc"
assert bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[1] == "t"), sys.argv[1]
print(sys.version, "(musl)")' "$free_threaded"
# the requirements' musllinux wheels, fetched here, installed there
rm -rf "$root/wheels"
downloader=python3
if [ -n "$free_threaded" ]; then
  downloader=${FT_PYTHON:?FT_PYTHON names no free-threaded CPython to fetch the requirements with}
  "$downloader" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not free-threaded"
assert sys.version_info[1] == int(sys.argv[1]), sys.version' "$minor"
fi
"$downloader" -m pip download -q --disable-pip-version-check --only-binary=:all: -d "$root/wheels" \
  --platform "musllinux_1_2_$arch" --python-version "3.$minor" --implementation cp \
  ${free_threaded:+--abi "cp3${minor}t"} -r "$requirements"
if [ "$arch" = "$(uname -m)" ]; then
  "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-index \
    --find-links "$root/wheels" -r "$requirements"
  ln -sf "$python" "$root/python"
else
  # No ensurepip in a cross build, and pip under qemu takes ten times as long:
  # a CPython of this machine of the same minor (whose bytecode the emulated
  # one reads) installs the requirements and pip, told the platform. The
  # suite's own pip (tools/test_musl_wheels.sh) is that pip, under qemu.
  python3 -m pip download -q --disable-pip-version-check --only-binary=:all: -d "$root/wheels" --no-deps \
    --python-version "3.$minor" pip
  installer=$downloader
  [ -n "$free_threaded" ] || installer=$(find_python "$minor")
  [ -n "$installer" ] || { echo "no CPython 3.$minor here to install the requirements with" >&2; exit 1; }
  "$installer" -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-index \
    --find-links "$root/wheels" --platform "musllinux_1_2_$arch" --only-binary=:all: \
    --python-version "3.$minor" --implementation cp ${free_threaded:+--abi "cp3${minor}t"} \
    --target "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" -r "$requirements" pip
  mv "$python" "$root/python"
fi
cp "$requirements" "$root/requirements.txt"
