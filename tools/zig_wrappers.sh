#!/usr/bin/env bash
# Compiler wrappers around zig from PyPI (the environment .venv/wheels) for
# one target, such as x86_64-linux-gnu.2.17 or aarch64-macos.11.0:
#   tools/zig_wrappers.sh TARGET   makes build/zig/TARGET/{cc,c++,ar,ranlib}
# and prints that folder. They call the zig binary itself (pip's isolated
# build environment has no ziglang module for `python -m ziglang`), by a path
# relative to the wrapper, so that they also work inside a chroot that sees
# this project elsewhere. zig writes debug information unless told not to.
# zig builds its C++ runtime and C library (libc++, compiler-rt, musl's or
# MinGW's) for each target once per set of options, among them the
# optimisation and whether the link strips: the wrappers compile optimised and
# link stripped by default (a build's own -O comes later and wins), so that
# CMake's compiler checks, which link executables without either, share the
# one set the modules link with. Otherwise a fresh cache makes a second, debug
# set with the UB sanitizer's runtime: 190 s of CPU per target here, half of a
# cold wheel build. The modules come out the same files byte for byte.
#
# zig knows a cached result by its inputs' file identity too (inode and
# mtime), its own library's sources among them: from a zig installed afresh,
# as every new environment installs it, the C++ runtime and C library are
# built again for every target, four minutes of CPU each here. So zig runs
# from build/zig/ziglang, hard links to one copy per machine of the
# environment's zig in the build cache (ZORVANE_BUILD_CACHE, ~/.cache/zorvane,
# named by its version and the binary's size), whose files keep their
# identity from run to run; across file systems, or with
# ZORVANE_BUILD_CACHE=none, a copy.
set -euo pipefail
target=$1
here=$(cd "$(dirname "$0")/.." && pwd)
zig=$(ls "$here"/.venv/wheels/lib/python3*/site-packages/ziglang/zig 2>/dev/null | head -n 1)
[ -n "$zig" ] || { echo "no zig in .venv/wheels (make .venv/wheels/.ready)" >&2; exit 1; }
installed=$(dirname "$zig")
name=ziglang-$(ls -d "$installed"-*.dist-info | sed 's/.*ziglang-\(.*\)\.dist-info$/\1/')-$(stat -c %s "$zig")
home="$here/build/zig/$name"
mkdir -p "$here/build/zig/cache"
if [ ! -x "$home/zig" ]; then
  (
    flock 9
    [ ! -x "$home/zig" ] || exit 0
    from=$installed
    store=${ZORVANE_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorvane}
    if [ "$store" != none ]; then
      from=$store/$name
      if [ ! -x "$from/zig" ]; then
        mkdir -p "$store" && rm -rf "$from.tmp"
        cp -a "$installed" "$from.tmp" && mv "$from.tmp" "$from"
      fi
    fi
    rm -rf "$home.tmp"
    cp -al "$from" "$home.tmp" 2>/dev/null || { rm -rf "$home.tmp"; cp -a "$from" "$home.tmp"; }
    mv "$home.tmp" "$home"
  ) 9>"$here/build/zig/.lock"
fi
zig=$home/zig
bin="$here/build/zig/$target"
mkdir -p "$bin"
ln -sfn "$(realpath --relative-to="$bin" "$zig")" "$bin/zig"
# zig links no -bundle, CMake's way of linking a module on macOS: a shared
# library (-shared) loads as a module all the same.
bundle=""
case $target in
  *-macos*) bundle='for a do shift; [ "$a" = -bundle ] && a=-shared; set -- "$@" "$a"; done\n' ;;
esac
for tool in cc c++; do
  printf '#!/bin/sh\n%bZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$(dirname "$0")/../cache}" exec "$(dirname "$0")/zig" %s -target %s -g0 -O2 -s "$@"\n' \
    "$bundle" "$tool" "$target" > "$bin/$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "$(dirname "$0")/zig" %s "$@"\n' "$tool" > "$bin/$tool"
done
chmod +x "$bin/cc" "$bin/c++" "$bin/ar" "$bin/ranlib"
echo "$bin"
