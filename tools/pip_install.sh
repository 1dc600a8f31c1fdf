#!/usr/bin/env bash
# pip install ARGS into the environment of PYTHON, with the bytecode of what
# it installs but for the packages' own tests (tools/compile_bytecode.sh).
#   tools/pip_install.sh PYTHON ARGS...
# pip compiles every file it installs, and more than half of that is the
# tests of NumPy, pandas, SciPy and the like, which nothing here imports (a
# test environment of CPython 3.11: 21 s of CPU with them, 13 s without).
# A file that does not compile is left to its import, as pip leaves it.
set -euo pipefail
python=$1
shift
"$python" -m pip install -q --disable-pip-version-check --no-compile "$@"
"$(dirname "$0")/compile_bytecode.sh" "$python" \
  "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" || true
