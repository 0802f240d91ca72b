"""One benchmark script run against two builds of zuldcore, one after the other in the same session, and its
tables printed side by side: each row's median under the old build and the new one, and each peer's ratio to
zuldcore under both (the peers run twice too, so their two figures show the run's noise).

Each build lives in its own virtualenv; the script must use only what both builds have.

Run: python bench/before_after.py --before OLD_VENV/bin/python [--after NEW_PYTHON] SCRIPT [SCRIPT_ARGS...]
e.g. python bench/before_after.py --before ../venv-before/bin/python bench/bench_calls.py --repeat 5
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile


def tables_of(report: dict) -> dict[str, list[dict]]:
    """Title -> rows, from either JSON layout the scripts write (harness.write_json, or bench_calls' own)."""
    if "tables" in report and isinstance(report["tables"], list):
        return {t["title"]: t["rows"] for t in report["tables"]}
    return {title: rows for title, rows in report.items() if isinstance(rows, list)}


def run(python: str, script: str, args: list[str]) -> dict[str, list[dict]]:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "report.json")
        subprocess.run([python, script, *args, "--json", path], check=True, stdout=sys.stderr)
        with open(path) as f:
            return tables_of(json.load(f))


def figure(row: dict) -> str:
    s = row.get("seconds")
    if s is None:
        b = row.get("bytes")
        return "" if b is None else f"{b / 2**20:.1f} MiB"
    return f"{s * 1e3:.3f} ms" if s >= 1e-3 else f"{s * 1e6:.3f} us"


def measure(row: dict) -> float | None:
    return row["seconds"] if row.get("seconds") is not None else row.get("bytes")


def product_of(rows: list[dict]) -> dict | None:
    return next((r for r in rows if r.get("product")), rows[0] if rows else None)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, help="the python of the old build's venv")
    parser.add_argument("--after", default=sys.executable, help="the python of the new build's venv")
    parser.add_argument("script")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    before = run(a.before, a.script, a.args)
    after = run(a.after, a.script, a.args)
    for title, new_rows in after.items():
        old_rows = {r["name"]: r for r in before.get(title, [])}
        old_product, new_product = product_of(list(old_rows.values())), product_of(new_rows)
        print(f"\n{title}")
        print(f"  {'name':<56} {'before':>12} {'after':>12} {'before/after':>12}   peer/zuldcore before -> after")
        for r in new_rows:
            old = old_rows.get(r["name"])
            speedup = ""
            if old is not None and measure(old) and measure(r):
                speedup = f"{measure(old) / measure(r):.2f}x"
            ratios = ""
            if r is not new_product and new_product is not None and measure(new_product) and measure(r):
                new_ratio = measure(r) / measure(new_product)
                old_ratio = (measure(old) / measure(old_product)
                             if old is not None and old_product is not None and measure(old_product) else None)
                ratios = (f"{old_ratio:.2f}x -> " if old_ratio is not None else "") + f"{new_ratio:.2f}x"
            print(f"  {r['name'][:56]:<56} {figure(old) if old else '':>12} {figure(r):>12} {speedup:>12}   {ratios}")


if __name__ == "__main__":
    main()
