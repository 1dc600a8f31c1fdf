"""The tutorial on real data: S&P 500 returns, the 3-month T-bill rate and a
few classic series, tested with this module and with Ljung-Box.

    python tutorial/tutorial.py               rewrites docs/tutorial.md and docs/tutorial/*.png
    python tutorial/tutorial.py --out DIR     writes DIR/tutorial.md and the figures to DIR

Prints every number the page quotes, one `name = value` a line. The data come
from packages: `arch` ships the S&P 500 (Yahoo Finance daily prices,
1999-2018), statsmodels the US macro data, the Nile and the sunspots.
"""
from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np
import pandas as pd

from zorvane import statistical_tests

ROOT = Path(__file__).resolve().parents[1]
WINDOW = 504  # about two years of trading days
STEP = 21  # about a month
LAGS = 20


def el(x, **kwargs):
    return statistical_tests.EscancianoLobato(np.asarray(x, dtype=np.float64), **kwargs)


def ljung_box(x, lags: int) -> float:
    from statsmodels.stats.diagnostic import acorr_ljungbox

    return float(acorr_ljungbox(np.asarray(x), lags=[lags])["lb_pvalue"].iloc[0])


def correlograms(x: np.ndarray, lags: int) -> tuple[np.ndarray, np.ndarray]:
    """Ordinary and robust autocorrelations at lags 1..lags, from the definitions:
    rho_j = sum u_t u_(t+j) / sum u_t^2 and rho~_j = gamma_j / sqrt(tau_j), with
    gamma_j and tau_j the means over the n - j pairs of u_t u_(t+j) and
    u_t^2 u_(t+j)^2 (u the deviations from the mean)."""
    u = x - x.mean()
    plain = np.array([np.dot(u[:-j], u[j:]) / np.dot(u, u) for j in range(1, lags + 1)])
    robust = np.empty(lags)
    for j in range(1, lags + 1):
        gamma = np.mean(u[:-j] * u[j:])
        tau = np.mean((u[:-j] * u[:-j]) * (u[j:] * u[j:]))
        robust[j - 1] = gamma / math.sqrt(tau)
    return plain, robust


def sp500_returns() -> pd.Series:
    from arch.data import sp500

    prices = sp500.load()["Adj Close"]
    returns = 100 * np.log(prices).diff().dropna()
    returns.name = "S&P 500 daily log return, %"
    return returns


def tbill_changes() -> pd.Series:
    import statsmodels.api as sm

    macro = sm.datasets.macrodata.load_pandas().data
    index = pd.PeriodIndex.from_fields(year=macro["year"].astype(int), quarter=macro["quarter"].astype(int),
                                       freq="Q")
    rate = pd.Series(macro["tbilrate"].to_numpy(), index=index, name="3-month T-bill rate, %")
    return rate


def rolling(returns: pd.Series) -> pd.DataFrame:
    from tqdm import tqdm

    starts = range(0, len(returns) - WINDOW + 1, STEP)
    rows = []
    for start in tqdm(starts, desc="rolling windows", unit="window"):
        window = returns.iloc[start:start + WINDOW]
        r = el(window)
        rows.append({"end": window.index[-1], "el": r.pvalue, "lb10": ljung_box(window, 10), "p_tilde": r.p_tilde})
    return pd.DataFrame(rows).set_index("end")


def classic_series() -> list[tuple[str, np.ndarray]]:
    import statsmodels.api as sm

    macro = sm.datasets.macrodata.load_pandas().data
    return [
        ("US real GDP growth, quarterly", np.diff(np.log(macro["realgdp"].to_numpy())) * 100),
        ("US CPI inflation, quarterly", macro["infl"].to_numpy()[1:]),
        ("US M1 growth, quarterly", np.diff(np.log(macro["m1"].to_numpy())) * 100),
        ("Nile volume, annual", sm.datasets.nile.load_pandas().data["volume"].to_numpy()),
        ("Sunspots, annual", sm.datasets.sunspots.load_pandas().data["SUNACTIVITY"].to_numpy()),
    ]


# Each figure is drawn twice: NAME.png with its panels side by side, for a
# page beside the site's sidebars, and NAME.phone.png with them one above the
# other, 3.6 inches wide at 160 dpi, which the site shows on a phone: there
# its smallest text (8 pt) stays about 10 px high.
PHONE_WIDTH = 3.6
PHONE_DPI = 160


def figures(out: Path, *data) -> None:
    for phone in (False, True):
        draw_figures(out, *data, phone=phone)


def draw_figures(out: Path, returns: pd.Series, plain: np.ndarray, robust: np.ndarray, rate: pd.Series,
                 tbill_plain: np.ndarray, tbill_robust: np.ndarray, windows: pd.DataFrame, phone: bool) -> None:
    import textwrap

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 9})
    save = {"dpi": PHONE_DPI if phone else 100, "metadata": {"Software": None}}
    suffix = ".phone.png" if phone else ".png"
    lags = np.arange(1, LAGS + 1)

    def panels(count: int, height: float, **options):
        """`count` panels side by side, 11 inches wide, or on a phone one above the other."""
        if phone:
            options.pop("gridspec_kw", None)
            return plt.subplots(count, 1, figsize=(PHONE_WIDTH, 2.6 * count + 0.5), **options)
        return plt.subplots(1, count, figsize=(11, height), **options)

    def title(text: str, width: int = 40) -> str:
        return textwrap.fill(text, width) if phone else text

    def correlogram(ax, values, n, title, color):
        band = 1.96 / math.sqrt(n)
        ax.axhspan(-band, band, color="0.88", label=f"±1.96/√n (n = {n:,})")
        ax.vlines(lags, 0, values, color=color, linewidth=2)
        ax.axhline(0, color="0.3", linewidth=0.8)
        ax.set_title(title)
        ax.set_xlabel("lag j (trading days)" if n > 1000 else "lag j (quarters)")
        ax.set_xticks(lags[::2] if n > 1000 else lags[::2])
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower right", fontsize=8)

    n = len(returns)
    fig, axes = panels(2, 3.4, sharey=True)
    correlogram(axes[0], plain, n, "Ordinary autocorrelation ρ̂ⱼ", "C1")
    correlogram(axes[1], robust, n, "Robust autocorrelation ρ̃ⱼ", "C0")
    axes[0].set_ylabel("autocorrelation")
    fig.suptitle(title("S&P 500 daily log returns, 1999–2018: the band is the 5% bound for one lag"))
    fig.tight_layout()
    fig.savefig(out / f"sp500_correlograms{suffix}", **save)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(PHONE_WIDTH, 3.4) if phone else (11, 3.6))
    ax.semilogy(windows.index, windows["lb10"], color="C1", linewidth=1.2, label="Ljung–Box, 10 lags")
    ax.semilogy(windows.index, windows["el"], color="C0", linewidth=1.2, label="Escanciano–Lobato (this module)")
    ax.axhline(0.05, color="0.2", linestyle="--", linewidth=0.9, label="5%")
    ax.set_ylabel("p-value (log scale)")
    ax.set_xlabel("end of the 504-day window")
    ax.set_title(title("S&P 500 daily log returns: p-values over rolling two-year windows, stepped monthly", 34))
    if phone:
        from matplotlib.dates import YearLocator

        ax.xaxis.set_major_locator(YearLocator(4))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(out / f"sp500_rolling_pvalues{suffix}", **save)
    plt.close(fig)

    changes = rate.diff().dropna()
    dates = changes.index.to_timestamp()
    fig, axes = panels(2, 3.6, gridspec_kw={"width_ratios": [3, 2]})
    axes[0].plot(dates, changes.to_numpy(), color="0.25", linewidth=0.9)
    for (first, last), color in ((("1959", "1979"), "C2"), (("1980", "2009"), "C3")):
        part = changes[first:last]
        sd = part.std()
        span = part.index.to_timestamp()
        axes[0].fill_between(span, -2 * sd, 2 * sd, color=color, alpha=0.18,
                             label=f"±2 s.d., {first}–{last[-2:] if last != '2009' else '2009'}: s.d. {sd:.2f}")
    axes[0].set_ylabel("quarterly change, percentage points")
    axes[0].set_xlabel("quarter")
    axes[0].set_title("3-month T-bill rate, first differences")
    axes[0].legend(loc="lower left", fontsize=8)
    axes[0].grid(True, alpha=0.3)
    m = len(changes)
    width = 0.38
    axes[1].axhspan(-1.96, 1.96, color="0.88", zorder=0, label="±1.96")
    axes[1].bar(lags[:10] - width / 2, math.sqrt(m) * tbill_plain[:10], width, color="C1", label="√n·ρ̂ⱼ (ordinary)")
    axes[1].bar(lags[:10] + width / 2, math.sqrt(m) * tbill_robust[:10], width, color="C0", label="√n·ρ̃ⱼ (robust)")
    axes[1].axhline(0, color="0.3", linewidth=0.8)
    axes[1].set_xticks(lags[:10])
    axes[1].set_xlabel("lag j (quarters)")
    axes[1].set_ylabel("standardised autocorrelation")
    axes[1].set_title("Ordinary against robust, lags 1–10")
    axes[1].legend(loc="lower right", fontsize=8)
    axes[1].grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(out / f"tbill_variance_shift{suffix}", **save)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "tutorial")
    parser.add_argument("--markdown", type=Path, default=None, help="default: docs/tutorial.md, or OUT/tutorial.md")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    markdown = args.markdown or (ROOT / "docs" / "tutorial.md" if args.out == ROOT / "docs" / "tutorial"
                                 else args.out / "tutorial.md")
    v: dict[str, str] = {}

    # --- S&P 500 returns ------------------------------------------------------
    returns = sp500_returns()
    x = returns.to_numpy()
    r = el(returns)
    squared = el(x * x)
    v.update(sp_n=f"{len(x):,}", sp_first=f"{returns.index[0]:%Y-%m-%d}", sp_last=f"{returns.index[-1]:%Y-%m-%d}",
             sp_p_tilde=str(r.p_tilde), sp_statistic=f"{r.statistic:.3f}", sp_pvalue=f"{r.pvalue:.3g}",
             sp_d=str(math.floor(len(x) ** 0.2)),
             sp_lb5=f"{ljung_box(x, 5):.3g}", sp_lb10=f"{ljung_box(x, 10):.3g}",
             sp2_p_tilde=str(squared.p_tilde), sp2_statistic=f"{squared.statistic:.1f}",
             sp2_pvalue=f"{squared.pvalue:.3g}", sp2_lb10=f"{ljung_box(x * x, 10):.3g}")
    plain, robust = correlograms(x, LAGS)
    # the module's statistic is n times the sum of the first p~ squared robust autocorrelations
    rebuilt = len(x) * float(np.sum(robust[:r.p_tilde] ** 2))
    relative = abs(rebuilt - r.statistic) / r.statistic
    assert relative <= 1e-12, relative
    v.update(sp_rebuilt_error=f"{relative:.1e}", sp_band=f"{1.96 / math.sqrt(len(x)):.4f}",
             sp_plain_outside=str(int(np.sum(np.abs(plain) > 1.96 / math.sqrt(len(x))))),
             sp_robust_outside=str(int(np.sum(np.abs(robust) > 1.96 / math.sqrt(len(x))))),
             sp_plain1=f"{plain[0]:.3f}", sp_robust1=f"{robust[0]:.3f}", sp_plain2=f"{plain[1]:.3f}",
             sp_robust2=f"{robust[1]:.3f}")

    # --- the T-bill rate -------------------------------------------------------
    rate = tbill_changes()
    changes = rate.diff().dropna()
    dx = changes.to_numpy()
    t = el(dx)
    tbill_plain, tbill_robust = correlograms(dx, LAGS)
    root_n = math.sqrt(len(dx))
    v.update(tb_n=str(len(dx)), tb_p_tilde=str(t.p_tilde), tb_statistic=f"{t.statistic:.3f}",
             tb_pvalue=f"{t.pvalue:.2f}", tb_pvalue_d5=f"{el(dx, d=5).pvalue:.2f}",
             tb_p_tilde_d5=str(el(dx, d=5).p_tilde), tb_pvalue_d10=f"{el(dx, d=10).pvalue:.2f}",
             tb_p_tilde_d10=str(el(dx, d=10).p_tilde),
             tb_lb5=f"{ljung_box(dx, 5):.2g}", tb_lb10=f"{ljung_box(dx, 10):.2g}",
             tb_sd_early=f"{changes['1959':'1979'].std():.2f}", tb_sd_late=f"{changes['1980':'2009'].std():.2f}")
    for j in (2, 3, 7):
        v[f"tb_plain{j}"] = f"{root_n * tbill_plain[j - 1]:.2f}"
        v[f"tb_robust{j}"] = f"{root_n * tbill_robust[j - 1]:.2f}"

    # --- rolling windows -----------------------------------------------------------
    windows = rolling(returns)
    v.update(roll_count=str(len(windows)), roll_el_share=f"{(windows['el'] < 0.05).mean():.1%}",
             roll_lb_share=f"{(windows['lb10'] < 0.05).mean():.1%}",
             roll_p2_share=f"{(windows['p_tilde'] >= 2).mean():.1%}")

    # --- classic series ------------------------------------------------------------
    rows = ["| series | n | p̃ | EL p-value | Ljung–Box p-value, 10 lags |", "|---|---:|---:|---:|---:|"]
    for name, values in classic_series():
        c = el(values)
        rows.append(f"| {name} | {len(values)} | {c.p_tilde} | {c.pvalue:.2g} | {ljung_box(values, 10):.2g} |")
    v["classic_table"] = "\n".join(rows)

    figures(args.out, returns, plain, robust, rate, tbill_plain, tbill_robust, windows)
    template = (Path(__file__).parent / "tutorial_template.md").read_text()
    markdown.write_text(template.format(**v))
    for name, value in v.items():
        if name != "classic_table":
            print(f"{name} = {value}")
    print(v["classic_table"])


if __name__ == "__main__":
    main()
