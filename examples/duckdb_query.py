"""From a DuckDB query to the test.

Returns computed in SQL with lag() leave a NULL in each series' first row;
`fetchnumpy()` hands a column with NULLs over as a NumPy masked array, which
the test refuses as it would refuse NaN (a note names the first masked
position). A leading NULL is dropped in the query; a NULL inside a series
would be a gap, which dropping would close, so it is left to be refused.

    python examples/duckdb_query.py
"""
from __future__ import annotations

import sys
import traceback

try:
    import duckdb
except ImportError:
    sys.exit("this recipe needs DuckDB: pip install duckdb")

from zorvane import statistical_tests

RETURNS = """
    select date, close / lag(close) over (order by date) - 1 as ret
    from prices
    order by date
"""


def simulated_prices(con: duckdb.DuckDBPyConnection, days: int = 500, seed: float = 0.42) -> None:
    """A table `prices(date, close)`: a random walk in log prices."""
    con.execute(f"select setseed({seed})")
    con.execute(f"""
        create or replace table prices as
        select date '2023-01-02' + i::integer as date,
               100 * exp(sum(0.01 * (random() + random() + random() - 1.5)) over (order by i)) as close
        from range({days}) t(i)
    """)


def el_of_query(con: duckdb.DuckDBPyConnection, query: str, column: str) -> statistical_tests.EscancianoLobato:
    """The test on one column of a query's result, NULLs at the start dropped."""
    values = con.sql(query).fetchnumpy()[column]
    mask = getattr(values, "mask", False)
    leading = 0
    while leading < len(values) and mask is not False and bool(mask[leading]):
        leading += 1
    return statistical_tests.EscancianoLobato(values[leading:])


def main() -> None:
    con = duckdb.connect()
    simulated_prices(con)
    try:
        statistical_tests.EscancianoLobato(con.sql(RETURNS).fetchnumpy()["ret"])
    except ValueError as e:
        print("as fetched:", *(line.rstrip("\n") for line in traceback.format_exception_only(type(e), e)), sep="\n  ")
    r = el_of_query(con, RETURNS, "ret")
    print(f"leading NULL dropped: p~ = {r.p_tilde}, statistic = {r.statistic:.4f}, p-value = {r.pvalue:.4f}")
    # the same, with the NULL dropped in SQL
    r2 = statistical_tests.EscancianoLobato(
        con.sql(f"select ret from ({RETURNS}) where ret is not null order by date").fetchnumpy()["ret"])
    assert (r2.p_tilde, r2.statistic, r2.pvalue) == (r.p_tilde, r.statistic, r.pvalue)


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    main()
