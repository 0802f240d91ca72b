"""How failures reach the caller: out of memory, NumPy that cannot be
loaded, the internal-failure exception crossing a process boundary, and an
embedding program that starts a second interpreter."""

import concurrent.futures
import multiprocessing
import os
import pathlib
import shlex
import subprocess
import sysconfig

import pytest

import zuldcore

import helpers
from helpers import run_python
from test_module import NAMES

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_numpy_that_cannot_be_loaded_fails_as_itself():
    out = run_python(
        """
        import sys
        import zuldcore

        class Refuse:
            def __init__(self, error):
                self.error = error

            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "numpy":
                    raise self.error

        sys.meta_path.insert(0, Refuse(ImportError("no numpy here")))
        try:
            zuldcore.Pattern(ordered=1)
        except TypeError as e:
            print(e)
        z = zuldcore.Zuldor(zuldcore.Pattern(ordered=True))
        for error in (ImportError("no numpy here"), KeyboardInterrupt()):
            sys.meta_path[0] = Refuse(error)
            try:
                z.match_stream([], [])
            except BaseException as e:
                print(type(e).__name__, e)
        sys.meta_path.pop(0)
        print(sorted(z.match_stream([], [])))
        """
    )
    assert out.splitlines() == [
        "argument 'ordered': expected bool, got 'int'",
        "ImportError no numpy here",
        "KeyboardInterrupt ",
        "['el_stream_idx', 'el_times', 'm_end', 'm_start', 'mid_result', 'result', 't_end', 't_start']",
    ]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than a limit leaves")
def test_running_out_of_memory_is_memory_error_and_leaves_the_vocabulary_usable():
    # A sweep of address-space limits meets every allocation of the calls:
    # the copies of a 32 MB token, and the result list of a long stream.
    out = run_python(
        """
        import resource
        import zuldcore

        def limit(n):
            resource.setrlimit(resource.RLIMIT_AS, (n, resource.RLIM_INFINITY))

        def in_use():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * resource.getpagesize()

        big = "x" * (32 << 20)
        tokens = ["a", "b"] * (1 << 19)
        seen = set()
        for extra in range(0, 96 << 20, 6 << 20):
            for call in (lambda: zuldcore.vocab_ids([big]), lambda: zuldcore.vocab_ids(tokens)):
                limit(in_use() + extra)
                try:
                    call()
                    seen.add("returned")
                except BaseException as e:
                    seen.add(type(e).__name__)
                limit(resource.RLIM_INFINITY)
                assert zuldcore.vocab_ids(["a", "b"]) == zuldcore.vocab_ids(["a", "b"])
        print(sorted(seen))
        """
    )
    assert out == "['MemoryError', 'returned']\n"


def test_the_internal_failure_reaches_the_parent_of_a_worker_process():
    spawn = multiprocessing.get_context("spawn")  # the worker imports everything afresh
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=spawn) as pool:
        future = pool.submit(helpers.raise_internal_error, "a broken invariant")
        with pytest.raises(helpers.internal_error_type(), match="^a broken invariant$"):
            future.result(timeout=120)
    assert sorted(k for k in vars(zuldcore) if not k.startswith("_")) == sorted(NAMES)


EMBED = r"""
#include <Python.h>
int main(void) {
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    PyRun_SimpleString(
        "try:\n"
        "    import zuldcore\n"
        "    print('imported', zuldcore.vocab_ids(['a']), flush=True)\n"
        "except ImportError as e:\n"
        "    print('ImportError:', e, flush=True)\n");
    if (Py_FinalizeEx() < 0) return 1;
  }
  return 0;
}
"""


def test_a_second_interpreter_of_an_embedding_program_gets_import_error(tmp_path):
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not (pathlib.Path(libdir) / library).exists():
        pytest.skip("this Python has no shared libpython to embed")
    source = tmp_path / "embed.c"
    source.write_text(EMBED)
    exe = tmp_path / "embed"
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    version = sysconfig.get_config_var("LDVERSION")
    subprocess.run(
        [*cc, str(source), "-o", str(exe), "-I" + sysconfig.get_paths()["include"], "-L" + libdir,
         f"-Wl,-rpath,{libdir}", f"-lpython{version}"],
        check=True,
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(zuldcore.__file__))
    out = subprocess.run([str(exe)], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "imported [0]",
        "ImportError: zuldcore cannot be loaded again in this process: the interpreter that first "
        "loaded it has been finalized",
    ]
