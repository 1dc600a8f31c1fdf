"""Escanciano-Lobato test on one column of a CSV file.

    python examples/el_test.py data.csv --column returns [--q 2.4] [--d 5]

Empty cells at the start or the end of the column are dropped (what
pct_change() or a late listing leaves there). An empty cell inside the
column is a gap: dropping it would join values that were not adjacent, so
it is passed on as NaN and the test refuses it, with a note that says where.
Anything else that is not a number is an error naming its line.
"""
from __future__ import annotations

import argparse
import csv
import math
import sys
import traceback
from pathlib import Path

from zorvane import statistical_tests


class InputError(Exception):
    pass


def read_column(path: Path, column: str) -> list[float]:
    try:
        handle = path.open(newline="")
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as e:
        raise InputError(f"{path}: {e.strerror}") from None
    with handle:
        reader = csv.DictReader(handle)
        if reader.fieldnames is None:
            raise InputError(f"{path}: the file is empty")
        if column not in reader.fieldnames:
            names = ", ".join(repr(name) for name in reader.fieldnames)
            raise InputError(f"{path}: no column {column!r} (the columns are {names})")
        values = []
        for row in reader:
            cell = (row[column] or "").strip()
            if not cell:
                values.append(math.nan)
                continue
            try:
                values.append(float(cell))
            except ValueError:
                raise InputError(f"{path}, line {reader.line_num}: {cell!r} in column {column!r} is not a number") from None
    # only the empty cells that lead or trail go; inner ones stay, for the test to refuse
    first = next((i for i, v in enumerate(values) if not math.isnan(v)), len(values))
    last = next((i for i in range(len(values) - 1, -1, -1) if not math.isnan(values[i])), first - 1)
    return values[first:last + 1]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Escanciano-Lobato test for serial correlation on a CSV column")
    parser.add_argument("csv", type=Path, help="the CSV file, with a header line")
    parser.add_argument("--column", required=True, help="the column holding the series")
    parser.add_argument("--q", type=float, default=None, help="penalty switch constant (default 2.4)")
    parser.add_argument("--d", type=int, default=None, help="largest lag considered (default floor(n**0.2))")
    args = parser.parse_args(argv)
    try:
        values = read_column(args.csv, args.column)
        result = statistical_tests.EscancianoLobato(values, q=args.q, d=args.d)
    except InputError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except (ValueError, OSError, TypeError, OverflowError) as e:
        # the module's exception with its notes (Python 3.11+: where, and what to do)
        print("error: " + "".join(traceback.format_exception_only(type(e), e)).rstrip(), file=sys.stderr)
        return 2
    print(f"n = {len(values)}")
    print(f"selected lags p~ = {result.p_tilde}")
    print(f"statistic = {result.statistic:.6g}")
    print(f"p-value = {result.pvalue:.6g}")
    return 0


if __name__ == "__main__":
    # A console or file in a legacy code page (cp1252 on Windows, once the
    # output is redirected) cannot hold every character of the notes (the
    # tau-hat of a refusal, say): those are written escaped, not refused.
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    sys.exit(main())
