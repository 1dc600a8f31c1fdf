#!/usr/bin/env bash
# A free-threaded CPython (built with --disable-gil) from the source archive
# beside the project, with the test requirements installed.
#
#   tools/freethreaded_python.sh ARCHIVE ROOT REQUIREMENTS [CONFIGURE_ARGS...]
#     builds ROOT/prefix from ARCHIVE once (checked against the SHA256SUMS
#     beside it) and installs REQUIREMENTS into it; ROOT/python runs it.
#     Extra arguments go to configure.
#     CC and CFLAGS are passed to configure as they are set, and OPT, which
#     is -O1 without debug information unless set: these interpreters run
#     test suites, which took no longer on one built so (32 s against 36 s
#     for the suite on 3.13t here), and -O3 with -g compiles three times as
#     long (CPython's largest files: 36 against 12 s of CPU).
#     With PIP_PYTHON naming a CPython of the same version and ABI, that one's
#     pip installs the requirements (into this one's site-packages): pip on an
#     interpreter built with a sanitizer takes minutes.
#     The Debian packages the build needs are the Makefile's FT_BUILD_DEPS.
set -euo pipefail
archive=$1 root=$(realpath -m "$2") requirements=$(realpath "$3")
shift 3

if [ ! -f "$archive" ]; then
  echo "error: no CPython source archive at $archive" >&2
  echo "  Put an unmodified CPython 3.13+ source archive (.tar.xz) there, with a SHA256SUMS file" >&2
  echo "  beside it, or name another with 'make ... CPYTHON_ARCHIVE=/path/to/Python-3.13.X.tar.xz'." >&2
  exit 1
fi
sums=$(dirname "$archive")/SHA256SUMS
if [ ! -f "$sums" ]; then
  echo "error: no SHA256SUMS beside $archive: the archive cannot be checked" >&2
  exit 1
fi
(cd "$(dirname "$archive")" && grep " $(basename "$archive")\$" SHA256SUMS | sha256sum -c --quiet -) || {
  echo "error: $archive does not match its checksum in $sums" >&2; exit 1; }

# The interpreter is built once per machine: into a folder of the build cache
# (ZORVANE_BUILD_CACHE, ~/.cache/zorvane), named by what makes it (the
# archive's checksum, the configure arguments, the compilers and flags, this
# script and the requirements), which ROOT then links to. Its prefix is
# compiled into it, so it is built where it stays. With ZORVANE_BUILD_CACHE
# set to "none", or where ROOT is a folder already, it is built in ROOT.
store=${ZORVANE_BUILD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zorvane}
if [ "$store" != none ] && { [ ! -e "$root" ] || [ -L "$root" ]; }; then
  key=$({ grep " $(basename "$archive")\$" "$sums"; printf '%s\n' "$@" "${CC:-}" "${CXX:-}" "${OPT:-}" "${CFLAGS:-}";
    cat "$0" "$requirements"; } | sha256sum | cut -c1-16)
  kept=$store/cpython/$(basename "$root")-$key
  mkdir -p "$kept" "$(dirname "$root")"
  (flock 8 && ln -sfn "$kept" "$root") 8>"$store/cpython/.lock"
  root=$kept
fi
# One build of ROOT at a time: CI's two streams may both ask for it.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
[ -x "$root/python" ] && cmp -s "$requirements" "$root/requirements.txt" && exit 0

if [ ! -f "$root/prefix/.built" ]; then
  began=$SECONDS
  rm -rf "$root.tmp" "$root/prefix" && mkdir -p "$root.tmp/src"
  tar -xJf "$archive" -C "$root.tmp/src" --strip-components=1
  echo "configuring a free-threaded CPython from $(basename "$archive") ${*:+($*)}"
  (cd "$root.tmp/src" && OPT=${OPT:--O1} ./configure -q --disable-gil --prefix="$root/prefix" --without-ensurepip "$@" >/dev/null)
  log=$root.tmp/build.log
  make -C "$root.tmp/src" -s -j"$(nproc)" >"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  # Of the standard library the install compiles only the top level (-l):
  # three times over (each optimisation level), all of it is most of an
  # install. The rest (its packages: encodings, collections, re, json...) is
  # compiled next by tools/compile_bytecode.sh, with the CPython that
  # installs the requirements (PIP_PYTHON, of the same version) where one is
  # named: one built with a sanitizer compiles slowly.
  make -C "$root.tmp/src" -s altinstall COMPILEALL_OPTS="-j0 -l" >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  "$(dirname "$0")/compile_bytecode.sh" "${PIP_PYTHON:-$(ls "$root"/prefix/bin/python3.*t | head -n 1)}" \
    "$root"/prefix/lib/python3.* >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  # CPython's own list of the interpreter's known ThreadSanitizer reports
  cp "$root.tmp/src/Tools/tsan/suppressions_free_threading.txt" "$root/prefix/tsan-suppressions.txt"
  rm -rf "$root.tmp"
  touch "$root/prefix/.built"
  echo "built in $((SECONDS - began)) s"
fi
python=$(ls "$root"/prefix/bin/python3.*t | head -n 1)
"$python" -c 'import sysconfig, sys; assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1; print(sys.version)'
if [ -n "${PIP_PYTHON:-}" ]; then
  "$PIP_PYTHON" -c 'import sys, sysconfig; assert sys.argv[1] == sysconfig.get_config_var("SOABI"), sys.argv[1]' \
    "$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')"
  rm -rf "$root/site-packages.tmp"
  "$PIP_PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore --only-binary=:all: \
    --target "$root/site-packages.tmp" -r "$requirements"
  site=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  cp -a "$root/site-packages.tmp/." "$site/" && rm -rf "$root/site-packages.tmp"
else
  "$python" -m ensurepip >/dev/null
  "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore --only-binary=:all: -r "$requirements"
fi
ln -sf "$python" "$root/python"
cp "$requirements" "$root/requirements.txt"
