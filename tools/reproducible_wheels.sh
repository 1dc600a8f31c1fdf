#!/usr/bin/env bash
# Builds a few wheels of the checkout's commit once more, from a clone in a
# folder of another name, at another time and with empty compiler caches, and
# checks that each came out the same file byte for byte as the one that make
# wheels built in this checkout: the manylinux2014 and musllinux_1_2 x86-64
# ones of CPython 3.MINOR (repaired as make wheels repairs them) and its
# win_amd64 one. The aarch64 wheels are built by the same commands from the
# same sources (only zig's target differs), so they are left out for time.
#   tools/reproducible_wheels.sh OUT_DIR DIST MINOR
# DIST holds this checkout's wheels of the commit (make wheels-manylinux,
# wheels-musllinux and wheels-windows write them into dist/). The clone uses
# this checkout's environments (.venv) and zig's cache (its C libraries);
# what it builds is the commit, not uncommitted changes.
set -euo pipefail
out=$(realpath -m "$1")
dist=$(realpath "$2")
minor=$3
here=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$here" rev-parse HEAD)
archive=${CPYTHON_ARCHIVE:-$here/../shared/cpython/Python-3.13.0rc2-src.tar.xz}
if [ -n "$(git -C "$here" status --porcelain --untracked-files=no -- src include CMakeLists.txt pyproject.toml)" ]; then
  echo "warning: the sources have uncommitted changes, which $dist's wheels may hold and the clone's lack" >&2
fi

other="$out/a-second-folder/zorvane-$commit"
rm -rf "$other" && mkdir -p "$(dirname "$other")"
git clone -q --no-checkout "$here" "$other" && git -C "$other" checkout -q "$commit"
ln -s "$here/.venv" "$other/.venv"
(
  cd "$other"
  export ZIG_GLOBAL_CACHE_DIR="$here/build/zig/cache" CPYTHON_ARCHIVE="$archive" WHEEL_ARCHES=x86_64
  tools/build_wheels.sh build/raw "$minor"
  tools/build_wheels.sh build/raw "$minor" musl
  tools/repair_wheels.sh build/raw dist
  tools/build_windows_wheels.sh dist "$minor"
) > "$other.log" 2>&1 || { cat "$other.log"; echo "the build in $other failed" >&2; exit 1; }
status=0 count=0
for wheel in "$other"/dist/*.whl; do
  mine="$dist/$(basename "$wheel")"
  count=$((count + 1))
  if [ ! -f "$mine" ]; then
    echo "not in $dist: $(basename "$wheel")"; status=1
  elif ! cmp -s "$wheel" "$mine"; then
    echo "differs: $(basename "$wheel")"; status=1
  else
    echo "$(sha256sum "$wheel" | cut -c1-16)  $(basename "$wheel")"
  fi
done
[ "$count" -gt 0 ] || { echo "no wheel was built" >&2; exit 1; }
[ "$count" -eq 3 ] || { echo "the clone built $count wheels, not 3"; status=1; }
[ "$status" -eq 0 ] && echo "reproducible: $count wheels built again in another folder, the same bytes"
exit "$status"
