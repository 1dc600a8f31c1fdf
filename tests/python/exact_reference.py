"""The test in exact arithmetic on the float64 values handed in: integers for
every sum, Fractions for the rho~^2, ln n to 60 digits (the standard
library's decimal, so that the reference runs wherever the suite does: on an
emulated aarch64 wheel and under wine too). The answer the module is held to
(see the API page's "Accuracy")."""

import decimal
import math
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

DIGITS = decimal.Context(prec=60)


def to_decimal(value):
    """A Fraction or an int to 60 digits."""
    value = Fraction(value)
    return DIGITS.divide(decimal.Decimal(value.numerator), decimal.Decimal(value.denominator))


@dataclass
class Exact:
    p_tilde: int
    statistic: Fraction     # n (rho~^2_1 + ... + rho~^2_p~)
    near: dict              # p -> S_p for every p whose L_p lies within 2^-10 max(1, |best|) of the best
    tied: set               # every p whose L_p equals the best exactly
    switch_margin: float    # |q ln n - n max rho~^2| relative to q ln n: where it is tiny the switch is undecided


@dataclass
class Refused:
    lag: int


def integer_deviations(x):
    """n x_t - sum x, scaled by one power of two to integers: the deviations
    from the exact mean times a constant, which no rho~^2 depends on."""
    x = [float(v) for v in x]
    exponent = min((math.frexp(v)[1] - 53 for v in x if v != 0.0), default=0)
    ints = [int(Fraction(v) / Fraction(2) ** exponent) for v in x]
    total, n = sum(ints), len(ints)
    return [n * v - total for v in ints]


def exact_answer(x, d=None, q=2.4):
    n = len(x)
    if d is None:
        d = int(math.floor(n ** 0.2))
    f = np.array(integer_deviations(x), dtype=object)
    rho_sq = []
    for k in range(1, min(d, n - 1) + 1):
        u, v = f[: n - k], f[k:]
        g = int(np.dot(u, v))
        t = int(np.dot(u * u, v * v))
        if t == 0:
            return Refused(k)
        rho_sq.append(Fraction(g * g, (n - k) * t))
    log_n = DIGITS.ln(decimal.Decimal(n))
    q_log_n = DIGITS.multiply(to_decimal(q), log_n)
    largest = to_decimal(n * max(rho_sq))
    logarithmic = q_log_n >= largest
    margin = float(abs(q_log_n - largest) / q_log_n) if q_log_n else math.inf

    def criterion(p, s):
        # ties of the 2p penalty exactly; p ln n never ties (ln n is irrational)
        return DIGITS.subtract(to_decimal(s), DIGITS.multiply(decimal.Decimal(p), log_n)) if logarithmic else s - 2 * p

    sums, running = {}, Fraction(0)
    for p, r in enumerate(rho_sq, start=1):
        running += r
        sums[p] = n * running
    crit = {p: criterion(p, s) for p, s in sums.items()}
    best = max(crit.values())
    p_tilde = min(p for p, c in crit.items() if c == best)
    slack = 2.0**-10 * max(1.0, abs(float(best)))
    near = {p: sums[p] for p, c in crit.items() if float(best - c) < slack}
    tied = {p for p, c in crit.items() if c == best}
    return Exact(p_tilde, sums[p_tilde], near, tied, margin)


def check(result_or_error, exact):
    """The module's answer holds to the contract against `exact`."""
    if isinstance(exact, Refused):
        assert isinstance(result_or_error, OSError), (result_or_error, exact)
        assert result_or_error.args == (f"Zero τ̂ value at lag {exact.lag}",)
        return
    assert not isinstance(result_or_error, BaseException), (result_or_error, exact)
    r = result_or_error
    if exact.switch_margin < 1e-9:
        return  # rounding decides the switch either way
    assert r.p_tilde in exact.near, (r.p_tilde, exact.p_tilde, exact.near.keys())
    # an exact tie goes to the smaller p; a near one either way
    assert r.p_tilde not in exact.tied or r.p_tilde == exact.p_tilde, (r.p_tilde, exact.tied)
    want = float(exact.near[r.p_tilde])
    assert abs(r.statistic - want) <= 2**-10 * max(1.0, want), (r.statistic, want)
