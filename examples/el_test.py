"""Escanciano-Lobato test on one column of a CSV file.

    python examples/el_test.py data.csv --column returns [--q 2.4] [--d 5]

Empty cells are skipped (missing observations); anything else that is not a
number is an error naming its line.
"""
from __future__ import annotations

import argparse
import csv
import sys
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
                continue
            try:
                values.append(float(cell))
            except ValueError:
                raise InputError(f"{path}, line {reader.line_num}: {cell!r} in column {column!r} is not a number") from None
    return values


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
    except (InputError, ValueError, OSError, TypeError, OverflowError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    print(f"n = {len(values)}")
    print(f"selected lags p~ = {result.p_tilde}")
    print(f"statistic = {result.statistic:.6g}")
    print(f"p-value = {result.pvalue:.6g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
