"""Timing, memory and reporting helpers shared by the bench_*.py scripts.

Times are medians of repeated calls (time.perf_counter); peak memory is measured in a fresh subprocess from the
kernel's resident-set counters, because tracemalloc does not see allocations made in C++. Nothing here asserts
a time: the scripts print tables, and optionally save them as JSON.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import textwrap
import time
from dataclasses import asdict, dataclass, field
from importlib import metadata
from typing import Callable

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
MIN_SAMPLE_SECONDS = 0.05   # fast calls are looped so that each sample lasts at least this long


def median_time(fn: Callable[[], object], repeat: int = 5, warmup: int = 1) -> float:
    """Median wall time of one call of fn, in seconds, over `repeat` samples after `warmup` untimed calls.

    A call faster than MIN_SAMPLE_SECONDS is run several times per sample (as timeit.autorange does), so that
    small smoke-test sizes still give stable numbers; large inputs are timed one call per sample.
    """
    for _ in range(warmup):
        fn()
    t0 = time.perf_counter()
    fn()
    once = time.perf_counter() - t0
    number = 1 if once >= MIN_SAMPLE_SECONDS else int(MIN_SAMPLE_SECONDS / max(once, 1e-7)) + 1
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t0) / number)
    return statistics.median(samples)


@dataclass
class Row:
    """One measured contender. `seconds` is a median time, or None for a memory row (then `bytes` is set)."""

    name: str
    items: int                       # items processed per call, for the throughput column
    seconds: float | None = None
    bytes: int | None = None
    product: bool = False            # the zuldcore row that every peer is compared with
    target: float | None = None      # wanted minimum of peer/zuldcore for this peer, printed beside the ratio
    note: str = ""

    @property
    def measure(self) -> float:
        return self.seconds if self.seconds is not None else float(self.bytes)


@dataclass
class Table:
    title: str
    rows: list[Row] = field(default_factory=list)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        return row


def _fmt_seconds(s: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3f} {unit}"
    return f"{s / 1e-9:.0f} ns"


def _fmt_bytes(b: float) -> str:
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if abs(b) >= scale:
            return f"{b / scale:.1f} {unit}"
    return f"{b:.0f} B"


def _fmt_rate(items: int, seconds: float) -> str:
    rate = items / seconds if seconds > 0 else float("inf")
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if rate >= scale:
            return f"{rate / scale:.2f} {unit}/s"
    return f"{rate:.0f} /s"


def ratio(peer: Row, product: Row) -> float:
    """peer/zuldcore: how many times faster (or smaller) zuldcore is than this peer."""
    return peer.measure / product.measure if product.measure > 0 else float("inf")


def print_table(title: str, rows: list[Row]) -> None:
    """Print the rows side by side: median time and throughput (or peak memory), and for each row the ratio
    peer/zuldcore against the product row, with the target where one is set."""
    product = next((r for r in rows if r.product), None)
    memory = rows[0].seconds is None
    head = ["name", "peak RSS delta" if memory else "median", "per item" if memory else "throughput",
            "peer/zuldcore", "target"]
    body = []
    for r in rows:
        if memory:
            cells = [r.name, _fmt_bytes(r.bytes), f"{r.bytes / max(r.items, 1):.1f} B"]
        else:
            cells = [r.name, _fmt_seconds(r.seconds), _fmt_rate(r.items, r.seconds)]
        if product is None or r is product:
            cells += ["", ""]
        else:
            x = ratio(r, product)
            cells.append(f"{x:.2f}x" if x >= 0.1 else f"{x:.2g}x")
            cells.append("" if r.target is None else f">= {r.target:.2f}x {'met' if x >= r.target else 'NOT met'}")
        if r.note:
            cells[-1] = (cells[-1] + "  " + r.note).strip()
        body.append(cells)
    widths = [max(len(row[i]) for row in [head] + body) for i in range(len(head))]
    print(f"\n{title}")
    for row in [head] + body:
        print("  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) if i < 4 else c
                               for i, (c, w) in enumerate(zip(row, widths))).rstrip())


def versions(*packages: str) -> dict[str, str]:
    out = {"python": platform.python_version()}
    for name in packages:
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = "not installed"
    return out


def machine() -> dict[str, object]:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    return {"platform": platform.platform(), "cpu": cpu, "cores": os.cpu_count()}


def add_common_args(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--repeat", type=int, default=5, help="timed samples per row (median is reported)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", metavar="PATH", help="also write the tables, versions and machine as JSON")


def shower(tables: list[Table]):
    """A function that prints each table it is given at once (flushed, for long runs) and keeps it in `tables`."""
    def show(new: list[Table]) -> None:
        for t in new:
            print_table(t.title, t.rows)
            sys.stdout.flush()
        tables.extend(new)
    return show


def write_json(path: str, tables: list[Table], args: argparse.Namespace, packages: tuple[str, ...],
               extra: dict[str, object] | None = None) -> None:
    report = {
        "script": os.path.basename(sys.argv[0]),
        "args": vars(args),
        "machine": machine(),
        "versions": versions(*packages),
        **(extra or {}),
        "tables": [],
    }
    for t in tables:
        product = next((r for r in t.rows if r.product), None)
        rows = []
        for r in t.rows:
            d = asdict(r)
            d["peer_over_zuldcore"] = None if product is None or r is product else ratio(r, product)
            if r.seconds is not None:
                d["items_per_second"] = r.items / r.seconds if r.seconds > 0 else None
            rows.append(d)
        report["tables"].append({"title": t.title, "rows": rows})
    with open(path, "w") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    print(f"\nwrote {path}")


# Runs in the child: setup, then the statement, and prints the rise of the peak resident set in bytes. On Linux
# the peak (VmHWM) is first reset to the current resident set, so temporaries freed during setup do not hide the
# statement's own peak; elsewhere ru_maxrss before and after is the best available.
_RSS_DRIVER = textwrap.dedent("""
    import gc, json, resource, sys
    def _hwm():
        try:
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return kb if sys.platform == "darwin" else kb * 1024
    def _reset():
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            pass
    exec(compile(SETUP, "<setup>", "exec"))
    gc.collect()
    _reset()
    _before = _hwm()
    exec(compile(STMT, "<stmt>", "exec"))
    _after = _hwm()
    print(json.dumps({"peak_rss_delta": _after - _before}))
""")


def peak_rss_of(stmt: str, setup: str = "") -> int:
    """Rise of peak resident memory, in bytes, while `stmt` runs in a fresh interpreter after `setup`.

    Both are source strings run at module level of the child, with this directory on sys.path (so `from data
    import event_log` works). Keep what stmt produces bound to a name if its result belongs to the measurement.
    """
    code = f"SETUP = {setup!r}\nSTMT = {stmt!r}\n{_RSS_DRIVER}"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (BENCH_DIR, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"peak_rss_of({stmt!r}) failed in the child:\n{out.stderr}")
    return int(json.loads(out.stdout.strip().splitlines()[-1])["peak_rss_delta"])
