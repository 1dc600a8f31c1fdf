"""The examples a new user runs: the demo, the CSV tool, the many-series ways."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import EscancianoLobato

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))


def run(*args):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=300)


def test_demo_prints_its_table():
    proc = run(EXAMPLES / "demo.py")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("Escanciano-Lobato test")
    rows = {line[:30].strip(): line for line in lines[3:]}
    assert "serially correlated" in rows["Real GDP growth, % q/q"]
    # the AR(1) residuals of GDP growth show no correlation: the transformation changes the answer
    assert lines[4].rstrip().endswith("no evidence of correlation")


@pytest.fixture
def csv_file(tmp_path):
    path = tmp_path / "data.csv"
    values = np.sin(np.arange(60) * 0.7) + np.arange(60) % 3
    path.write_text("date,returns,name\n" + "".join(f"d{i},{float(v)!r},x\n" for i, v in enumerate(values)) + "d60,,x\n")
    return path, values


def test_csv_tool_reports_the_test(csv_file):
    path, values = csv_file
    proc = run(EXAMPLES / "el_test.py", path, "--column", "returns")
    assert proc.returncode == 0, proc.stderr
    r = EscancianoLobato(values)
    assert proc.stdout.splitlines() == [
        "n = 60",
        f"selected lags p~ = {r.p_tilde}",
        f"statistic = {r.statistic:.6g}",
        f"p-value = {r.pvalue:.6g}",
    ]


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.csv", "--column", "returns"], "missing.csv: no such file"),
        (["{csv}", "--column", "close"], "no column 'close' (the columns are 'date', 'returns', 'name')"),
        (["{csv}", "--column", "name"], "line 2: 'x' in column 'name' is not a number"),
        (["{csv}", "--column", "returns", "--d", "0"], "error: d must be positive"),
    ],
)
def test_csv_tool_errors(csv_file, tmp_path, args, message):
    path, _ = csv_file
    args = [a.replace("{csv}", str(path)) for a in args]
    proc = subprocess.run([sys.executable, str(EXAMPLES / "el_test.py"), *args], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.startswith("error: ")
    assert message in proc.stderr


def one_by_one(series):
    return [(r.p_tilde, r.statistic, r.pvalue) for r in map(EscancianoLobato, series)]


def test_process_pool_matches_one_by_one():
    import many_series_pool

    series = many_series_pool.simulated(60, length=300)
    assert [tuple(o) for o in many_series_pool.test_many(series, processes=2)] == one_by_one(series)


def test_dask_local_cluster_matches_one_by_one():
    distributed = pytest.importorskip("dask.distributed")
    import many_series_dask
    import many_series_pool

    series = many_series_pool.simulated(300, length=200, seed=3)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        client.run(lambda path: sys.path.insert(0, path), str(EXAMPLES))
        outcomes = many_series_dask.test_many(client, series, batch=40)
    assert [tuple(o) for o in outcomes] == one_by_one(series)
