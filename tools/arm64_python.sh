#!/usr/bin/env bash
# An aarch64 CPython with NumPy and the test requirements, run under
# qemu-user, for testing the aarch64 build of the module on an x86-64 host.
#
#   tools/arm64_python.sh ROOT REQUIREMENTS   prepares ROOT (once):
#     ROOT/sysroot   Debian's arm64 python3.11 and the libraries it loads, unpacked
#     ROOT/site      wheels for manylinux aarch64, installed for that Python
#     ROOT/python    a host script that runs that Python under qemu-aarch64
#
# The machine needs qemu-user and the arm64 architecture in dpkg (added here).
set -euo pipefail
root=$(realpath -m "$1")
requirements=$(realpath "$2")
[ -x "$root/python" ] && exit 0

packages="python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev libc6 libgcc-s1
  libstdc++6 zlib1g libexpat1 libffi8 libbz2-1.0 liblzma5 libssl3 libsqlite3-0 libuuid1 libcrypt1
  libncursesw6 libtinfo6 libreadline8 libdb5.3 libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3
  libkrb5support0 libcom-err2 libkeyutils1 media-types"

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  $sudo apt-get update -qq
fi
rm -rf "$root.tmp" && mkdir -p "$root.tmp/debs" "$root.tmp/sysroot"
(cd "$root.tmp/debs" && apt-get download -qq $(for p in $packages; do
  case $p in media-types) echo "$p" ;; *) echo "$p:arm64" ;; esac; done))
for deb in "$root.tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$root.tmp/sysroot"; done
rm -rf "$root.tmp/debs"

python3 -m pip install -q --disable-pip-version-check --target "$root.tmp/site" --only-binary=:all: \
  --implementation cp --python-version 3.11 --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
  -r "$requirements"

# PYTHONHOME pins the prefix, so that sys.executable (argv[0], this script)
# can be the host script: subprocesses started with sys.executable run
# under qemu too.
cat > "$root.tmp/python" <<SCRIPT
#!/bin/sh
export PYTHONHOME="$root/sysroot/usr"
export PYTHONPATH="$root/site\${PYTHONPATH:+:\$PYTHONPATH}"
exec qemu-aarch64 -L "$root/sysroot" -0 "\$0" "$root/sysroot/usr/bin/python3.11" "\$@"
SCRIPT
chmod +x "$root.tmp/python"
rm -rf "$root" && mv "$root.tmp" "$root"
