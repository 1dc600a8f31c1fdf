#!/usr/bin/env bash
# A Debian system of another release in a folder, for building and testing
# under its compilers, C library and CPythons.
#
#   tools/debian_chroot.sh make ROOT SUITE PACKAGE...
#       makes ROOT with debootstrap (once; again when the package list
#       changes), from the mirror this machine's apt sources name
#   tools/debian_chroot.sh mirror
#       prints that mirror
#   tools/debian_chroot.sh run ROOT COMMAND...
#       runs COMMAND in ROOT as root, with /proc and /dev/shm mounted and
#       this project bound at its own path, so that paths (and caches keyed
#       by them) mean the same inside and out; the mounts are undone however
#       COMMAND ends
#
# Needs root (chroot, mount). The machine's CA certificates are copied in,
# so that pip inside reaches the package index as pip outside does.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# The Debian mirror of this machine's apt sources (one-line or deb822 form).
debian_mirror() {
  {
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
    awk '$1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
  } | grep -E '/debian/?$' | head -n 1
}

# Mounts left by a run that was killed: never delete through them.
unmount_all() {
  local point
  for point in "$1$here" "$1/dev/shm" "$1/proc"; do
    if mountpoint -q "$point" 2>/dev/null; then umount -l "$point"; fi
  done
}

# One user of ROOT at a time: two runs side by side would stack their mounts
# and undo each other's, and a run must not see its root made again.
lock_root() {
  mkdir -p "$(dirname "$1")"
  exec 9>"$1.lock"
  flock 9
}

make_root() {
  local root=$1 suite=$2
  shift 2
  local wanted="$suite $*"
  lock_root "$(realpath -m "$root")"
  if [ -f "$root/.ready" ] && [ "$(cat "$root/.ready")" = "$wanted" ]; then
    return
  fi
  local mirror
  mirror=$(print_mirror)
  command -v debootstrap >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  }
  echo "debootstrap $suite into $root"
  local began=$SECONDS
  rm -rf "$root.tmp"
  mkdir -p "$(dirname "$root")"
  local packages
  packages=$(IFS=,; echo "$*")
  # A development suite's Release file may be past its validity date.
  if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root.tmp" "$mirror" \
      > "$root.log" 2>&1; then
    tail -n 30 "$root.log" >&2
    exit 1
  fi
  echo 'Acquire::Check-Valid-Until "false";' > "$root.tmp/etc/apt/apt.conf.d/99no-valid-until"
  mkdir -p "$root.tmp/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root.tmp/etc/ssl/certs/ca-certificates.crt"
  unmount_all "$root"
  rm -rf "$root"
  mv "$root.tmp" "$root"
  echo "$wanted" > "$root/.ready"
  echo "debootstrap $suite done in $((SECONDS - began)) s"
}

run_in_root() {
  local root
  root=$(realpath "$1")
  shift
  lock_root "$root"
  # /dev/shm for POSIX semaphores (multiprocessing): glibc before 2.34
  # finds it by its file system type, so it must be a tmpfs.
  mkdir -p "$root/dev/shm" "$root$here"
  mount -t proc proc "$root/proc"
  mount -t tmpfs shm "$root/dev/shm"
  mount --bind "$here" "$root$here"
  # A process of COMMAND's may still be exiting: detach the mounts now, and
  # the kernel lets them go when the last one has.
  # shellcheck disable=SC2064
  trap "umount -l '$root$here'; umount -l '$root/dev/shm'; umount -l '$root/proc'" EXIT
  # The host's environment is not the chroot's: start from a clean one.
  env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 \
    ${CI:+CI=$CI} chroot "$root" sh -c 'cd "$0" && exec "$@"' "$PWD" "$@"
}

print_mirror() {
  local mirror
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "no Debian mirror in the apt sources" >&2; exit 1; }
  echo "$mirror"
}

case ${1:-} in
  make) shift; make_root "$@" ;;
  mirror) print_mirror ;;
  run) shift; run_in_root "$@" ;;
  *) echo "usage: $0 make ROOT SUITE PACKAGE... | mirror | run ROOT COMMAND..." >&2; exit 2 ;;
esac
