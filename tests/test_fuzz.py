"""The fuzz harness (fuzz_calls.py) for a short budget. It runs in a process
of its own, so that a crash fails this test instead of ending the run.
ZULDCORE_FUZZ_SEED and ZULDCORE_FUZZ_SECONDS change the seed and budget."""

import os
import pathlib
import subprocess
import sys

HARNESS = pathlib.Path(__file__).with_name("fuzz_calls.py")


def test_hostile_calls_return_or_raise_ordinary_exceptions():
    seed = os.environ.get("ZULDCORE_FUZZ_SEED", "0")
    seconds = os.environ.get("ZULDCORE_FUZZ_SECONDS", "4")
    out = subprocess.run([sys.executable, str(HARNESS), "--seconds", seconds, "--seed", seed],
                         capture_output=True, text=True, timeout=600, check=False)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout[-4000:]}\n{out.stderr[-4000:]}"
    assert out.stdout.splitlines()[-1].endswith(f"0 findings (seed {seed})")
