#!/usr/bin/env bash
# Builds a few wheels of the checkout's commit twice, each time from a clone in
# a folder of its own and at another time, and checks that each came out the
# same file byte for byte: the manylinux2014 and musllinux_1_2 x86-64 ones of
# this machine's CPython (repaired as make wheels repairs them) and its
# win_amd64 one. The aarch64 wheels are built by the same commands from the
# same sources (only zig's target differs), so they are left out for time.
#   tools/reproducible_wheels.sh OUT_DIR
# The clones use this checkout's environments (.venv) and zig's cache; what
# they build is the commit, not uncommitted changes.
set -euo pipefail
out=$(realpath -m "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$here" rev-parse HEAD)
minor=$("$here/.venv/wheels/bin/python" -c 'import sys; print(sys.version_info[1])')
archive=${CPYTHON_ARCHIVE:-$here/../shared/cpython/Python-3.13.0rc2-src.tar.xz}

build() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$(dirname "$dir")"
  git clone -q --no-checkout "$here" "$dir" && git -C "$dir" checkout -q "$commit"
  ln -s "$here/.venv" "$dir/.venv"
  (
    cd "$dir"
    export ZIG_GLOBAL_CACHE_DIR="$here/build/zig/cache" CPYTHON_ARCHIVE="$archive" WHEEL_ARCHES=x86_64
    tools/build_wheels.sh build/raw "$minor"
    tools/build_wheels.sh build/raw "$minor" musl
    tools/repair_wheels.sh build/raw dist
    tools/build_windows_wheels.sh dist "$minor"
  ) > "$dir.log" 2>&1 || { cat "$dir.log"; echo "the build in $dir failed" >&2; return 1; }
}

first="$out/first/zorvane" second="$out/a-second-folder/zorvane-$commit"
build "$first"
sleep 3  # another time: zip entries keep it in steps of two seconds
build "$second"
status=0 count=0
for wheel in "$first"/dist/*.whl; do
  other="$second/dist/$(basename "$wheel")"
  count=$((count + 1))
  if [ ! -f "$other" ]; then
    echo "only in the first build: $(basename "$wheel")"; status=1
  elif ! cmp -s "$wheel" "$other"; then
    echo "differs: $(basename "$wheel")"; status=1
  else
    echo "$(sha256sum "$wheel" | cut -c1-16)  $(basename "$wheel")"
  fi
done
[ "$count" -gt 0 ] || { echo "no wheel was built" >&2; exit 1; }
[ "$(ls "$second"/dist/*.whl | wc -l)" -eq "$count" ] || { echo "the builds made different sets of wheels"; status=1; }
[ "$status" -eq 0 ] && echo "reproducible: $count wheels built twice, in two folders, the same bytes"
exit "$status"
