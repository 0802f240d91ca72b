"""docs/cookbook.md runs as written, and every question in it compares zuldcore's answer with the peer's.

The cookbook's blocks run in order in one fresh interpreter at the project root, as test_docs.py runs the
other documents. Once a block has defined the cookbook's `same(ours, theirs)`, every call to it is watched:
it must pass on the two answers and fail when one value of zuldcore's answer is blanked, so that a recipe
whose comparison was dropped, never reached or made blind to values fails here."""

import json
import re

from test_docs import ROOT, run_blocks

NAME = "docs/cookbook.md"
QUESTION = re.compile(r"## (\d+)\. ")

# Runs the blocks as test_docs.py does, with `same` replaced by a watcher once a block has defined it. The
# watcher records the Markdown line of the block that called it, the number of rows compared, and whether
# the comparison caught a copy of zuldcore's answer with one value set to null; the records are printed as
# the last line of stdout.
WATCHING = """
import json, sys
blocks, expected_module = json.load(sys.stdin)
import zuldcore
assert zuldcore.__file__ == expected_module, f"imported {zuldcore.__file__}, not the installed {expected_module}"
namespace = {"__name__": "__main__"}
compared, running = [], [0]

def blanked(frame):
    for column in reversed(frame.columns):
        present = frame[column].is_not_null().arg_true()
        if len(present):
            return frame.with_columns(frame[column].scatter(present[-1], None))
    raise AssertionError("an answer without a single value")

def watch(same):
    def watched(ours, theirs):
        same(ours, theirs)
        try:
            same(blanked(ours), theirs)
            caught = False
        except AssertionError:
            caught = True
        compared.append([running[0], ours.height, caught])
    watched.original = same
    return watched

for name, line, source in blocks:
    running[0] = line
    exec(compile("\\n" * (line - 1) + source, name, "exec"), namespace)
    if "same" in namespace and not hasattr(namespace["same"], "original"):
        namespace["same"] = watch(namespace["same"])
print(json.dumps(compared))
"""


def questions(text):
    """(number, first line, last line) of each numbered question, from its heading to the next heading."""
    lines = text.splitlines()
    heads = [i + 1 for i, line in enumerate(lines) if line.startswith("## ")] + [len(lines) + 1]
    found = [(QUESTION.match(lines[start - 1]), start, following - 1) for start, following in zip(heads, heads[1:])]
    return [(int(m.group(1)), start, end) for m, start, end in found if m]


def test_every_question_runs_and_compares_its_two_answers():
    text = (ROOT / NAME).read_text(encoding="utf-8")
    sections = questions(text)
    assert [number for number, _, _ in sections] == list(range(1, len(sections) + 1))
    assert len(sections) >= 12

    _, child = run_blocks(NAME, text, runner=WATCHING)
    assert child.returncode == 0, f"{NAME}:\n{child.stdout[-4000:]}\n{child.stderr[-8000:]}"
    compared = json.loads(child.stdout.strip().splitlines()[-1])

    for number, first, last in sections:
        mine = [(rows, caught) for line, rows, caught in compared if first <= line <= last]
        assert mine, f"question {number} never compares its two answers"
        for rows, caught in mine:
            assert rows > 0, f"question {number} compares empty answers"
            assert caught, f"question {number}: the comparison misses a changed value"
    assert all(any(first <= line <= last for _, first, last in sections) for line, _, _ in compared)
