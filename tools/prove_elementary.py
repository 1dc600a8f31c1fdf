"""Usage: python tools/prove_elementary.py PROBE [--count N] [--hard-sample K] [--seed S]

Checks the module's exp and log (through PROBE, the zorvane_elementary_probe
test executable) against MPFR's correctly rounded ones (gmpy2, 53 bits with
binary64's subnormal range): N arguments of each function drawn over its
whole range (default 10**7), every published hard-to-round argument in
../shared/hard-to-round (or K of each, evenly spaced), and the boundaries.
Prints one line per function; exits 1 on any difference (or, with
--require-hard, when the hard-to-round lists are missing)."""
from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import gmpy2
import numpy as np

HARD_TO_ROUND = Path(__file__).resolve().parent.parent.parent / "shared" / "hard-to-round"
# evenly spaced arguments of those lists, kept in the repository for checkouts without them
HARD_SAMPLE = Path(__file__).resolve().parent.parent / "tests" / "elementary"
BINARY64 = gmpy2.context(precision=53, emin=-1073, emax=1024, subnormalize=True)


def reference(job: tuple[str, np.ndarray]) -> np.ndarray:
    name, arguments = job
    gmpy2.set_context(BINARY64)
    function, mpfr = getattr(gmpy2, name), gmpy2.mpfr
    return np.array([float(function(mpfr(x))) for x in arguments.tolist()], dtype=np.float64)


def positive_bits(rng: np.random.Generator, count: int, low: float, high: float) -> np.ndarray:
    """Doubles with bit patterns uniform between those of low and high (every binade alike)."""
    lo, hi = np.array([low, high]).view(np.int64)
    return rng.integers(lo, hi, count, endpoint=True).view(np.float64)


def drawn(name: str, rng: np.random.Generator, count: int) -> np.ndarray:
    share = [count * p // 100 for p in (40, 30, 20, 10)]
    if name == "exp":
        parts = [
            rng.uniform(-746.0, 710.0, share[0]),
            positive_bits(rng, share[1], 2.0**-60, 746.0) * rng.choice([-1.0, 1.0], share[1]),
            rng.uniform(-1.0, 1.0, share[2]),
            np.concatenate([rng.uniform(-746.0, -707.0, share[3] // 2), rng.uniform(709.0, 710.0, share[3] // 2)]),
        ]
    else:
        parts = [
            positive_bits(rng, share[0], 2.0**-1074, 1.7976931348623157e308),
            rng.uniform(0.5, 2.0, share[1]),
            1.0 + rng.uniform(-2.0**-20, 2.0**-20, share[2]),
            np.concatenate([rng.integers(2, 10**7, share[3] // 2).astype(np.float64),
                            positive_bits(rng, share[3] // 2, 2.0**-1074, 2.0**-1022)]),
        ]
    return np.concatenate(parts)


def boundaries(name: str) -> np.ndarray:
    values = [0.0, -0.0, math.inf, -math.inf, math.nan, 1.0, -1.0, 2.0**-1074, 2.0**-1022, 1.7976931348623157e308]
    if name == "exp":
        for edge in (709.782712893384, -708.3964185322641, -745.1332191019411, 2.0**-54, -(2.0**-54), 0.5 * math.log(2)):
            values += [edge, *(math.nextafter(edge, direction) for direction in (-math.inf, math.inf))]
        # around multiples of ln2/256: where r is 0, and where the table index changes
        multiples = np.arange(-275_600, 262_300, 97) * math.log(2) / 256
        values += list((multiples[:, None] + np.arange(-5, 6) * 2.0**-40).ravel())
    else:
        values += [2.0**k for k in range(-1074, 1024)]
        values += [math.nextafter(1.0, 0.0), math.nextafter(1.0, 2.0), math.sqrt(2), math.sqrt(0.5)]
        values += [(i + 0.5) / 256 for i in range(181, 363)]
        values += [math.nextafter((i + 0.5) / 256, d) for i in range(181, 363) for d in (0.0, 2.0)]
    return np.array(values, dtype=np.float64)


def hard_list(name: str) -> Path | None:
    """The published list, or else the repository's sample of it."""
    for path in (HARD_TO_ROUND / f"{name}.txt", HARD_SAMPLE / f"{name}_hard_sample.txt"):
        if path.exists():
            return path
    return None


def hard(name: str, sample: int | None) -> np.ndarray:
    path = hard_list(name)
    if path is None:
        return np.array([], dtype=np.float64)
    listed = np.array([float.fromhex(line) for line in path.read_text().split()])
    if sample is None or sample >= len(listed):
        return listed
    return listed[np.arange(sample) * len(listed) // sample]


def probe(path: str, name: str, arguments: np.ndarray) -> np.ndarray:
    result = subprocess.run([path, name], input=arguments.tobytes(), capture_output=True, check=True)
    return np.frombuffer(result.stdout, dtype=np.float64)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("probe")
    parser.add_argument("--count", type=int, default=10**7)
    parser.add_argument("--hard-sample", type=int, default=None)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--require-hard", action="store_true", help="fail when the hard-to-round lists are missing")
    options = parser.parse_args()
    if not HARD_TO_ROUND.is_dir():
        if options.require_hard:
            print(f"no hard-to-round lists at {HARD_TO_ROUND}")
            return 1
        print(f"no hard-to-round lists at {HARD_TO_ROUND}: the repository's sample of 1,500 of each instead")
    rng = np.random.default_rng(options.seed)
    workers = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)
    failed = False
    with ProcessPoolExecutor(workers) as pool:
        for name in ("exp", "log"):
            arguments = np.concatenate([boundaries(name), hard(name, options.hard_sample),
                                        drawn(name, rng, options.count)])
            got = probe(options.probe, name, arguments)
            chunks = np.array_split(arguments, 8 * workers)
            want = np.concatenate(list(pool.map(reference, [(name, chunk) for chunk in chunks])))
            same = (got.view(np.int64) == want.view(np.int64)) | (np.isnan(got) & np.isnan(want))
            wrong = np.flatnonzero(~same)
            print(f"{name}: {len(arguments):,} arguments ({len(hard(name, options.hard_sample)):,} hard to round), "
                  f"{len(wrong)} not correctly rounded")
            for i in wrong[:10]:
                print(f"  {name}({arguments[i].hex()}) = {got[i].hex()}, correctly rounded {want[i].hex()}")
            failed = failed or len(wrong) > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
