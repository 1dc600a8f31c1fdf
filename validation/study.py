"""Monte Carlo study of the size and power of the Escanciano-Lobato test
against Ljung-Box, under conditionally heteroscedastic nulls and
autocorrelated alternatives.

    python validation/study.py                 the full study (100,000 replications a cell)
    python validation/study.py --quick --out D  a few hundred replications, written to D

Writes results.csv (dgp,n,test,level,replications,rejections),
lag_selection.csv (how often the test selects each p~ under the nulls, and
its 5% rejections given that p~), small_samples.csv (the test's size at 5%
for n = 10 to 100 and d from the default up to n), the PNG figures and
validation.md.
Every random draw comes from a seed fixed by (design, n, chunk), so the
output does not depend on how the chunks are spread over the processes.
"""
from __future__ import annotations

import argparse
import csv
import math
import os
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
SEED = 20261207
BURN_IN = 500
SIZES = (100, 300, 1000)
LEVELS = (0.01, 0.05, 0.10)
NULLS = ("iid", "garch", "arch", "sv")
ALTERNATIVES = ("ar1_0.1", "ar1_0.2", "ma1_0.2", "ar1_0.2_garch")
DGPS = NULLS + ALTERNATIVES
TESTS = ("el", "el_d10", "lb1", "lb5", "lb10")
# Small samples and many lags: the size at 5% of this module alone, for d
# from its default up to n (named by their share of n)
SMALL_SIZES = (10, 20, 50, 100)
SMALL_NULLS = ("iid", "garch")
LAG_CHOICES = ("default", "n/8", "n/4", "n/2", "3n/4", "n-1", "n")
CHUNK = 5000  # replications per task
REPLICATIONS = 100_000


# --- data-generating processes (replications in rows) ------------------------

def garch_errors(e: np.ndarray) -> np.ndarray:
    """y_t = s_t e_t, s2_t = 0.1 + 0.1 y_{t-1}^2 + 0.8 s2_{t-1}, from the stationary variance 1."""
    y = np.empty_like(e)
    s2 = np.ones(e.shape[0])
    previous = np.zeros(e.shape[0])
    for t in range(e.shape[1]):
        s2 = 0.1 + 0.1 * previous * previous + 0.8 * s2
        previous = np.sqrt(s2) * e[:, t]
        y[:, t] = previous
    return y


def ar1(u: np.ndarray, phi: float) -> np.ndarray:
    y = np.empty_like(u)
    previous = np.zeros(u.shape[0])
    for t in range(u.shape[1]):
        previous = phi * previous + u[:, t]
        y[:, t] = previous
    return y


def simulate(dgp: str, n: int, reps: int, rng: np.random.Generator) -> np.ndarray:
    """A (reps, n) array of series; recursive processes drop a burn-in of 500 values."""
    total = BURN_IN + n
    if dgp == "iid":
        return rng.standard_normal((reps, n))
    if dgp == "ma1_0.2":
        e = rng.standard_normal((reps, n + 1))
        return e[:, 1:] + 0.2 * e[:, :-1]
    e = rng.standard_normal((reps, total))
    if dgp == "garch":
        y = garch_errors(e)
    elif dgp == "arch":
        y = np.empty_like(e)
        previous = np.zeros(reps)
        for t in range(total):
            previous = np.sqrt(0.5 + 0.5 * previous * previous) * e[:, t]
            y[:, t] = previous
    elif dgp == "sv":
        eta = rng.standard_normal((reps, total))
        h = ar1(0.3 * eta, 0.95)
        y = np.exp(h / 2.0) * e
    elif dgp in ("ar1_0.1", "ar1_0.2"):
        y = ar1(e, float(dgp.split("_")[1]))
    elif dgp == "ar1_0.2_garch":
        y = ar1(garch_errors(e), 0.2)
    else:
        raise ValueError(dgp)
    return y[:, BURN_IN:]


# --- the tests -----------------------------------------------------------------

def ljung_box_pvalues(y: np.ndarray, lags: tuple[int, ...]) -> dict[int, np.ndarray]:
    """Ljung-Box p-values for each row at each number of lags, chi-square(m) reference."""
    from scipy.stats import chi2

    n = y.shape[1]
    w = y - y.mean(axis=1, keepdims=True)
    c0 = np.einsum("ij,ij->i", w, w)
    terms = np.stack([np.einsum("ij,ij->i", w[:, :-k], w[:, k:]) / c0 for k in range(1, max(lags) + 1)], axis=1)
    weighted = terms * terms / (n - np.arange(1, max(lags) + 1))
    cumulative = n * (n + 2) * np.cumsum(weighted, axis=1)
    return {m: chi2.sf(cumulative[:, m - 1], m) for m in lags}


@dataclass
class ChunkResult:
    dgp: str
    n: int
    reps: int
    rejections: dict[tuple[str, float], int]
    p_tilde: dict[int, tuple[int, int]]  # p~ -> (count, 5% rejections)


def run_chunk(task: tuple[int, int, int, int]) -> ChunkResult:
    from zorvane import statistical_tests

    dgp_index, n, chunk, reps = task
    dgp = DGPS[dgp_index]
    rng = np.random.default_rng(np.random.SeedSequence(SEED, spawn_key=(dgp_index, n, chunk)))
    y = simulate(dgp, n, reps, rng)
    pvalues = {f"lb{m}": p for m, p in ljung_box_pvalues(y, (1, 5, 10)).items()}
    el = [statistical_tests.EscancianoLobato(row) for row in y]
    pvalues["el"] = np.array([r.pvalue for r in el])
    pvalues["el_d10"] = np.array([statistical_tests.EscancianoLobato(row, d=10).pvalue for row in y])
    rejections = {(test, level): int(np.count_nonzero(pvalues[test] < level)) for test in TESTS for level in LEVELS}
    p_tilde: dict[int, tuple[int, int]] = {}
    for r in el:
        count, rejected = p_tilde.get(r.p_tilde, (0, 0))
        p_tilde[r.p_tilde] = (count + 1, rejected + int(r.pvalue < 0.05))
    return ChunkResult(dgp, n, reps, rejections, p_tilde)


def lag_choice(label: str, n: int) -> int | None:
    """d for a label of LAG_CHOICES (None: the module's default)."""
    return {"default": None, "n/8": max(1, n // 8), "n/4": max(1, n // 4), "n/2": n // 2, "3n/4": 3 * n // 4,
            "n-1": n - 1, "n": n}[label]


def run_small_chunk(task: tuple[int, int, int, int]) -> tuple[str, int, int, dict[str, int]]:
    """5% rejections of each d of LAG_CHOICES on one chunk of a small-sample null."""
    import warnings

    from zorvane import statistical_tests

    dgp_index, n, chunk, reps = task
    dgp = SMALL_NULLS[dgp_index]
    rng = np.random.default_rng(np.random.SeedSequence(SEED, spawn_key=(100 + dgp_index, n, chunk)))
    y = simulate(dgp, n, reps, rng)
    rejections = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the warning of d >= n/2 is what is measured here
        for label in LAG_CHOICES:
            d = lag_choice(label, n)
            rejections[label] = sum(statistical_tests.EscancianoLobato(row, d=d).pvalue < 0.05 for row in y)
    return dgp, n, reps, rejections


# --- the study -------------------------------------------------------------------

def run(replications: int, workers: int) -> tuple[dict, dict]:
    from tqdm import tqdm

    tasks = []
    for dgp_index in range(len(DGPS)):
        for n in SIZES:
            for chunk, start in enumerate(range(0, replications, CHUNK)):
                tasks.append((dgp_index, n, chunk, min(CHUNK, replications - start)))
    cells: dict[tuple[str, int], dict] = {}
    selection: dict[tuple[str, int], dict[int, list[int]]] = {}
    with ProcessPoolExecutor(max_workers=workers) as pool:
        for result in tqdm(pool.map(run_chunk, tasks), total=len(tasks), desc="chunks", unit="chunk"):
            cell = cells.setdefault((result.dgp, result.n), {"reps": 0, "rejections": {}})
            cell["reps"] += result.reps
            for key, count in result.rejections.items():
                cell["rejections"][key] = cell["rejections"].get(key, 0) + count
            chosen = selection.setdefault((result.dgp, result.n), {})
            for p, (count, rejected) in result.p_tilde.items():
                totals = chosen.setdefault(p, [0, 0])
                totals[0] += count
                totals[1] += rejected
    return cells, selection


def run_small(replications: int, workers: int) -> dict[tuple[str, int], dict]:
    from tqdm import tqdm

    tasks = [(dgp_index, n, chunk, min(CHUNK, replications - start))
             for dgp_index in range(len(SMALL_NULLS)) for n in SMALL_SIZES
             for chunk, start in enumerate(range(0, replications, CHUNK))]
    cells: dict[tuple[str, int], dict] = {}
    with ProcessPoolExecutor(max_workers=workers) as pool:
        for dgp, n, reps, rejections in tqdm(pool.map(run_small_chunk, tasks), total=len(tasks),
                                             desc="small-sample chunks", unit="chunk"):
            cell = cells.setdefault((dgp, n), {"reps": 0, "rejections": dict.fromkeys(LAG_CHOICES, 0)})
            cell["reps"] += reps
            for label, count in rejections.items():
                cell["rejections"][label] += int(count)
    return cells


def write_small(out: Path, cells: dict) -> list[dict]:
    rows = [{"dgp": dgp, "n": n, "d": label, "d_value": lag_choice(label, n) or "", "replications": cells[(dgp, n)]["reps"],
             "rejections_at_5pct": cells[(dgp, n)]["rejections"][label]}
            for dgp in SMALL_NULLS for n in SMALL_SIZES for label in LAG_CHOICES]
    with open(out / "small_samples.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    return rows


def small_table(rows: list[dict]) -> list[str]:
    lines = ["| null | n | " + " | ".join(f"d = {label}" for label in LAG_CHOICES) + " |",
             "|---|---:|" + "---:|" * len(LAG_CHOICES)]
    for dgp in SMALL_NULLS:
        for n in SMALL_SIZES:
            mine = {r["d"]: r for r in rows if (r["dgp"], r["n"]) == (dgp, n)}
            lines.append(f"| {dgp} | {n} | " + " | ".join(
                f"{mine[label]['rejections_at_5pct'] / mine[label]['replications']:.3f}" for label in LAG_CHOICES) + " |")
    return lines


def write_results(out: Path, cells: dict, selection: dict) -> list[dict]:
    rows = []
    for dgp in DGPS:
        for n in SIZES:
            cell = cells[(dgp, n)]
            for test in TESTS:
                for level in LEVELS:
                    rows.append({"dgp": dgp, "n": n, "test": test, "level": level, "replications": cell["reps"],
                                 "rejections": cell["rejections"][(test, level)]})
    with open(out / "results.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["dgp", "n", "test", "level", "replications", "rejections"],
                                lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    with open(out / "lag_selection.csv", "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["dgp", "n", "p_tilde", "replications", "rejections_at_5pct"])
        for dgp in NULLS:
            for n in SIZES:
                for p, (count, rejected) in sorted(selection[(dgp, n)].items()):
                    writer.writerow([dgp, n, p, count, rejected])
    return rows


def rate(rows: list[dict], dgp: str, n: int, test: str, level: float) -> tuple[float, float]:
    (row,) = [r for r in rows if (r["dgp"], r["n"], r["test"], r["level"]) == (dgp, n, test, level)]
    p = row["rejections"] / row["replications"]
    return p, math.sqrt(p * (1.0 - p) / row["replications"])


# Each figure is drawn twice: NAME.png with its panels side by side, for a
# page beside the site's sidebars, and NAME.phone.png with them one above the
# other, 3.6 inches wide at 160 dpi, which the site shows on a phone: there
# its smallest text (8 pt) stays about 10 px high.
PHONE_WIDTH = 3.6
PHONE_DPI = 160


def figures(out: Path, rows: list[dict]) -> None:
    for phone in (False, True):
        draw_figures(out, rows, phone)


def draw_figures(out: Path, rows: list[dict], phone: bool) -> None:
    import textwrap

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"svg.hashsalt": "zorvane", "font.size": 9})
    styles = {"el": ("EL (this module)", "C0", "o"), "lb1": ("Ljung-Box, 1 lag", "C1", "s"),
              "lb10": ("Ljung-Box, 10 lags", "C3", "^"), "el_d10": ("EL, d = 10", "C2", "D"),
              "lb5": ("Ljung-Box, 5 lags", "C4", "v")}

    def size_panel(ax, dgp, level, tests=("el", "lb1", "lb10")):
        replications = rows[0]["replications"]
        band = 2.0 * math.sqrt(level * (1.0 - level) / replications)
        ax.axhspan(level - band, level + band, color="0.85", label="nominal ± 2 s.e.")
        ax.axhline(level, color="0.3", linewidth=0.8)
        for test in tests:
            label, color, marker = styles[test]
            ax.plot(SIZES, [rate(rows, dgp, n, test, level)[0] for n in SIZES], marker=marker, color=color,
                    label=label)
        ax.set_xscale("log")
        ax.set_xticks(SIZES, [str(n) for n in SIZES])
        ax.set_xlabel("n")
        ax.grid(True, alpha=0.3)

    save = {"dpi": PHONE_DPI if phone else 100, "metadata": {"Software": None}}
    suffix = ".phone.png" if phone else ".png"

    def panels(count: int, width: float, **shared):
        """`count` panels side by side, `width` inches wide, or on a phone one above the other."""
        if phone:
            return plt.subplots(count, 1, figsize=(PHONE_WIDTH, 2.4 * count + 0.5), **shared)
        return plt.subplots(1, count, figsize=(width, 3.4), **shared)

    def suptitle(fig, text: str) -> None:
        fig.suptitle(textwrap.fill(text, 48) if phone else text)

    for dgp in NULLS:
        fig, axes = panels(3, 11)
        for ax, level in zip(axes, LEVELS):
            size_panel(ax, dgp, level)
            ax.set_title(f"{dgp}: size at {level:.0%}")
        axes[0].set_ylabel("rejection rate")
        axes[0].legend(fontsize=8, loc="best")
        fig.tight_layout()
        fig.savefig(out / f"size_{dgp}{suffix}", **save)
        plt.close(fig)

    fig, axes = panels(4, 13, sharey=True)
    for ax, dgp in zip(axes, NULLS):
        size_panel(ax, dgp, 0.05, ("el", "lb10"))
        ax.set_title(f"null: {dgp}")
    axes[0].set_ylabel("rejection rate at 5%")
    axes[0].legend(fontsize=8)
    suptitle(fig, "Size at 5% under the nulls: Ljung-Box's error grows with n, the robust test's shrinks")
    fig.tight_layout()
    fig.savefig(out / f"size_headline{suffix}", **save)
    plt.close(fig)

    fig, axes = panels(4, 13, sharey=True)
    for ax, dgp in zip(axes, ALTERNATIVES):
        for test in TESTS:
            label, color, marker = styles[test]
            ax.plot(SIZES, [rate(rows, dgp, n, test, 0.05)[0] for n in SIZES], marker=marker, color=color,
                    label=label)
        ax.set_xscale("log")
        ax.set_xticks(SIZES, [str(n) for n in SIZES])
        ax.set_xlabel("n")
        ax.set_title(dgp)
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("rejection rate at 5%")
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out / f"power{suffix}", **save)
    plt.close(fig)


def table(rows: list[dict], dgps: tuple[str, ...], level: float) -> list[str]:
    lines = ["| dgp | n | " + " | ".join(TESTS) + " |", "|---|---:|" + "---:|" * len(TESTS)]
    for dgp in dgps:
        for n in SIZES:
            cells = []
            for test in TESTS:
                p, se = rate(rows, dgp, n, test, level)
                cells.append(f"{p:.4f} ({se:.4f})")
            lines.append(f"| {dgp} | {n} | " + " | ".join(cells) + " |")
    return lines


def selection_summary(out: Path) -> dict[tuple[str, int], tuple[float, float, float, float]]:
    """Per null and n: share with p~ = 1, its 5% rejection rate, share with p~ >= 2, its 5% rejection rate."""
    with open(out / "lag_selection.csv") as f:
        records = list(csv.DictReader(f))
    summary = {}
    for dgp in NULLS:
        for n in SIZES:
            mine = [r for r in records if r["dgp"] == dgp and int(r["n"]) == n]
            total = sum(int(r["replications"]) for r in mine)
            parts = []
            for group in ([r for r in mine if int(r["p_tilde"]) == 1], [r for r in mine if int(r["p_tilde"]) >= 2]):
                count = sum(int(r["replications"]) for r in group)
                rejected = sum(int(r["rejections_at_5pct"]) for r in group)
                parts += [count / total, rejected / count if count else float("nan")]
            summary[(dgp, n)] = tuple(parts)
    return summary


def selection_table(summary: dict) -> list[str]:
    lines = ["| null | n | share with p̃ = 1 | 5% rejections given p̃ = 1 | share with p̃ ≥ 2 | 5% rejections given p̃ ≥ 2 |",
             "|---|---:|---:|---:|---:|---:|"]
    for (dgp, n), (s1, r1, s2, r2) in summary.items():
        lines.append(f"| {dgp} | {n} | {s1:.4f} | {r1:.4f} | {s2:.4f} | {r2:.4f} |")
    return lines


def document(out: Path, rows: list[dict], small: list[dict], markdown: Path) -> None:
    template = (Path(__file__).parent / "validation_template.md").read_text()
    values = {}
    for dgp in DGPS:
        for n in SIZES:
            for test in TESTS:
                # no dots in a field name: format() would read them as attribute access
                values[f"size_{dgp.replace('.', '')}_{n}_{test}"] = f"{rate(rows, dgp, n, test, 0.05)[0]:.4f}"
    summary = selection_summary(out)
    for (dgp, n), (_, rate1, share2, _) in summary.items():
        values[f"share2_{dgp}_{n}"] = f"{share2:.4f}"
        values[f"rate1_{dgp}_{n}"] = f"{rate1:.4f}"
    values.update({
        "replications": f"{rows[0]['replications']:,}",
        "size_tables": "\n\n".join(f"At {level:.0%}:\n\n" + "\n".join(table(rows, NULLS, level)) for level in LEVELS),
        "power_tables": "\n\n".join(f"At {level:.0%}:\n\n" + "\n".join(table(rows, ALTERNATIVES, level))
                                    for level in LEVELS),
        "selection_table": "\n".join(selection_table(summary)),
        "small_table": "\n".join(small_table(small)),
    })
    for r in small:
        key = f"small_{r['dgp']}_{r['n']}_{r['d'].replace('/', 'over').replace('-', 'minus')}"
        values[key] = f"{r['rejections_at_5pct'] / r['replications']:.3f}"
    markdown.write_text(template.format(**values))


def read_results(out: Path) -> list[dict]:
    with open(out / "results.csv", newline="") as f:
        return [{"dgp": r["dgp"], "n": int(r["n"]), "test": r["test"], "level": float(r["level"]),
                 "replications": int(r["replications"]), "rejections": int(r["rejections"])}
                for r in csv.DictReader(f)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="300 replications a cell, to check the pipeline")
    parser.add_argument("--replications", type=int, default=None)
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "validation")
    parser.add_argument("--markdown", type=Path, default=None, help="default: docs/validation.md, or OUT/validation.md")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--figures-only", action="store_true", help="redraw the figures from OUT/results.csv")
    args = parser.parse_args()
    if args.figures_only:
        figures(args.out, read_results(args.out))
        print(f"redrew the figures in {args.out}")
        return
    replications = args.replications or (300 if args.quick else REPLICATIONS)
    args.out.mkdir(parents=True, exist_ok=True)
    markdown = args.markdown or (ROOT / "docs" / "validation.md" if args.out == ROOT / "docs" / "validation"
                                 else args.out / "validation.md")

    cells, selection = run(replications, args.workers)
    rows = write_results(args.out, cells, selection)
    small = write_small(args.out, run_small(replications, args.workers))
    figures(args.out, rows)
    document(args.out, rows, small, markdown)
    print(f"wrote {args.out / 'results.csv'}, the figures and {markdown}")


if __name__ == "__main__":
    main()
