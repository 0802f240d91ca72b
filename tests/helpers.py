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
