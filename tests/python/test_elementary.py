"""The module's exp and log against MPFR's correctly rounded ones: a slice of
tools/prove_elementary.py (`make prove-elementary` runs 10**7 arguments of
each and every published hard-to-round one)."""
import re
import subprocess
import sys
from pathlib import Path

import pytest
import zorvane

pytest.importorskip("gmpy2")

ROOT = Path(__file__).resolve().parents[2]
PROBE = Path(zorvane.__file__).parent / "zorvane_elementary_probe"


@pytest.mark.thread_unsafe  # one run is enough: it starts its own processes
@pytest.mark.skipif(not PROBE.exists(), reason="the probe is built beside the C++ tests, not into a wheel")
def test_exp_and_log_are_correctly_rounded():
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "prove_elementary.py"), str(PROBE), "--count", "50000",
         "--hard-sample", "1500"], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count(", 0 not correctly rounded") == 2, result.stdout
    # the hard-to-round arguments were there (the published lists or the repository's sample)
    assert [int(n.replace(",", "")) for n in re.findall(r"\(([\d,]+) hard to round\)", result.stdout)] == [1500, 1500]
