"""The examples a new user runs: the demo, the CSV tool, the many-series ways."""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import SKIP_UNDER_WINE_PROCESSES, EscancianoLobato, run_process

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))


def run(*args):
    return run_process([sys.executable, *map(str, args)])


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
        (["{csv}", "--column", "returns", "--d", "0"], "error: ValueError: d must be positive"),
    ],
)
def test_csv_tool_errors(csv_file, tmp_path, args, message):
    path, _ = csv_file
    args = [a.replace("{csv}", str(path)) for a in args]
    proc = run_process([sys.executable, str(EXAMPLES / "el_test.py"), *args], cwd=tmp_path, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr.startswith("error: ")
    assert message in proc.stderr


def test_csv_tool_drops_only_leading_and_trailing_empty_cells(tmp_path):
    values = np.sin(np.arange(80) * 0.7)
    cells = ["", ""] + [repr(float(v)) for v in values] + [""]
    path = tmp_path / "edges.csv"
    path.write_text("date,returns\n" + "".join(f"d{i},{cell}\n" for i, cell in enumerate(cells)))
    proc = run(EXAMPLES / "el_test.py", path, "--column", "returns")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[:2] == ["n = 80", f"selected lags p~ = {EscancianoLobato(values).p_tilde}"]
    cells[40] = ""  # a gap inside: refused with the module's note, not joined over
    path.write_text("date,returns\n" + "".join(f"d{i},{cell}\n" for i, cell in enumerate(cells)))
    proc = run(EXAMPLES / "el_test.py", path, "--column", "returns")
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("error: ValueError: data must not contain NaN values")
    if sys.version_info >= (3, 11):
        assert "1 NaN value, the first at position 38" in proc.stderr and "inside the series" in proc.stderr, proc.stderr


def one_by_one(series):
    return [(r.p_tilde, r.statistic, r.pvalue) for r in map(EscancianoLobato, series)]


def rows_of(frame):
    return [(int(p), s, v) for p, s, v in zip(frame["p_tilde"], frame["statistic"], frame["pvalue"])]


@pytest.fixture(scope="module")
def many_series():
    pytest.importorskip("pandas")
    import many_series

    return many_series


def test_every_column_of_a_data_frame(many_series):
    pd = pytest.importorskip("pandas")
    frame = many_series.simulated_returns(assets=40, days=300, seed=5)
    frame["gap"] = frame["asset001"].where(frame.index != 7)
    frame["flat"] = 1.0
    frame["text"] = "x"
    results = many_series.test_columns(frame)
    assert list(results.index) == list(frame.columns)
    assert list(results.columns) == ["p_tilde", "statistic", "pvalue", "error"]
    good = results.loc[frame.columns[:40]]
    assert good["error"].isna().all()
    assert rows_of(good) == one_by_one(frame[c].to_numpy() for c in frame.columns[:40])
    assert results.loc["gap", "error"].startswith("ValueError: data must not contain NaN values")
    assert results.loc["flat", "error"].startswith("OSError: Zero \u03c4\u0302 value at lag 1")
    assert results.loc["text", "error"].startswith("TypeError: expected a 1-D")
    assert results["p_tilde"].isna().sum() == 3 and pd.isna(results.loc["gap", "statistic"])


@pytest.mark.parametrize("threads", [1, 2, 3, 50])
def test_chunks_on_threads_give_the_rows_of_the_loop(many_series, threads):
    series = {f"s{i}": np.cos(np.arange(150 + i) * (0.2 + i)) + np.arange(150 + i) % 3 for i in range(23)}
    series["flat"] = np.ones(40)
    results = many_series.test_columns(series, threads=threads)
    assert list(results.index) == list(series)
    assert rows_of(results.iloc[:23]) == one_by_one(list(series.values())[:23])
    assert results.loc["flat", "error"].startswith("OSError: Zero \u03c4\u0302 value at lag 1")


@SKIP_UNDER_WINE_PROCESSES
@pytest.mark.thread_unsafe(reason="forks worker processes, which a process running other threads must not")
def test_a_list_of_arrays_and_a_pool_reading_its_own_files(many_series, tmp_path):
    series = [np.sin(np.arange(200) * (0.1 + i)) + np.arange(200) % (i + 2) for i in range(30)]
    by_loop = many_series.test_columns(series)
    assert list(by_loop.index) == list(range(30))
    assert rows_of(by_loop) == one_by_one(series)
    paths = []
    for i, values in enumerate(series):
        paths.append(str(tmp_path / f"s{i:02d}.npy"))
        np.save(paths[-1], values)
    by_pool = many_series.test_files(paths, processes=2)
    assert list(by_pool.index) == [f"s{i:02d}" for i in range(30)]
    assert rows_of(by_pool) == one_by_one(series)


@pytest.fixture
def parquet_folder(tmp_path):
    """A partitioned dataset and plain files: 24 instruments, one refused."""
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow.parquet")  # which needs ssl: the musl CPython here has none
    folder = tmp_path / "returns"
    rng = np.random.default_rng(11)
    expected = {}
    for i in range(24):
        values = rng.standard_normal(150 + 10 * i)
        if i == 5:
            values[3] = np.nan
        name = f"inst{i:02d}"
        if i % 2:
            (folder / f"instrument={name}").mkdir(parents=True)
            path = folder / f"instrument={name}" / "part-0.parquet"
        else:
            folder.mkdir(exist_ok=True)
            path = folder / f"{name}.parquet"
        pd.DataFrame({"volume": rng.integers(0, 9, values.size), "returns": values}).to_parquet(path)
        expected[name] = values
    return folder, expected


def check_dask_output(output, expected):
    pd = pytest.importorskip("pandas")
    results = pd.read_csv(output, index_col=0)
    assert sorted(results.index) == sorted(expected)
    assert results.loc["inst05", "error"].startswith("ValueError: data must not contain NaN values")
    good = [name for name in sorted(expected) if name != "inst05"]
    assert rows_of(results.loc[good]) == one_by_one(expected[name] for name in good)


NEEDS_PROC_FOR_DASK = pytest.mark.skipif(
    sys.platform.startswith("linux") and not os.path.exists("/proc/self"),
    reason="Dask's workers read their memory through psutil, which needs /proc on Linux")


@NEEDS_PROC_FOR_DASK
@pytest.mark.thread_unsafe(reason="starts a cluster of processes of its own")
def test_dask_local_cluster_reads_files_on_the_workers(parquet_folder, tmp_path):
    pytest.importorskip("dask.distributed")
    folder, expected = parquet_folder
    proc = subprocess.run([sys.executable, str(EXAMPLES / "many_series_dask.py"), str(folder), "--output",
                           str(tmp_path / "out.csv")], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("24 files: 23 tested")
    check_dask_output(tmp_path / "out.csv", expected)


@NEEDS_PROC_FOR_DASK
@pytest.mark.thread_unsafe(reason="starts a cluster of processes of its own")
def test_dask_scheduler_and_worker_started_by_hand(parquet_folder, tmp_path):
    pytest.importorskip("dask.distributed")
    folder, expected = parquet_folder
    dask = str(Path(sys.executable).parent / "dask")
    # started from an empty directory, with nothing on the path but zorvane's module
    workdir = tmp_path / "cluster"
    workdir.mkdir()
    scheduler_file = workdir / "scheduler.json"
    scheduler = subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                  "--scheduler-file", str(scheduler_file)], cwd=workdir,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    worker = None
    try:
        for _ in range(600):
            if scheduler_file.exists() and scheduler_file.stat().st_size:
                break
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        worker = subprocess.Popen([dask, "worker", address, "--nworkers", "2", "--nthreads", "1", "--no-dashboard",
                                   "--host", "127.0.0.1"], cwd=workdir,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc = subprocess.run([sys.executable, str(EXAMPLES / "many_series_dask.py"), address, str(folder),
                               "--output", str(tmp_path / "out.csv")], capture_output=True, text=True, timeout=300,
                              cwd=workdir)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.startswith("24 files: 23 tested")
        check_dask_output(tmp_path / "out.csv", expected)
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()


# --- recipes -------------------------------------------------------------------

def test_correlogram_table_agrees_with_the_test():
    pytest.importorskip("pandas")
    import correlogram

    x = correlogram.simulated()
    table = correlogram.robust_correlogram(x, lags=8)
    r = EscancianoLobato(x)
    assert list(table.index) == list(range(1, 9))
    assert list(table.columns) == ["rho_tilde", "band", "outside", "q_tilde"]
    # the statistic is the cumulative Q~ at p~, up to NumPy's summation order
    assert table["q_tilde"].iloc[r.p_tilde - 1] == pytest.approx(r.statistic, rel=1e-12)
    assert table["outside"].iloc[0]  # the AR(1) shows at lag 1
    proc = run(EXAMPLES / "correlogram.py")
    assert proc.returncode == 0, proc.stderr
    assert f"selected p~ = {r.p_tilde}" in proc.stdout


def test_panel_by_group_keeps_each_refusal():
    pytest.importorskip("pandas")
    import panel

    data = panel.simulated_panel()
    table = panel.by_group_pandas(data, "asset", "ret", "date")
    assert list(table.index) == ["AAA", "BBB", "CCC", "DDD", "EEE", "FFF"]
    # a day twice: no one date order, so no series to test
    twice = "ValueError: the date 2024-03-11 appears 2 times: the order of its values"
    assert table.loc["FFF", "error"].startswith(twice)
    assert table.loc["BBB", "pvalue"] < 1e-6
    assert table.loc["CCC", "error"].startswith("ValueError: data must not contain NaN values")
    assert table.loc["DDD", "error"].startswith("OSError: Zero τ̂ value at lag 1")
    bbb = data[data.asset == "BBB"].sort_values("date")["ret"].to_numpy()
    assert table.loc["BBB", "statistic"] == EscancianoLobato(bbb).statistic
    pl = pytest.importorskip("polars")
    pytest.importorskip("pyarrow")  # polars.from_pandas goes through it
    # polars reads pandas' NaN as a missing value (null): the refusal differs, the rest does not
    by_polars = panel.by_group_polars(pl.from_pandas(data), "asset", "ret", "date").to_pandas().set_index("asset")
    ok = table["error"].isna()
    assert by_polars.loc[ok, "statistic"].tolist() == table.loc[ok, "statistic"].tolist()
    assert by_polars.loc["CCC", "error"].startswith("TypeError") and "drop_nulls()" in by_polars.loc["CCC", "error"]
    assert by_polars.loc["DDD", "error"].startswith("OSError: Zero τ̂ value at lag 1")
    assert by_polars.loc["FFF", "error"].startswith(twice)


def test_panel_runs_where_pyarrow_is_missing():
    pytest.importorskip("polars")
    # pyarrow made unimportable: the recipe's polars half must not need it
    program = ("import runpy, sys; sys.modules['pyarrow'] = None; "
               f"runpy.run_path({str(EXAMPLES / 'panel.py')!r}, run_name='__main__')")
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.count("ValueError: data must not cont") == 2  # the gap, in pandas and in polars


@pytest.mark.parametrize("recipe, args, hidden, status, says", [
    ("correlogram.py", [], "pandas", 1, "this recipe needs pandas: pip install pandas"),
    ("many_series.py", [], "pandas", 1, "this recipe needs pandas: pip install pandas"),
    ("duckdb_query.py", [], "duckdb", 1, "this recipe needs DuckDB: pip install duckdb"),
    ("many_series_dask.py", [], "dask.distributed", 1, "pip install pyarrow 'dask[distributed]'"),
    ("many_series_spark.py", ["in.parquet", "out"], "pyspark", 1, "pip install pyspark pyarrow"),
    ("panel.py", [], "polars", 0, "polars is not installed: its half is left out (pip install polars)"),
])
def test_a_recipe_says_what_is_missing(recipe, args, hidden, status, says):
    pytest.importorskip("pandas")
    program = (f"import runpy, sys; sys.modules[{hidden!r}] = None; sys.argv[1:] = {args!r}; "
               f"runpy.run_path({str(EXAMPLES / recipe)!r}, run_name='__main__')")
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert proc.returncode == status, proc.stderr[-2000:]
    assert says in proc.stdout + proc.stderr
    assert "Traceback" not in proc.stderr


def test_duckdb_query_to_the_test():
    duckdb = pytest.importorskip("duckdb")
    import duckdb_query

    con = duckdb.connect()
    duckdb_query.simulated_prices(con, days=300)
    values = con.sql(duckdb_query.RETURNS).fetchnumpy()["ret"]
    assert np.ma.is_masked(values) and values.mask[0]  # lag() leaves a NULL first
    with pytest.raises(ValueError, match="NaN"):
        EscancianoLobato(values)
    r = duckdb_query.el_of_query(con, duckdb_query.RETURNS, "ret")
    assert (r.p_tilde, r.statistic) == (lambda s: (s.p_tilde, s.statistic))(EscancianoLobato(values[1:].compressed()))
    proc = run(EXAMPLES / "duckdb_query.py")
    assert proc.returncode == 0, proc.stderr
    assert "leading NULL dropped: p~ =" in proc.stdout


@pytest.mark.parametrize(
    "script, args, needs, returncode, shows",
    [
        ("demo.py", [], None, 0, "Escanciano-Lobato test"),
        ("el_test.py", ["{flat}", "--column", "x"], None, 2, "error: OSError: Zero \\u03c4\\u0302 value at lag 1"),
        ("panel.py", [], "pandas", 0, "OSError: Zero \\u03c4\\u0302 value at lag 1"),
        ("correlogram.py", [], "pandas", 0, ""),
        ("many_series.py", [], "pandas", 0, "refused: 1"),
        ("duckdb_query.py", [], "duckdb", 0, "as fetched:"),
    ],
)
def test_examples_write_to_a_cp1252_output(tmp_path, script, args, needs, returncode, shows):
    """As on Windows once the output is redirected: what the code page cannot
    hold is written escaped, and nothing fails for it."""
    if needs:
        pytest.importorskip(needs)
    flat = tmp_path / "flat.csv"
    flat.write_text("x\n" + "1.5\n" * 20)
    command = [sys.executable, str(EXAMPLES / script), *(a.replace("{flat}", str(flat)) for a in args)]
    proc = run_process(command, env={**os.environ, "PYTHONIOENCODING": "cp1252"}, encoding="cp1252")
    assert "UnicodeEncodeError" not in proc.stderr
    assert proc.returncode == returncode, proc.stderr
    assert shows in proc.stdout + proc.stderr
