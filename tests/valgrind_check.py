"""Runs a command under valgrind memcheck and fails when any reported error
has a frame in this project's code. The interpreter and its dynamic loader
have reports of their own under memcheck (CPython 3.11's int.from_bytes and
glibc's ld.so among them); those are counted and shown, but are not ours.

    python tests/valgrind_check.py -- python -m pytest ...
"""
import os
import re
import subprocess
import sys
import tempfile

OURS = re.compile(r"zorvane::|zorvane\.cpython|zorvane_core_tests")


def main() -> int:
    command = sys.argv[sys.argv.index("--") + 1 :]
    with tempfile.NamedTemporaryFile("r", suffix=".log") as log:
        proc = subprocess.run(
            ["valgrind", "--tool=memcheck", "--errors-for-leak-kinds=none", "--num-callers=30",
             f"--log-file={log.name}", *command],
            env={**os.environ, "PYTHONMALLOC": "malloc"},
        )
        text = log.read()
    blocks = [b for b in re.split(r"\n==\d+== \n", text) if re.search(r"==\d+== (Invalid|Conditional|Use of|Syscall|Mismatched|Source and)", b)]
    ours = [b for b in blocks if OURS.search(b)]
    print(f"valgrind: {len(blocks)} error reports, {len(ours)} with a frame in zorvane; command exit {proc.returncode}")
    for block in ours:
        print(block)
    return 1 if ours or proc.returncode != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
