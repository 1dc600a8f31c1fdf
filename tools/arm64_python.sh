#!/usr/bin/env bash
# An aarch64 CPython of a Debian release with NumPy and the test
# requirements, run under qemu-user, for testing aarch64 builds of the
# module on an x86-64 host.
#
#   tools/arm64_python.sh ROOT SUITE MINOR REQUIREMENTS   prepares ROOT (once;
#   again when SUITE, MINOR, the packages or REQUIREMENTS change):
#     ROOT/sysroot   SUITE's arm64 python3.MINOR and its headers with every
#                    package they depend on, unpacked (nothing is configured)
#     ROOT/site      wheels for manylinux aarch64, installed for that Python
#     ROOT/python    a host script that runs that Python under qemu-aarch64
#
# The packages come from the mirror this machine's apt sources name, through
# an apt of their own (arm64 only, an empty package database) that resolves
# the dependencies of SUITE itself. The machine needs qemu-user.
set -euo pipefail
root=$(realpath -m "$1")
suite=$2
minor=$3
requirements=$(realpath "$4")
here=$(cd "$(dirname "$0")/.." && pwd)
# NumPy's wheels take the C++ runtime from the system, as manylinux allows.
# pip runs on this Python (below); before 3.10 it needs distutils, which
# Debian packages apart (and only up to 3.11).
packages="python3.$minor-minimal libpython3.$minor-stdlib libpython3.$minor-dev libstdc++6"
[ "$minor" -ge 12 ] || packages+=" python3-distutils"
wanted="$suite $packages $(sha256sum < "$requirements")"
if [ -x "$root/python" ] && [ "$(cat "$root/.ready" 2>/dev/null)" = "$wanted" ]; then
  exit 0
fi

mirror=$("$here/tools/debian_chroot.sh" mirror)
echo "Debian $suite's arm64 CPython 3.$minor into $root"
rm -rf "$root.tmp"
apt_dir="$root.tmp/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/parts" "$apt_dir/preferences" \
  "$root.tmp/sysroot"
: > "$apt_dir/status"
echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  > "$apt_dir/sources.list"
apt_options=(
  -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts"
  -o Dir::Etc::Preferences="$apt_dir/preferences/none" -o Dir::Etc::PreferencesParts="$apt_dir/preferences"
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status"
  -o Dir::State::extended_states="$apt_dir/extended_states"
  -o Dir::Cache="$apt_dir" -o Dir::Cache::archives="$apt_dir/archives"
  -o APT::Architecture=arm64 -o APT::Architectures=arm64 -o APT::Install-Recommends=false
  -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false
  -o Debug::NoLocking=true -o APT::Sandbox::User=root
)
apt-get "${apt_options[@]}" update -qq
# shellcheck disable=SC2086
apt-get "${apt_options[@]}" install -qq -y --download-only $packages > "$apt_dir/install.log"
for deb in "$apt_dir"/archives/*.deb; do dpkg-deb -x "$deb" "$root.tmp/sysroot"; done
# Releases whose /lib is /usr/lib get that from a package this does not
# unpack; the loader is looked for at /lib.
for dir in bin sbin lib; do
  [ -e "$root.tmp/sysroot/$dir" ] || ln -s "usr/$dir" "$root.tmp/sysroot/$dir"
done
rm -rf "$apt_dir"

# The script finds its root through its own path. PYTHONHOME pins the
# prefix, so that sys.executable (argv[0], this script) can be the host
# script: subprocesses started with sys.executable run under qemu too. From
# 3.13 on Debian builds CPython with pointer authentication, which qemu
# emulates about 15 to 30 times slower; the older ones run faster without it
# too (NumPy and pandas imported on 3.11: 5.6 s against 6.5 s). Nothing here
# depends on it, so it is off.
qemu_cpu='export QEMU_CPU="${QEMU_CPU:-max,pauth=off}"'
cat > "$root.tmp/python" <<SCRIPT
#!/bin/sh
root=\$(dirname "\$(readlink -f "\$0")")
export PYTHONHOME="\$root/sysroot/usr"
export PYTHONPATH="\$root/site\${PYTHONPATH:+:\$PYTHONPATH}"
$qemu_cpu
exec qemu-aarch64 -L "\$root/sysroot" -0 "\$0" "\$root/sysroot/usr/bin/python3.$minor" "\$@"
SCRIPT
chmod +x "$root.tmp/python"

# The requirements are resolved for the emulated Python's tags (its C
# library's), which it names itself, by pip, the newest release for 3.MINOR.
# pip runs on a CPython of this machine of the same minor where there is one
# (ten times faster than under qemu; markers and Requires-Python read the
# same but for the machine's name, and the emulated Python reads the bytecode
# it compiles): pyenv's, else that of the Debian root DEVELOPMENT_ROOT names
# (make sid-root, for the versions this machine has none of), run by that
# root's own loader and libraries; else on the emulated Python itself.
python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
  --python-version "3.$minor" -d "$root.tmp/pip" pip
pip_wheel=$(ls "$root.tmp"/pip/pip-*.whl)
source "$here/tools/find_python.sh"
installer=$(find_python "$minor")
development=${DEVELOPMENT_ROOT:+$(realpath -m "$DEVELOPMENT_ROOT")}
if [ -z "$installer" ] && [ -n "$development" ] && [ -x "$development/usr/bin/python3.$minor" ]; then
  # this script is its sys.executable (the loader's --argv0), so that the
  # processes it starts (compileall's) run the same way
  loader=$(ls "$development/usr/lib/$(uname -m)-linux-gnu"/ld-linux*.so.* | head -n 1)
  printf '#!/bin/sh\nexport PYTHONHOME="%s"\nexec "%s" --library-path "%s" --argv0 "$0" "%s" "$@"\n' \
    "$development/usr" "$loader" "$(dirname "$loader")" "$development/usr/bin/python3.$minor" \
    > "$root.tmp/native-python"
  chmod +x "$root.tmp/native-python"
  installer=$root.tmp/native-python
fi
platforms=()
if [ -n "$installer" ]; then
  for platform in $("$root.tmp/python" -c 'import sys; sys.path.insert(0, sys.argv[1])
from pip._vendor.packaging import tags
print(*dict.fromkeys(t.platform for t in tags.sys_tags()))' "$pip_wheel"); do
    platforms+=(--platform "$platform")
  done
  [ ${#platforms[@]} -gt 0 ] || { echo "the arm64 CPython 3.$minor named no platform tags" >&2; exit 1; }
else
  installer=$root.tmp/python
fi
"$installer" "$pip_wheel/pip" install -q --disable-pip-version-check --root-user-action=ignore \
  "${platforms[@]}" --target "$root.tmp/site" --only-binary=:all: -r "$requirements"
# Debian compiles the standard library's bytecode when its package is
# configured, which an unpacked one never is: a process would compile each
# module of it that it imports, under qemu, and where the environment says not
# to write bytecode (PYTHONDONTWRITEBYTECODE, as here) every process would
# (NumPy, pandas, pytest and Hypothesis imported on 3.11: 6.3 s of CPU
# without, 4.3 s with; the whole suite 107 s against 84 s). The CPython that
# installs the requirements compiles it.
"$here/tools/compile_bytecode.sh" "$installer" "$root.tmp/sysroot/usr/lib/python3.$minor"
rm -rf "$root.tmp/pip" "$root.tmp/native-python"
echo "$wanted" > "$root.tmp/.ready"
rm -rf "$root" && mv "$root.tmp" "$root"
