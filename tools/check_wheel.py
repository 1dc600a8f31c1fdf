"""Usage: python tools/check_wheel.py WHEEL...

Checks each repaired Linux wheel: its platform tag is manylinux2014
(manylinux_2_17), its module is built for the tag's architecture, needs no
C++ runtime (only the C library's parts) and no glibc symbol newer than
2.17, exports nothing but PyInit_zorvane, and nothing was grafted into the
wheel; a musllinux_1_2 one alike, its module needing musl's
libc.musl-ARCH.so.1 alone. And each Windows wheel (win_amd64, win_arm64): its tags are one
CPython's, its module is that CPython's .pyd for the tag's machine (x86-64,
ARM64), imports only from python3X.dll, KERNEL32.dll and the universal C
runtime (no C++ or MinGW runtime DLL), exports nothing but PyInit_zorvane,
and, where the official python3X.dll is at hand (build/windows-python/3.X/python,
tools/windows_python.sh), imports only names that DLL exports. On every
platform, a wheel of a free-threaded ABI (cp3Xt) holds a module built for it
(with Py_GIL_DISABLED), any other one a module built for the interpreter lock.
Prints one line per wheel; exits 1 on the first failure.
"""
from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Py_DECREF of a free-threaded build calls these; one built without
# Py_GIL_DISABLED never does, and would corrupt reference counts there.
FREE_THREADED_ONLY = {"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount"}


def check_threading(wheel: Path, abi_tag: str, imported: set[str]) -> None:
    free_threaded = abi_tag.endswith("t")
    if bool(FREE_THREADED_ONLY & imported) != free_threaded:
        raise SystemExit(f"{wheel.name}: built {'without' if free_threaded else 'with'} Py_GIL_DISABLED "
                         f"for the {abi_tag} ABI")


C_LIBRARY = re.compile(r"^(libc|libm|libpthread|libdl|librt|ld-linux[-\w]*)\.so(\.\d+)*$")


def needed(library: Path) -> list[str]:
    out = subprocess.run(["objdump", "-p", str(library)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"NEEDED\s+(\S+)", out)


def exported(library: Path) -> list[str]:
    out = subprocess.run(["nm", "-D", "--defined-only", str(library)], capture_output=True, text=True,
                         check=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.split()[-2] not in ("w", "v")]


def undefined(library: Path) -> set[str]:
    out = subprocess.run(["nm", "-D", "--undefined-only", str(library)], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def glibc_versions(library: Path) -> list[str]:
    out = subprocess.run(["objdump", "-T", str(library)], capture_output=True, text=True, check=True).stdout
    return sorted(set(re.findall(r"GLIBC_(\d+(?:\.\d+)+)", out)), key=lambda v: tuple(map(int, v.split("."))))


ELF_MACHINE = {"x86_64": 62, "aarch64": 183}


UNIVERSAL_CRT = re.compile(r"^api-ms-win-crt-[a-z]+-l1-1-0\.dll$", re.IGNORECASE)
OFFICIAL_DLLS = Path(__file__).resolve().parents[1] / "build" / "windows-python"
PE_MACHINE = {"win_amd64": (0x8664, "x86-64"), "win_arm64": (0xAA64, "ARM64")}


def check_windows(wheel: Path) -> str:
    import pefile

    _, _, python_tag, abi_tag, platform_tag = wheel.name.removesuffix(".whl").split("-")
    if platform_tag not in PE_MACHINE or not re.fullmatch(r"cp3\d+", python_tag) or \
            abi_tag not in (python_tag, python_tag + "t"):
        raise SystemExit(f"{wheel.name}: tag is not one CPython's win_amd64 or win_arm64")
    machine, machine_name = PE_MACHINE[platform_tag]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        modules = [name for name in names if name.endswith(".pyd")]
        if modules != [f"zorvane.{abi_tag}-{platform_tag}.pyd"]:
            raise SystemExit(f"{wheel.name}: expected zorvane.{abi_tag}-{platform_tag}.pyd alone, found {modules}")
        stray = [name for name in names if name.lower().endswith(".dll")]
        if stray:
            raise SystemExit(f"{wheel.name}: holds DLLs {stray}")
        pe = pefile.PE(data=archive.read(modules[0]))
    if pe.FILE_HEADER.Machine != machine:
        raise SystemExit(f"{wheel.name}: {modules[0]} is not an {machine_name} module "
                         f"(machine {pe.FILE_HEADER.Machine:#x})")
    python_dll = f"python3{abi_tag.removeprefix('cp3')}.dll"
    imports = {entry.dll.decode(): [i.name.decode() for i in entry.imports if i.name]
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    foreign = [dll for dll in imports if dll != python_dll and dll.upper() != "KERNEL32.DLL"
               and not UNIVERSAL_CRT.match(dll)]
    if foreign:
        raise SystemExit(f"{wheel.name}: needs {foreign} beyond {python_dll}, KERNEL32.dll and the universal C runtime")
    check_threading(wheel, abi_tag, set(imports.get(python_dll, [])))
    exports = [e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols] if hasattr(
        pe, "DIRECTORY_ENTRY_EXPORT") else []
    if exports != ["PyInit_zorvane"]:
        raise SystemExit(f"{wheel.name}: exports {exports}")
    official = OFFICIAL_DLLS / f"3.{abi_tag.removeprefix('cp3')}" / "python" / python_dll
    checked = "no official DLL at hand"
    if official.exists():
        from windows_import_lib import dll_exports

        missing = sorted(set(imports.get(python_dll, [])) - set(dll_exports(official)))
        if missing:
            raise SystemExit(f"{wheel.name}: imports {missing}, which the official {python_dll} does not export")
        checked = f"all {len(imports.get(python_dll, []))} exported by the official one"
    return (f"{wheel.name}: {platform_tag}, needs {python_dll} ({checked}), KERNEL32.dll and "
            f"{sum(bool(UNIVERSAL_CRT.match(d)) for d in imports)} universal C runtime DLLs, exports PyInit_zorvane only")


def check(wheel: Path) -> str:
    if wheel.name.endswith("-win_amd64.whl") or "-win" in wheel.name:
        return check_windows(wheel)
    tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    musl = any(tag.startswith("musllinux") for tag in tags)
    family = "musllinux_1_2" if musl else "manylinux2014"
    if f"{family}_x86_64" not in tags and f"{family}_aarch64" not in tags:
        raise SystemExit(f"{wheel.name}: tag is not manylinux2014 or musllinux_1_2")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as folder:
        names = archive.namelist()
        if any(".libs/" in name for name in names):
            raise SystemExit(f"{wheel.name}: auditwheel grafted libraries in: {names}")
        modules = [name for name in names if re.fullmatch(r"zorvane\.cpython-\d+t?-[\w-]+\.so", name)]
        if len(modules) != 1:
            raise SystemExit(f"{wheel.name}: expected one extension module, found {modules}")
        module = Path(archive.extract(modules[0], folder))
        arch = "aarch64" if f"{family}_aarch64" in tags else "x86_64"
        machine = int.from_bytes(module.read_bytes()[18:20], "little")
        if machine != ELF_MACHINE[arch] or arch not in modules[0]:
            raise SystemExit(f"{wheel.name}: {modules[0]} is not an {arch} module (ELF machine {machine})")
        libraries = needed(module)
        if musl:
            # musl's one library holds the whole C library, the loader too
            foreign = [name for name in libraries if name != f"libc.musl-{arch}.so.1"]
            foreign += [f"GLIBC_{version}" for version in glibc_versions(module)]
            if foreign:
                raise SystemExit(f"{wheel.name}: needs {foreign} beyond libc.musl-{arch}.so.1")
        else:
            newest = glibc_versions(module)[-1]
            if tuple(map(int, newest.split("."))) > (2, 17):
                raise SystemExit(f"{wheel.name}: needs GLIBC_{newest}, newer than manylinux2014's 2.17")
            foreign = [name for name in libraries if not C_LIBRARY.match(name)]
            if foreign:
                raise SystemExit(f"{wheel.name}: needs {foreign} beyond the C library")
        symbols = exported(module)
        if symbols != ["PyInit_zorvane"]:
            raise SystemExit(f"{wheel.name}: exports {symbols}")
        check_threading(wheel, wheel.name.split("-")[3], undefined(module))
    if musl:
        return f"{wheel.name}: musllinux_1_2, needs {', '.join(libraries)} alone, exports PyInit_zorvane only"
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
