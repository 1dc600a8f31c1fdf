"""The tutorial's script end to end: it rewrites the committed page and
figures byte for byte, the page quotes what the script prints, and those
numbers are what the module returns on the same data."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tutorial"))
import tutorial  # noqa: E402

from zorvane import statistical_tests  # noqa: E402

FIGURES = [f"{name}{variant}.png" for name in ("sp500_correlograms", "sp500_rolling_pvalues", "tbill_variance_shift")
           for variant in ("", ".phone")]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("tutorial")
    proc = subprocess.run([sys.executable, str(ROOT / "tutorial" / "tutorial.py"), "--out", str(out)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    printed = dict(line.split(" = ", 1) for line in proc.stdout.splitlines() if " = " in line)
    return out, printed, proc


def test_page_and_figures_are_reproduced_byte_for_byte(run):
    out, _, proc = run
    assert (out / "tutorial.md").read_text() == (ROOT / "docs" / "tutorial.md").read_text()
    for name in FIGURES:
        assert (out / name).read_bytes() == (ROOT / "docs" / "tutorial" / name).read_bytes(), name
    assert "rolling windows" in proc.stderr  # the progress bar


def test_the_page_quotes_the_printed_numbers(run):
    _, printed, _ = run
    page = (ROOT / "docs" / "tutorial.md").read_text()
    for name in ("sp_pvalue", "sp_lb10", "tb_pvalue", "tb_lb5", "tb_plain7", "tb_robust7", "roll_el_share",
                 "roll_lb_share"):
        assert printed[name] in page, name


def test_the_numbers_are_the_modules(run):
    _, printed, _ = run
    returns = tutorial.sp500_returns().to_numpy()
    r = statistical_tests.EscancianoLobato(returns)
    assert (str(r.p_tilde), f"{r.statistic:.3f}", f"{r.pvalue:.3g}") == (
        printed["sp_p_tilde"], printed["sp_statistic"], printed["sp_pvalue"])
    changes = np.diff(tutorial.tbill_changes().to_numpy())
    t = statistical_tests.EscancianoLobato(changes)
    assert (str(t.p_tilde), f"{t.pvalue:.2f}") == (printed["tb_p_tilde"], printed["tb_pvalue"])
    # the robust autocorrelations rebuild the statistic
    _, robust = tutorial.correlograms(returns, 5)
    assert abs(len(returns) * np.sum(robust[:r.p_tilde] ** 2) - r.statistic) <= 1e-12 * r.statistic
