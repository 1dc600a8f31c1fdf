"""Usage: python tools/check_macos_module.py LLVM_NM LIBSYSTEM_TBD MODULE...

Checks that each Mach-O module leaves nothing undefined but the Python C API
(resolved by the interpreter that loads it) and what macOS's C library,
libSystem, exports (as listed in LIBSYSTEM_TBD, zig's text stub of it): no
C++ runtime, no compiler runtime (such as __cpu_model), nothing of our own.
Prints one line per module; exits 1 on the first failure.
"""
from __future__ import annotations

import re
import subprocess
import sys


def libsystem(tbd: str) -> set[str]:
    with open(tbd, encoding="utf-8") as stub:
        text = stub.read()
    exports = re.sub(r"'[^']*'", "", text[text.index("exports:"):])  # the quoted library paths
    return set(re.findall(r"[\w$.]+", exports))


def undefined(nm: str, module: str) -> list[str]:
    out = subprocess.run([nm, "-u", module], capture_output=True, text=True, check=True).stdout
    return [line.strip() for line in out.splitlines() if line.strip()]


def main(nm: str, tbd: str, *modules: str) -> int:
    system = libsystem(tbd)
    for module in modules:
        names = undefined(nm, module)
        python = [name for name in names if name.startswith(("_Py", "__Py"))]
        foreign = [name for name in names if name not in python and name not in system]
        if foreign:
            print(f"{module}: undefined beyond the Python C API and libSystem: {foreign}")
            return 1
        print(f"{module}: {len(python)} Python C API and {len(names) - len(python)} libSystem symbols undefined, "
              "nothing else")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
