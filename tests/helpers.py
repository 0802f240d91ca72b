"""Small utilities shared by the test modules: fresh tokens, child interpreters,
and the hostile or odd objects that arguments are tested with."""

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

    # A child inherits an ignored SIGINT from a parent started in the
    # background; it must turn Ctrl-C into KeyboardInterrupt regardless.
    code = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n" + textwrap.dedent(code)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
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



class Floaty:
    """Not a float, but converts to one."""

    def __init__(self, value=1.5):
        self.value = value

    def __float__(self):
        return self.value


class Callback:
    """Converts to float (and to an index) after running `action`."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Lying:
    """A sequence whose __len__ claims `claimed` items; it holds `items`."""

    def __init__(self, items, claimed=2**60):
        self.items, self.claimed = list(items), claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"Lying({self.items!r}, {self.claimed})"


class Raw:
    """Pickles as `loader` called on `state`, however `state` was made: a
    pickle's memo then shares what the state shares."""

    def __init__(self, loader, state):
        self.loader, self.state = loader, state

    def __reduce__(self):
        return self.loader, (self.state,)


def refcounts(objs):
    """The reference count of each object, for checking that calls leak none."""
    return [sys.getrefcount(o) for o in objs]
