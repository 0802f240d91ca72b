"""The documentation's code runs as written.

Every ```python block of README.md, docs/guide.md and docs/cookbook.md runs, each file's blocks in order and
sharing one namespace, in a fresh interpreter started at the project root, as a reader pasting them into a
session there would run them. Data comes from examples/eventlog.py, imported as `examples.eventlog`. Blocks
that are not meant to run carry another fence (```text, ```sh). test_cookbook.py runs the cookbook's blocks,
counting the comparisons of its answers as it goes; this file runs the others, and the demo."""

import ast
import json
import pathlib
import re
import subprocess
import sys

import pytest

import zuldcore

ROOT = pathlib.Path(__file__).resolve().parent.parent
RUN_HERE = ["README.md", "docs/guide.md"]
DOCS = RUN_HERE + ["docs/cookbook.md"]

FENCE = re.compile(r"^( *)(```+|~~~+)\s*([^\s`]*)")

# Runs in the child: blocks arrive on stdin as [file, first line, source]. Each block is compiled under its
# file's name, shifted to its line, so a traceback points at the line of the Markdown file.
RUNNER = """
import json, sys
blocks, expected_module = json.load(sys.stdin)
import zuldcore
assert zuldcore.__file__ == expected_module, f"imported {zuldcore.__file__}, not the installed {expected_module}"
namespace = {"__name__": "__main__"}
for name, line, source in blocks:
    exec(compile("\\n" * (line - 1) + source, name, "exec"), namespace)
"""


def fenced_blocks(text):
    """(language, first line number of the code, source) of every fenced block, in order."""
    blocks, open_fence = [], None
    for number, line in enumerate(text.splitlines(), start=1):
        m = FENCE.match(line)
        if open_fence is None:
            if m:
                open_fence = (m.group(1), m.group(2), m.group(3), number + 1, [])
        elif m and m.group(2).startswith(open_fence[1]) and not m.group(3):
            indent, _, language, first, lines = open_fence
            blocks.append((language, first, "\n".join(s[len(indent):] if s.startswith(indent) else s.lstrip()
                                                      for s in lines) + "\n"))
            open_fence = None
        else:
            open_fence[4].append(line)
    assert open_fence is None, f"a fence opened at line {open_fence[3] - 1} is never closed"
    return blocks


def python_blocks(name, text):
    return [[name, first, source] for language, first, source in fenced_blocks(text) if language == "python"]


def run_blocks(name, text, cwd=ROOT, runner=RUNNER):
    blocks = python_blocks(name, text)
    child = subprocess.run([sys.executable, "-c", runner], input=json.dumps([blocks, zuldcore.__file__]),
                           cwd=cwd, capture_output=True, text=True, check=False)
    return blocks, child


@pytest.mark.parametrize("name", RUN_HERE)
def test_python_blocks_run_in_order(name):
    blocks, child = run_blocks(name, (ROOT / name).read_text(encoding="utf-8"))
    assert blocks, f"{name} has no ```python block"
    assert child.returncode == 0, f"{name}:\n{child.stdout[-4000:]}\n{child.stderr[-8000:]}"


@pytest.mark.parametrize("name", DOCS)
def test_every_fence_names_its_language(name):
    # A bare fence would hide code from the run above: say ```python, or ```text / ```sh for what does not run.
    for language, first, _ in fenced_blocks((ROOT / name).read_text(encoding="utf-8")):
        assert language, f"{name}:{first - 1}: a fence without a language"


def test_a_failing_block_fails_and_names_its_line(tmp_path):
    text = "Text.\n\n```python\nx = 1\n```\n\n```sh\nnot python\n```\n\n- a list\n\n  ```python\n  y = x + 1\n" \
           "  assert y == 3, 'the second block sees the first'\n  ```\n"
    blocks, child = run_blocks("guide.md", text, cwd=tmp_path)
    assert [(line, source) for _, line, source in blocks] == [(4, "x = 1\n"),
                                                               (14, "y = x + 1\nassert y == 3, 'the second block "
                                                                    "sees the first'\n")]
    assert child.returncode != 0
    assert 'File "guide.md", line 15' in child.stderr
    assert "the second block sees the first" in child.stderr


@pytest.mark.parametrize("stub", ["zuldcore.pyi", "corpus.pyi"])
def test_the_stub_documents_every_class_function_and_argument(stub):
    # Editors show the stub's docstrings on hover: each definition has one, naming each of its arguments.
    tree = ast.parse((ROOT / "stubs" / stub).read_text(encoding="utf-8"))
    assert ast.get_docstring(tree)
    undocumented = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            doc = ast.get_docstring(node) or ""
            if not doc:
                undocumented.append(node.name)
            if isinstance(node, ast.FunctionDef):
                args = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
                undocumented += [f"{node.name}({a.arg})" for a in args
                                 if a.arg not in ("self", "cls") and not re.search(rf"\b{a.arg}\b", doc)]
    assert undocumented == []


def test_the_demo_runs_and_counts_the_matches_one_call_would_mix():
    # scripts/demo.sh runs it; here on a smaller log. Its one line on the whole log must add up: the matches
    # that cross stays plus those the corpus finds within stays are all the whole log's matches.
    child = subprocess.run([sys.executable, "demo.py", "--events", "20000"], cwd=ROOT / "examples",
                           capture_output=True, text=True, check=False)
    assert child.returncode == 0, child.stderr[-8000:]
    line = next(line for line in child.stdout.splitlines() if line.startswith("why not one call"))
    counts = re.search(r"([\d,]+) of its ([\d,]+) .* the ([\d,]+) within stays", line)
    crossed, total, within = (int(n.replace(",", "")) for n in counts.groups())
    assert crossed > 0 and within > 0 and crossed + within == total, line
