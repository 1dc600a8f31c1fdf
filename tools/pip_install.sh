#!/usr/bin/env bash
# pip install ARGS into the environment of PYTHON, with the bytecode of what
# it installs but for the packages' own tests (folders named test or tests).
#   tools/pip_install.sh PYTHON ARGS...
# pip compiles every file it installs, and more than half of that is the
# tests of NumPy, pandas, SciPy and the like, which nothing here imports (a
# test environment of CPython 3.11: 21 s of CPU with them, 13 s without).
# The rest is compiled ahead: each process would compile it again where the
# environment says not to write bytecode. A file that does not compile is
# left to its import, as pip leaves it.
set -euo pipefail
python=$1
shift
"$python" -m pip install -q --disable-pip-version-check --no-compile "$@"
"$python" -m compileall -q -j0 -x '/tests?/' \
  "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" >/dev/null || true
