"""The installed stub package (zuldcore-stubs) against the built module, and the examples under
mypy --strict. These run mypy in processes of their own; without mypy they fail, as a missing test
dependency should.

stubtest compares every name of the stubs (the package's and its submodule zuldcore.corpus's, which
stubtest finds beside them), and every argument's name, kind and default, with the module's own
text signatures. typing_usage.py is type-checked with the examples and then run, so that
the dtypes the stubs give the results are those the module returns."""

import pathlib
import subprocess
import sys

import typing_usage

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_module(*args, cwd):
    out = subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, check=False)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout[-8000:]}\n{out.stderr[-4000:]}"


def test_stubs_match_the_module(tmp_path):
    run_module("mypy.stubtest", "zuldcore", cwd=tmp_path)


def test_examples_and_usage_pass_mypy_strict(tmp_path):
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    run_module("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *files,
               str(pathlib.Path(typing_usage.__file__)), cwd=tmp_path)


def test_usage_runs_as_typed():
    typing_usage.run()
