"""The module's registry: names and their order, constants, signatures, docs, types."""

import importlib.metadata
import inspect
import struct
import sys

import pytest

import zuldcore

from helpers import run_python

NAMES = [
    "Pattern",
    "Zuldor",
    "PreprocessedStream",
    "AnnotationSpec",
    "StateMachine",
    "StateSpan",
    "annotate_stream",
    "state_spans",
    "vocab_ids",
    "CLOSE_REASONS",
    "REJECT_REASONS",
]
CLASSES = NAMES[:6]
Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10


def test_all_lists_the_eleven_names_in_registration_order():
    assert zuldcore.__all__ == NAMES
    module_order = [k for k in vars(zuldcore) if k in NAMES]
    assert module_order == NAMES


def test_module_has_no_docstring():
    assert zuldcore.__doc__ is None


def test_version_is_the_installed_distribution_version():
    assert zuldcore.__version__ == importlib.metadata.version("zuldcore")
    assert "__version__" not in zuldcore.__all__


def test_reason_lists():
    assert zuldcore.CLOSE_REASONS == ["exit_event", "timeout", "transition", "end_of_stream"]
    assert zuldcore.REJECT_REASONS == [
        "none",
        "unclosed",
        "too_short",
        "too_few_events",
        "missing_required",
    ]
    assert type(zuldcore.CLOSE_REASONS) is list and type(zuldcore.REJECT_REASONS) is list


@pytest.mark.parametrize(
    "obj, text",
    [
        (zuldcore.vocab_ids, "(tokens)"),
        (zuldcore.state_spans, "(tokens, times, machine, values=None, include_invalid=True)"),
        (zuldcore.annotate_stream, "(tokens, times, specs, values=None)"),
        (zuldcore.Zuldor, "(pattern)"),
        (zuldcore.StateMachine, "(out_name='out')"),
        (
            zuldcore.Pattern,
            "(min_dt=0.0, max_dt=Ellipsis, min_at=Ellipsis, max_at=Ellipsis, ordered=True, "
            "collector='none')",
        ),
    ],
)
def test_text_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_vocab_ids_docstring():
    doc = zuldcore.vocab_ids.__doc__
    assert doc.splitlines()[0] == "Return this library's internal token ids for a vocabulary, in order."
    for phrase in ("match_batch", "ids = vocab_ids(VOCAB)", "remap = np.array(ids, dtype=np.uint32)",
                   "zuld_tokens = remap[corpus_codes]"):
        assert phrase in doc


def test_class_docstrings():
    assert zuldcore.StateSpan.__doc__ == "A snapshot of one state's occupancy, used as a span source."
    assert not zuldcore.Zuldor.__doc__
    assert not zuldcore.Pattern.__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_immutable_heap_types(name):
    cls = getattr(zuldcore, name)
    assert cls.__module__ == "zuldcore" and cls.__name__ == name
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("name", ["PreprocessedStream", "AnnotationSpec", "StateSpan"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(zuldcore, name)()


def test_import_is_cached_per_process():
    out = run_python(
        """
        import sys, importlib
        import zuldcore
        first = zuldcore
        del sys.modules["zuldcore"]
        import zuldcore as again
        print(again.__all__ == first.__all__, again.Pattern is first.Pattern)
        """
    )
    assert out.split() == ["True", "True"]


def test_second_interpreter_gets_import_error():
    interpreters = None
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = __import__(name)
            break
        except ImportError:
            pass
    if interpreters is None:
        pytest.skip("no subinterpreter support in this Python")
    out = run_python(
        f"""
        import {interpreters.__name__} as interpreters
        import zuldcore
        interp = interpreters.create()
        code = (
            "try:\\n"
            "    import zuldcore\\n"
            "    print('imported', flush=True)\\n"
            "except ImportError as e:\\n"
            "    print('ImportError', flush=True)\\n"
        )
        interpreters.run_string(interp, code)
        """
    )
    assert out.split() == ["ImportError"]


def _elf_dynamic_symbols(path):
    """Names of the defined global/weak symbols in an ELF64 little-endian .dynsym."""
    data = open(path, "rb").read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = []
    for sh in sections:
        if sh[1] != 11:  # SHT_DYNSYM
            continue
        _, _, _, _, offset, size, link, _, _, entsize = sh
        strtab = sections[link][4]
        for off in range(offset, offset + size, entsize):
            st_name, st_info, _, st_shndx = struct.unpack_from("<IBBH", data, off)
            bind = st_info >> 4
            if st_shndx != 0 and bind in (1, 2, 10):  # defined GLOBAL, WEAK, GNU_UNIQUE
                end = data.index(b"\0", strtab + st_name)
                names.append(data[strtab + st_name:end].decode())
    return names


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF only")
def test_only_the_init_function_is_exported():
    assert _elf_dynamic_symbols(zuldcore.__file__) == ["PyInit_zuldcore"]
