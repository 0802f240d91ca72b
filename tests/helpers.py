"""Small utilities shared by the test modules."""

import subprocess
import sys
import textwrap
import uuid

import zuldcore


def fresh(prefix="t"):
    """A token no other test has interned."""
    return f"{prefix}-{uuid.uuid4().hex}"


def next_id():
    """The id the next new token will get (interning one probe to find out)."""
    return zuldcore.vocab_ids([fresh("probe")])[0] + 1


def run_python(code):
    """Runs `code` in a fresh interpreter; returns its stdout."""
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


def internal_error_type():
    """zuldcore's internal-failure exception, which is none of its names."""
    return next(t for t in BaseException.__subclasses__()
                if (t.__module__, t.__name__) == ("zuldcore", "InternalError"))


def raise_internal_error(text):
    """For worker processes: fails as a broken invariant would."""
    raise internal_error_type()(text)


def interrupt_child(code, delay=0.5):
    """Runs `code` in a fresh interpreter; once it prints "ready", waits `delay`
    seconds and sends it SIGINT. Returns the next line it prints and how long
    that took after the signal."""
    import signal
    import time

    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        return line, time.perf_counter() - sent
    finally:
        child.kill()
        child.wait()

