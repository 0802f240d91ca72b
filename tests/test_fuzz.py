"""The fuzz harness (fuzz_calls.py) for a short budget. It runs in a process
of its own, so that a crash fails this test instead of ending the run.
ZULDCORE_FUZZ_SEED and ZULDCORE_FUZZ_SECONDS change the seed and budget."""

import os
import pathlib
import subprocess
import sys

import pytest

HARNESS = pathlib.Path(__file__).with_name("fuzz_calls.py")


def test_hostile_calls_return_or_raise_ordinary_exceptions():
    seed = os.environ.get("ZULDCORE_FUZZ_SEED", "0")
    seconds = os.environ.get("ZULDCORE_FUZZ_SECONDS", "4")
    out = subprocess.run([sys.executable, str(HARNESS), "--seconds", seconds, "--seed", seed],
                         capture_output=True, text=True, timeout=600, check=False)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout[-4000:]}\n{out.stderr[-4000:]}"
    assert out.stdout.splitlines()[-1].endswith(f"0 findings (seed {seed})")


def test_the_harness_judges_the_call_not_its_own_drawing():
    # Drawing a loader's mutated state once failed inside the block that
    # judges the loader (a tuple key taken for a parameter name) and was
    # reported as the loader's finding.
    import fuzz_calls
    assert fuzz_calls.run_one(302, 4203) is None


def test_a_failure_of_the_harness_itself_stops_the_run(monkeypatch):
    import fuzz_calls

    def broken(self, state, depth=0):
        return {}["no such key"]

    monkeypatch.setattr(fuzz_calls.Fuzz, "mutate", broken)
    with pytest.raises(fuzz_calls.FuzzerError, match="the harness failed: KeyError"):
        for i in range(500):  # a loader call comes within the first few dozen
            fuzz_calls.run_one(0, i)
