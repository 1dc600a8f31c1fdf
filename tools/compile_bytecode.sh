#!/usr/bin/env bash
# Compiles the bytecode of the Python files under each FOLDER with PYTHON,
# unoptimised, but for the tests (folders named test or tests) and the parts
# of a standard library nothing here imports (idlelib, tkinter, turtledemo).
#   tools/compile_bytecode.sh PYTHON FOLDER...
# The environment here says not to write bytecode (PYTHONDONTWRITEBYTECODE),
# so a module without it is compiled by every process that imports it: under
# qemu or wine, or by a CPython built with a sanitizer, seconds a process.
# PYTHON may be another CPython of the same minor (the same bytecode) than
# the one that imports the files. Fails when a file does not compile.
set -euo pipefail
python=$1
shift
"$python" -m compileall -q -j0 -o 0 -x '/(tests?|idlelib|tkinter|turtledemo)/' "$@" >/dev/null
