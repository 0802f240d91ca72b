"""Failures inside a nested argument say where they happened: the exception and its message stay as they are,
and on Python 3.11 and later a note names the match_map entry, the default spec or the specs item."""

import sys

import pytest

import zuldcore
from zuldcore import AnnotationSpec, Pattern

HAS_NOTES = sys.version_info >= (3, 11)
MATCH_FORMS = "'match' must be str, list[str], or list[list[str]]"


def too_large_pattern():
    p = Pattern()
    for _ in range(65):
        p.add_event("a")
    return p


def annotate(*specs):
    return zuldcore.annotate_stream(["a"], [0.0], [AnnotationSpec.in_span("ok", "a", ("a", "b")), *specs])


def mapped(match_map, default=None):
    return Pattern().add_mapped_event(0, match_map, default)


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda: mapped({"a": {"match": "x"}, "K": {}}), ValueError, "mapped event spec must contain 'match' key",
         "in match_map entry 'K'"),
        (lambda: mapped({5: {"match": "x"}}), TypeError, "match_map keys must be str or a sequence of str",
         "in match_map entry 5"),
        (lambda: mapped({(): {"match": "x"}}), ValueError, "match_map keys must not be empty",
         "in match_map entry ()"),
        (lambda: mapped({"k": ["x"]}), TypeError, "argument 'match_map': each spec must be a dict, got 'list'",
         "in match_map entry 'k'"),
        (lambda: mapped({("a", "b"): {"match": ["x", "y"], "min_val": [1.0]}}), ValueError,
         "min_val must have length 2 to match match (got 1)", "in match_map entry ('a', 'b')"),
        (lambda: mapped({"k": {"match": "x", "min_dt": "soon"}}), TypeError, None, "in match_map entry 'k'"),
        (lambda: mapped({"k": {"match": "x"}}, default={"match": 5}), ValueError, MATCH_FORMS, "in the default spec"),
        (lambda: annotate("x"), TypeError, "argument 'specs': expected AnnotationSpec, got 'str'", "in specs[1]"),
        (lambda: annotate(AnnotationSpec.future_occurrence("big", too_large_pattern(), 1.0)), ValueError,
         "Pattern has 65 elements; maximum is 64", "in specs[1]"),
    ],
    ids=["spec", "key-type", "key-empty", "spec-type", "tuple-key", "conversion", "default", "specs-type",
         "specs-evaluation"],
)
def test_the_note_names_the_entry(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if HAS_NOTES else None)


def test_a_key_without_repr_leaves_the_failure_as_it_is():
    class Key(str):
        def __repr__(self):
            raise RuntimeError("no repr")

    with pytest.raises(ValueError, match="^mapped event spec must contain 'match' key$") as info:
        mapped({Key("k"): {}})
    assert not hasattr(info.value, "__notes__")
