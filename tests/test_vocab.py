"""vocab_ids and the process-wide vocabulary."""

import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import zuldcore

from helpers import fresh, next_id, run_python


def test_ids_in_a_fresh_process():
    out = run_python(
        """
        import zuldcore
        print(zuldcore.vocab_ids(["b", "a", "b"]), zuldcore.vocab_ids(["a", "c"]))
        print(zuldcore.vocab_ids([]), zuldcore.vocab_ids(["", "c", ""]))
        """
    )
    assert out.splitlines() == ["[0, 1, 0] [1, 2]", "[] [3, 2, 3]"]


def test_new_tokens_get_consecutive_ids_in_order_of_first_sight():
    start = next_id()
    a, b, c = fresh(), fresh(), fresh()
    assert zuldcore.vocab_ids([b, a, b, c, a]) == [start, start + 1, start, start + 2, start + 1]
    assert zuldcore.vocab_ids([c, b, a]) == [start + 2, start, start + 1]


@pytest.mark.parametrize(
    "pair",
    [("\u00e9", "e\u0301"), ("Sbp", "SBP"), ("a", "a "), ("a", "a\0"), ("\u212b", "\u00c5")],
)
def test_no_normalisation_or_folding(pair):
    x, y = pair
    ids = zuldcore.vocab_ids([x, y, x])
    assert ids[0] != ids[1] and ids[0] == ids[2]


def test_result_is_a_list_of_int():
    ids = zuldcore.vocab_ids(("a", "b"))
    assert type(ids) is list and all(type(i) is int for i in ids)


def test_str_subclass_and_numpy_strings_agree_with_str():
    class Token(str):
        pass

    tok = fresh()
    expected = zuldcore.vocab_ids([tok])[0]
    assert zuldcore.vocab_ids([Token(tok)]) == [expected]
    assert zuldcore.vocab_ids([np.str_(tok)]) == [expected]
    assert zuldcore.vocab_ids(np.array([tok, tok])) == [expected, expected]


def test_numpy_str_array_strips_trailing_nul_like_numpy():
    arr = np.array(["ab", "a", "x\u00e9\U0001d11e"])
    assert zuldcore.vocab_ids(arr) == zuldcore.vocab_ids([str(s) for s in arr])
    wide = np.array(["a", "b" * 40])  # short items are NUL-padded to the width
    assert zuldcore.vocab_ids(wide) == zuldcore.vocab_ids(["a", "b" * 40])


def test_non_contiguous_and_byte_swapped_numpy_arrays():
    arr = np.array(["p", "q", "r", "s"])
    assert zuldcore.vocab_ids(arr[::2]) == zuldcore.vocab_ids(["p", "r"])
    swapped = arr.astype(arr.dtype.newbyteorder(">"))
    assert zuldcore.vocab_ids(swapped) == zuldcore.vocab_ids(list(arr))


def test_many_distinct_objects_with_equal_content():
    # More distinct str objects than the identity cache holds, many of equal content.
    base = [fresh() for _ in range(50)]
    tokens = ["".join([t[:4], t[4:]]) for _ in range(2000) for t in base]
    assert len({id(t) for t in tokens}) > 65536
    ids = zuldcore.vocab_ids(tokens)
    assert ids == zuldcore.vocab_ids(base) * 2000


@given(st.lists(st.text(max_size=4), max_size=40))
def test_matches_a_first_sight_model(words):
    prefix = fresh()
    tokens = [prefix + w for w in words]
    start = next_id()
    model = {}
    expected = [model.setdefault(t, start + len(model)) for t in tokens]
    assert zuldcore.vocab_ids(tokens) == expected
    # NumPy drops trailing NULs from its items; the ids follow NumPy's strings.
    arr = np.array(tokens, dtype=str)
    assert zuldcore.vocab_ids(arr) == zuldcore.vocab_ids([str(s) for s in arr])


@pytest.mark.parametrize("bad", ["ab", {"a"}, 3, ["a", None]])
def test_refused_inputs_are_type_errors(bad):
    with pytest.raises(TypeError, match="^argument 'tokens': "):
        zuldcore.vocab_ids(bad)


def test_refused_input_interns_nothing():
    expected = next_id()
    new = fresh()
    with pytest.raises(TypeError):
        zuldcore.vocab_ids([new, 1])
    assert zuldcore.vocab_ids([fresh(), new]) == [expected, expected + 1]
