"""The argument binder: arity and keyword errors in the interpreter's wording."""

import pytest

import zuldcore


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: zuldcore.vocab_ids(), "vocab_ids() missing required argument 'tokens' (pos 1)"),
        (lambda: zuldcore.vocab_ids([], []), "vocab_ids() takes exactly 1 positional argument (2 given)"),
        (lambda: zuldcore.vocab_ids(tokens=[], x=1), "vocab_ids() got an unexpected keyword argument 'x'"),
        (
            lambda: zuldcore.annotate_stream([], [], [], None, None),
            "annotate_stream() takes at most 4 positional arguments (5 given)",
        ),
        (
            lambda: zuldcore.annotate_stream([], [], tokens=[]),
            "argument for annotate_stream() given by name ('tokens') and position (1)",
        ),
        (
            lambda: zuldcore.annotate_stream([], times=[]),
            "annotate_stream() missing required argument 'specs' (pos 3)",
        ),
        (
            lambda: zuldcore.state_spans([], [], None, includeinvalid=True),
            "state_spans() got an unexpected keyword argument 'includeinvalid'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order():
    assert zuldcore.vocab_ids(tokens=["a"]) == zuldcore.vocab_ids(["a"])
    assert zuldcore.annotate_stream(values=None, specs=[], times=[], tokens=[]) == {}


def test_specs_must_be_annotation_specs():
    with pytest.raises(TypeError) as info:
        zuldcore.annotate_stream([], [], ["x"])
    assert str(info.value) == "argument 'specs': expected AnnotationSpec, got 'str'"
    with pytest.raises(TypeError, match="^argument 'specs': Can't extract `str` to `Vec`$"):
        zuldcore.annotate_stream([], [], "x")


def test_messages_keep_every_character_of_user_text():
    with pytest.raises(ValueError) as info:
        zuldcore.Pattern(collector="count\0x")
    assert str(info.value).startswith("Unknown collector 'count\0x'. Choose: ")
