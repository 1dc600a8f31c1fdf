"""Usage: python tools/windows_import_lib.py DLL_NAME OUT.def (--dll PATH | --headers INCLUDE)
       python tools/windows_import_lib.py --covers INCLUDE WHEEL

Writes the module-definition file of DLL_NAME (python313.dll, say) for an
import library (`zig dlltool -d OUT.def`): the names the official DLL at PATH
exports, read from its export table, or, where no official DLL can be had
(3.14 and 3.15), every function and variable that the CPython headers in
INCLUDE declare with PyAPI_FUNC or PyAPI_DATA (the internal/ headers left
out). On 3.9 to 3.13 the second way gives a subset of the first that holds
every name the module imports (check_wheel.py checks each Windows module's
imports against the official DLL where there is one).
"""
from __future__ import annotations

import os
import re
import sys
from pathlib import Path

# PyAPI_FUNC(type), any attribute macros (_Py_NO_RETURN), then the name,
# perhaps in parentheses, right before the parameter list.
FUNCTION = re.compile(r"PyAPI_FUNC\s*\((?:[^()]|\([^()]*\))*\)\s*(?:\w+\s+)*?\(?\s*(\w+)\s*\)?\s*\(")
# PyAPI_DATA(type), then its declarators up to the semicolon: one or more,
# separated by commas (_Py_FalseStruct, _Py_TrueStruct).
DATA = re.compile(r"PyAPI_DATA\s*\((?:[^()]|\([^()]*\))*\)([^;]*);")
# A declarator's name: inside (*...) for a function pointer
# (char *(*PyOS_ReadlineFunctionPointer)(...)), else its last word before any [.
POINTER_NAME = re.compile(r"\(\s*\*\s*(\w+)\s*\)")
WORD = re.compile(r"\w+")
COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.DOTALL)
DIRECTIVE = re.compile(r"^\s*#.*$", re.MULTILINE)


def declarations(text: str) -> set[str]:
    """The names a header's text declares with PyAPI_FUNC or PyAPI_DATA:
    comments and preprocessor lines (the macros' own definitions) left out."""
    text = DIRECTIVE.sub("", COMMENT.sub(" ", text.replace("\\\n", " ")))
    names = set(FUNCTION.findall(text))
    for declarators in DATA.findall(text):
        for declarator in top_level_parts(declarators):
            pointer = POINTER_NAME.search(declarator)
            words = WORD.findall(declarator.split("[")[0])
            if pointer or words:
                names.add(pointer.group(1) if pointer else words[-1])
    return names


def top_level_parts(text: str) -> list[str]:
    """`text` split at the commas outside parentheses."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    return parts + [text[start:]]


def dll_exports(path: Path) -> list[str]:
    import pefile

    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    return sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)


def declared(include: Path) -> list[str]:
    names: set[str] = set()
    # the folder may be one of links to the headers (tools/pyconfig.sh): followed
    for folder, subfolders, files in os.walk(include, followlinks=True):
        subfolders[:] = [name for name in subfolders if name != "internal"]
        for header in (Path(folder) / name for name in files if name.endswith(".h")):
            names.update(declarations(header.read_text(errors="replace")))
    return sorted(names)


def module_imports(wheel: Path) -> tuple[str, list[str]]:
    """The CPython DLL a Windows wheel's module imports from, and the names."""
    import zipfile

    import pefile

    with zipfile.ZipFile(wheel) as archive:
        (module,) = [name for name in archive.namelist() if name.endswith(".pyd")]
        pe = pefile.PE(data=archive.read(module))
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode()
        if re.fullmatch(r"python3\d+t?\.dll", dll):
            return dll, sorted(i.name.decode() for i in entry.imports if i.name)
    raise SystemExit(f"{wheel.name}: imports no CPython DLL")


def covers(include: Path, wheel: Path) -> None:
    dll, imported = module_imports(wheel)
    missing = sorted(set(imported) - set(declared(include)))
    if missing:
        raise SystemExit(f"{wheel.name}: the headers in {include} declare none of {missing}, which it imports")
    print(f"{wheel.name}: the headers declare all {len(imported)} names it imports from {dll}")


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--covers":
        covers(Path(sys.argv[2]), Path(sys.argv[3]))
        return
    if len(sys.argv) != 5 or sys.argv[3] not in ("--dll", "--headers"):
        raise SystemExit(__doc__)
    dll_name, out, how, source = sys.argv[1], Path(sys.argv[2]), sys.argv[3], Path(sys.argv[4])
    names = dll_exports(source) if how == "--dll" else declared(source)
    if len(names) < 500:
        raise SystemExit(f"only {len(names)} names from {source}: not a CPython DLL or include folder")
    out.write_text(f"LIBRARY {dll_name}\nEXPORTS\n" + "".join(f"{name}\n" for name in names))
    print(f"{dll_name}: {len(names)} names from {source.name}")


if __name__ == "__main__":
    main()
