#!/usr/bin/env bash
# Makes Debian's arm64 CPython of each MINOR:SUITE (tools/arm64_python.sh)
# under ROOTS/3.MINOR, as many side by side as there are cores: each spends
# minutes in pip under qemu.
#   tools/arm64_pythons.sh ROOTS REQUIREMENTS "MINOR:SUITE..."
set -euo pipefail
roots=$1 requirements=$2 pythons=$3
here=$(cd "$(dirname "$0")/.." && pwd)
# One maker of ROOTS at a time: CI's two streams may both ask for them.
mkdir -p "$roots"
exec 9>"$roots.lock"
flock 9
source "$here/tools/parallel.sh"
for p in $pythons; do
  minor=${p%%:*}
  parallel_run "$roots/3.$minor.log" "the arm64 CPython 3.$minor" \
    "$here/tools/arm64_python.sh" "$roots/3.$minor" "${p#*:}" "$minor" "$requirements"
done
parallel_wait
