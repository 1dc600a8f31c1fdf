#!/usr/bin/env bash
# The compilers' caches, kept between runs on this machine: zig's (the C and
# C++ runtimes and C libraries it builds once per target, about three minutes
# of CPU each, and what it compiled) and ccache's (the wheels' numeric core).
# They live in the build tree (build/zig/cache, build/ccache), where the
# wrappers find them also inside a chroot that sees the project elsewhere;
# this copies them from ~/.cache/zorvane (ZORVANE_BUILD_CACHE) before a run
# and back after it. Both are content-addressed (zig by its own hashes of
# compiler, flags and inputs; ccache by the compiler's --version and the
# preprocessed source), so a cache that another commit filled only misses.
#   tools/build_cache.sh restore|save
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
store=${ZORVANE_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorvane}
# what the build tree holds, and its name in the store
caches=("build/zig/cache:zig" "build/ccache:ccache")
# zig never prunes its cache, and old commits' objects add up (about half a
# GiB a run): past this size, what is older than two weeks goes (the C and
# C++ runtimes it built then are built again once), and a cache still past
# it is dropped and filled afresh by the next run
limit_kib=$((12 * 1024 * 1024))

case ${1:-} in
  restore)
    for pair in "${caches[@]}"; do
      tree=$here/${pair%%:*} kept=$store/${pair##*:}
      [ -d "$kept" ] && [ ! -e "$tree" ] || continue
      mkdir -p "$(dirname "$tree")"
      cp -a "$kept" "$tree.tmp" && mv "$tree.tmp" "$tree"
      echo "restored $(du -sh "$tree" | cut -f1) of ${pair##*:}'s cache from $kept"
    done
    ;;
  save)
    mkdir -p "$store"
    exec 9>"$store/.lock"
    flock 9
    for pair in "${caches[@]}"; do
      tree=$here/${pair%%:*} kept=$store/${pair##*:}
      [ -d "$tree" ] || continue
      if [ "$(du -sk "$tree" | cut -f1)" -gt "$limit_kib" ] && [ -d "$tree/o" ]; then
        find "$tree/o" -mindepth 1 -maxdepth 1 -mtime +14 -exec rm -rf {} +
      fi
      if [ "$(du -sk "$tree" | cut -f1)" -gt "$limit_kib" ]; then
        rm -rf "$kept"
        echo "${pair##*:}'s cache is past $((limit_kib / 1048576)) GiB: not kept"
        continue
      fi
      rm -rf "$kept.tmp" && cp -a "$tree" "$kept.tmp" && rm -rf "$kept" && mv "$kept.tmp" "$kept"
    done
    ;;
  *)
    echo "usage: tools/build_cache.sh restore|save" >&2
    exit 2
    ;;
esac
