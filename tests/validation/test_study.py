"""The validation study end to end on its quick profile: every output is
written, complete and reproducible, and its Ljung-Box agrees with statsmodels'.
The numbers themselves are the full study's business."""
import csv
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "validation"))
import study  # noqa: E402


def run_quick(out: Path, workers: int) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(ROOT / "validation" / "study.py"), "--quick", "--out", str(out),
                           "--workers", str(workers)], capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def quick(tmp_path_factory):
    out = tmp_path_factory.mktemp("quick")
    proc = run_quick(out, 2)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return out, proc


def test_results_have_one_row_per_cell(quick):
    out, _ = quick
    with open(out / "results.csv") as f:
        reader = csv.DictReader(f)
        assert reader.fieldnames == ["dgp", "n", "test", "level", "replications", "rejections"]
        rows = list(reader)
    cells = {(r["dgp"], r["n"], r["test"], r["level"]) for r in rows}
    assert len(rows) == len(cells) == len(study.DGPS) * len(study.SIZES) * len(study.TESTS) * len(study.LEVELS)
    assert {r["replications"] for r in rows} == {"300"}
    assert all(0 <= int(r["rejections"]) <= 300 for r in rows)
    # a lower level never rejects more
    for dgp, n, test in {(r["dgp"], r["n"], r["test"]) for r in rows}:
        counts = [int(r["rejections"]) for r in rows if (r["dgp"], r["n"], r["test"]) == (dgp, n, test)]
        assert counts == sorted(counts)


def test_small_samples_have_one_row_per_cell(quick):
    out, _ = quick
    with open(out / "small_samples.csv") as f:
        rows = list(csv.DictReader(f))
    assert [(r["dgp"], int(r["n"]), r["d"]) for r in rows] == [
        (dgp, n, label) for dgp in study.SMALL_NULLS for n in study.SMALL_SIZES for label in study.LAG_CHOICES]
    assert all(r["replications"] == "300" and 0 <= int(r["rejections_at_5pct"]) <= 300 for r in rows)
    # d = n - 1 leaves the last lags a pair or two: nearly every series is rejected
    assert all(int(r["rejections_at_5pct"]) >= 270 for r in rows if r["d"] == "n-1" and int(r["n"]) >= 20)


def test_figures_and_page_are_written(quick):
    out, proc = quick
    for name in ["size_headline", "power"] + [f"size_{null}" for null in study.NULLS]:
        for variant in ("", ".phone"):
            assert (out / f"{name}{variant}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    page = (out / "validation.md").read_text()
    assert re.search(r"\{[a-z0-9_]+\}", page) is None  # every field filled
    assert "| iid | 100 |" in page
    assert "chunks" in proc.stderr  # the progress bar


def test_figures_redrawn_from_the_results_are_the_same_files(quick, tmp_path):
    out, _ = quick
    (tmp_path / "results.csv").write_bytes((out / "results.csv").read_bytes())
    proc = subprocess.run([sys.executable, str(ROOT / "validation" / "study.py"), "--figures-only", "--out",
                           str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    drawn = sorted(p.name for p in tmp_path.glob("*.png"))
    assert len(drawn) == 2 * (len(study.NULLS) + 2)
    for name in drawn:
        assert (tmp_path / name).read_bytes() == (out / name).read_bytes(), name


def test_outputs_do_not_depend_on_the_number_of_processes(quick, tmp_path):
    out, _ = quick
    proc = run_quick(tmp_path, 1)
    assert proc.returncode == 0, proc.stderr[-3000:]
    for name in ("results.csv", "lag_selection.csv", "small_samples.csv", "validation.md", "size_garch.png",
                 "power.phone.png"):
        assert (tmp_path / name).read_bytes() == (out / name).read_bytes(), name


@pytest.mark.parametrize("dgp", ["iid", "garch", "ar1_0.2"])
def test_ljung_box_agrees_with_statsmodels(dgp):
    from statsmodels.stats.diagnostic import acorr_ljungbox

    y = study.simulate(dgp, 200, 5, np.random.default_rng(3))
    ours = study.ljung_box_pvalues(y, (1, 5, 10))
    for row, series in enumerate(y):
        theirs = acorr_ljungbox(series, lags=[1, 5, 10])
        np.testing.assert_allclose([ours[m][row] for m in (1, 5, 10)], theirs["lb_pvalue"].to_numpy(), rtol=1e-9)
