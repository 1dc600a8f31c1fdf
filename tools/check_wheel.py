"""Usage: python tools/check_wheel.py WHEEL...

Checks each repaired Linux wheel: its platform tag is manylinux2014
(manylinux_2_17), its module is built for the tag's architecture, needs no
C++ runtime (only the C library's parts) and no glibc symbol newer than
2.17, exports nothing but PyInit_zorvane, and nothing was grafted into the
wheel. Prints one line per wheel; exits 1 on the first failure.
"""
from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

C_LIBRARY = re.compile(r"^(libc|libm|libpthread|libdl|librt|ld-linux[-\w]*)\.so(\.\d+)*$")


def needed(library: Path) -> list[str]:
    out = subprocess.run(["objdump", "-p", str(library)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"NEEDED\s+(\S+)", out)


def exported(library: Path) -> list[str]:
    out = subprocess.run(["nm", "-D", "--defined-only", str(library)], capture_output=True, text=True,
                         check=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.split()[-2] not in ("w", "v")]


def glibc_versions(library: Path) -> list[str]:
    out = subprocess.run(["objdump", "-T", str(library)], capture_output=True, text=True, check=True).stdout
    return sorted(set(re.findall(r"GLIBC_(\d+(?:\.\d+)+)", out)), key=lambda v: tuple(map(int, v.split("."))))


ELF_MACHINE = {"x86_64": 62, "aarch64": 183}


def check(wheel: Path) -> str:
    tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    if "manylinux2014_x86_64" not in tags and "manylinux2014_aarch64" not in tags:
        raise SystemExit(f"{wheel.name}: tag is not manylinux2014")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as folder:
        names = archive.namelist()
        if any(".libs/" in name for name in names):
            raise SystemExit(f"{wheel.name}: auditwheel grafted libraries in: {names}")
        modules = [name for name in names if re.fullmatch(r"zorvane\.cpython-\d+t?-[\w-]+\.so", name)]
        if len(modules) != 1:
            raise SystemExit(f"{wheel.name}: expected one extension module, found {modules}")
        module = Path(archive.extract(modules[0], folder))
        arch = "aarch64" if "manylinux2014_aarch64" in tags else "x86_64"
        machine = int.from_bytes(module.read_bytes()[18:20], "little")
        if machine != ELF_MACHINE[arch] or arch not in modules[0]:
            raise SystemExit(f"{wheel.name}: {modules[0]} is not an {arch} module (ELF machine {machine})")
        newest = glibc_versions(module)[-1]
        if tuple(map(int, newest.split("."))) > (2, 17):
            raise SystemExit(f"{wheel.name}: needs GLIBC_{newest}, newer than manylinux2014's 2.17")
        libraries = needed(module)
        foreign = [name for name in libraries if not C_LIBRARY.match(name)]
        if foreign:
            raise SystemExit(f"{wheel.name}: needs {foreign} beyond the C library")
        symbols = exported(module)
        if symbols != ["PyInit_zorvane"]:
            raise SystemExit(f"{wheel.name}: exports {symbols}")
    return (f"{wheel.name}: manylinux2014, needs {', '.join(libraries)} (GLIBC_{newest} at most), "
            "exports PyInit_zorvane only")


def main() -> None:
    wheels = [Path(arg) for arg in sys.argv[1:]]
    if not wheels:
        raise SystemExit(__doc__)
    for wheel in wheels:
        print(check(wheel))


if __name__ == "__main__":
    main()
