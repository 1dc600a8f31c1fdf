"""Every argument pinned: results on series where q and d change the selected
lag, expected bit for bit from a reference written here from the definitions
(and the p-value within 2**-52 of erfc(sqrt(s / 2)), the chi-square(1) tail)."""
import math

import pytest

from conftest import EscancianoLobato, bits

# Two series of quarters (exact in binary): on A the penalty switch moves p~
# from 4 (penalty 2p, small q) to 1 (p ln n); on B from 2 to 1 between
# q = 2.4 and q = 1e300.
A = [1.75, 1.25, 2.0, -2.25, -1.75, 1.25, 0.25, 1.75, 1.75, -0.75, -0.25, 1.25, 1.75, 2.0, 1.5, 1.75, -0.5, 1.75,
     -0.25, 2.0]
B = [-2.0, -2.75, -2.75, -3.0, 1.25, 1.0, 0.25, -1.5, 1.25, 1.0, 2.25, 0.25, 1.0, 2.5, 0.75, 2.5, -0.5, -1.0, 0.25,
     1.5, -0.5, -1.5, -2.75, -1.25, -1.75, 0.75, -1.25, -2.25, -2.0, -0.75, 0.5, 0.0, -2.25, -2.75, 1.25, 0.75, 2.5,
     2.0, 2.25, 2.25]

h = float.fromhex
# (series, q, d, p~, statistic, p-value); None: the default
PINNED = [
    pytest.param(A, 0.5, 4, 4, h("0x1.8d522f6f26b0cp+2"), h("0x1.a0b0f838bd780p-7"), id="A-q0.5-d4"),
    pytest.param(A, 1e-300, 4, 4, h("0x1.8d522f6f26b0cp+2"), h("0x1.a0b0f838bd780p-7"), id="A-q1e-300-d4"),
    pytest.param(A, 5e-324, 4, 4, h("0x1.8d522f6f26b0cp+2"), h("0x1.a0b0f838bd780p-7"), id="A-q-denormal-d4"),
    pytest.param(A, None, 4, 1, h("0x1.ab179fec26f1ep-5"), h("0x1.a386e4229291fp-1"), id="A-default-q-d4"),
    pytest.param(A, 2.4, 4, 1, h("0x1.ab179fec26f1ep-5"), h("0x1.a386e4229291fp-1"), id="A-q2.4-d4"),
    pytest.param(A, 0.5, 3, 1, h("0x1.ab179fec26f1ep-5"), h("0x1.a386e4229291fp-1"), id="A-q0.5-d3"),
    pytest.param(A, 0.5, None, 1, h("0x1.ab179fec26f1ep-5"), h("0x1.a386e4229291fp-1"), id="A-q0.5-default-d"),
    pytest.param(B, 2.4, 2, 2, h("0x1.b28628fca2ab6p+3"), h("0x1.dfb690018d000p-13"), id="B-q2.4-d2"),
    pytest.param(B, 2.4, None, 2, h("0x1.b28628fca2ab6p+3"), h("0x1.dfb690018d000p-13"), id="B-q2.4-default-d"),
    pytest.param(B, 1e300, 2, 1, h("0x1.53fe3d1e57d3ap+3"), h("0x1.24815f74c4a00p-10"), id="B-q1e300-d2"),
    pytest.param(B, math.inf, 4, 1, h("0x1.53fe3d1e57d3ap+3"), h("0x1.24815f74c4a00p-10"), id="B-qinf-d4"),
    pytest.param(B, 1.7976931348623157e308, 4, 1, h("0x1.53fe3d1e57d3ap+3"), h("0x1.24815f74c4a00p-10"),
                 id="B-q-largest-d4"),
    pytest.param(B, 2.4, 1, 1, h("0x1.53fe3d1e57d3ap+3"), h("0x1.24815f74c4a00p-10"), id="B-q2.4-d1"),
]


def reference(x, d, q):
    """p~ and the statistic from the definitions, one float operation at a time
    in the order of the definitions (each sum from -0.0 in index order)."""
    n_f = float(len(x))
    total = -0.0
    for value in x:
        total = total + value
    mean = total / n_f
    slots = [0.0] * (d + 1)
    for k in range(1, d + 1):
        g, t = -0.0, -0.0
        for i in range(len(x) - k):
            u, v = x[i] - mean, x[i + k] - mean
            g = g + u * v
            t = t + (u * u) * (v * v)
        m_f = float(len(x) - k)
        slots[k] = ((g / m_f) * (g / m_f)) / (t / m_f)
    largest = max(math.sqrt(s) for s in slots)
    log_penalty = math.sqrt(q * math.log(n_f)) >= math.sqrt(n_f) * largest
    best, p_tilde, running, chosen = -math.inf, 0, -0.0, -0.0
    for p in range(1, d + 1):
        running = running + slots[p]
        penalty = float(p) * math.log(n_f) if log_penalty else float(2 * p)
        if running * n_f - penalty > best:
            best, p_tilde, chosen = running * n_f - penalty, p, running
    return p_tilde, chosen * n_f


def arguments(q, d):
    return {name: value for name, value in (("q", q), ("d", d)) if value is not None}


@pytest.mark.parametrize("x, q, d, p_tilde, statistic, pvalue", PINNED)
def test_pinned_results(x, q, d, p_tilde, statistic, pvalue):
    r = EscancianoLobato(x, **arguments(q, d))
    assert (r.p_tilde, bits(r.statistic), bits(r.pvalue)) == (p_tilde, bits(statistic), bits(pvalue))


@pytest.mark.parametrize("x, q, d, p_tilde, statistic, pvalue", PINNED)
def test_pinned_values_follow_from_the_definitions(x, q, d, p_tilde, statistic, pvalue):
    effective_d = d if d is not None else math.floor(len(x) ** 0.2)
    assert reference(x, effective_d, 2.4 if q is None else q) == (p_tilde, statistic)
    assert abs(pvalue - math.erfc(math.sqrt(statistic / 2))) <= 2**-52


@pytest.mark.parametrize("call", [
    lambda x: EscancianoLobato(x, 0.5, 4),
    lambda x: EscancianoLobato(x, 0.5, d=4),
    lambda x: EscancianoLobato(x, d=4, q=0.5),
    lambda x: EscancianoLobato(raw_data=x, q=0.5, d=4),
], ids=["positional", "mixed", "keywords-reversed", "all-keywords"])
def test_q_and_d_reach_their_parameters_however_passed(call):
    r = call(A)
    assert (r.p_tilde, bits(r.statistic)) == (4, bits(h("0x1.8d522f6f26b0cp+2")))
