"""Testing many series across machines with Dask distributed.

Each Dask worker process imports zorvane and tests the series it is sent;
only the three result values travel back. Start a scheduler and workers on
your machines (`dask scheduler`, `dask worker tcp://host:8786`) and pass the
scheduler's address, or run without one for a local cluster of processes.

    python examples/many_series_dask.py [tcp://scheduler:8786]
"""
from __future__ import annotations

import sys

from many_series_pool import Outcome, el_test, simulated


def test_many(client, series, batch: int = 100) -> list[Outcome]:
    """Outcomes in the order of `series`; one task per batch of series."""
    batches = [series[i : i + batch] for i in range(0, len(series), batch)]
    futures = client.map(lambda group: [el_test(s) for s in group], batches, pure=False)
    return [outcome for group in client.gather(futures) for outcome in group]


def main() -> None:
    from dask.distributed import Client, LocalCluster

    if len(sys.argv) > 1:
        client = Client(sys.argv[1])
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True))
    with client:
        outcomes = test_many(client, simulated(2000))
    rejected = sum(o.pvalue < 0.05 for o in outcomes)
    print(f"{len(outcomes)} series tested; rejected at 5%: {rejected} ({100 * rejected / len(outcomes):.1f}%)")


if __name__ == "__main__":
    main()
