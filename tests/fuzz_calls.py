"""Random hostile calls on every entry point of zuldcore.

Each call must return or raise an ordinary exception (an ``Exception``). The
internal-failure exception, any other ``BaseException`` and a crash are
findings. Arguments are drawn per parameter name: plausible values in odd
layouts (NumPy dtypes, strides, byte orders, pandas Series, masked arrays,
Arrow arrays and Polars Series) mixed with hostile ones (wrong types, lying
``__len__``, callbacks that raise, mutate their container or call back into
zuldcore, NaN, inf, huge and negative numbers, broken ``match_batch`` offsets).
Arrow arguments also come malformed: offsets out of order, negative or past
the last one, dictionary indices outside their dictionary, views outside
their data buffers, dictionaries of dictionaries (one its own dictionary), a
null count without a bitmap and bitmaps shorter than their arrays.
Objects are also copied and pickled (the copy must have the original's repr),
and their pickled states, taken apart (and with parts shared, as a pickle's
memo shares them), are fed to the loaders, which may only return their class
or raise TypeError, ValueError or OverflowError.

A failure of the harness's own code is not a finding: it stops the run as a
FuzzerError with its traceback.

Call ``i`` of seed ``s`` is drawn from its own generator, so one finding
replays alone::

    python tests/fuzz_calls.py --seconds 600 --seed 7
    python tests/fuzz_calls.py --seed 7 --replay 1234 --verbose
"""

import argparse
import copy
import ctypes
import inspect
import math
import pickle
import random
import struct
import sys
import time
import warnings

import numpy as np

import zuldcore
from zuldcore import AnnotationSpec, Pattern, StateMachine, StateSpan, Zuldor

from helpers import Lying, Raw

try:
    import pandas as pd
except ImportError:
    pd = None
try:
    import polars as pl
    import pyarrow as pa
except ImportError:
    pa = pl = None

ALPHABET = ["a", "b", "c", "", "x\x00y", "\u00e9t\u00e9", "\U0001f600", "a" * 40]
CHOICES = {
    "collector": ["none", "sum_times", "count", "collect_tokens", "collect_times", "collect_pairs"],
    "anchor": ["start", "end"],
    "gap_anchor": ["sustain", "any_event", "entry"],
    "self_transition": ["refresh", "restart", "ignore"],
}
STATES = ["s", "t", "u"]


class Hostile(Exception):
    """Raised by the callbacks below."""


class Finding(BaseException):
    """A wrong outcome that raised nothing: reported like a crash."""


class FuzzerError(BaseException):
    """The harness's own code failed: a bug to fix here, never a finding."""


def own(make):
    """Runs harness code that makes a call's inputs: whatever it raises is the
    harness's failure, not an outcome of the call being judged."""
    try:
        return make()
    except Exception as e:
        raise FuzzerError(f"the harness failed: {type(e).__name__}: {e}") from e


# ---- hand-made Arrow exports, for what pyarrow refuses to build -------------

class ArrowSchemaC(ctypes.Structure):
    pass


class ArrowArrayC(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchemaC))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayC))
ArrowSchemaC._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p), ("dictionary", ctypes.POINTER(ArrowSchemaC)),
    ("release", SCHEMA_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArrayC._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.c_void_p), ("dictionary", ctypes.POINTER(ArrowArrayC)), ("release", ARRAY_RELEASE),
    ("private_data", ctypes.c_void_p)]


@SCHEMA_RELEASE
def release_schema(schema):
    schema.contents.release = SCHEMA_RELEASE()


@ARRAY_RELEASE
def release_array(array):
    array.contents.release = ARRAY_RELEASE()


new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
SCHEMA_CAPSULE, ARRAY_CAPSULE = b"arrow_schema", b"arrow_array"


class RawArrow:
    """Exports one array built from C structs by hand (__arrow_c_array__).
    `buffers` are bytes or None; each is copied into memory padded by 64
    bytes, as producers pad, so that a reader trusting a bitmap shorter than
    its array reads garbage bits rather than another allocation. With
    dictionary="loop" the type's dictionary is a dictionary type that is its
    own dictionary (the exported struct itself is moved out by its reader, so
    the loop hangs below it)."""

    def __init__(self, fmt, length, buffers, null_count=0, dictionary=None):
        self.keep = []
        self.schema = ArrowSchemaC(format=fmt.encode(), release=release_schema)
        self.array = self.make_array(length, null_count, buffers)
        if dictionary == "loop":
            loop, loop_array = ArrowSchemaC(format=b"c"), self.make_array(length, 0, [None, bytes(length)])
            loop.dictionary, loop_array.dictionary = ctypes.pointer(loop), ctypes.pointer(loop_array)
            self.keep += [loop, loop_array]
            self.schema.dictionary, self.array.dictionary = ctypes.pointer(loop), ctypes.pointer(loop_array)

    def make_array(self, length, null_count, buffers):
        pointers = (ctypes.c_void_p * len(buffers))()
        for i, b in enumerate(buffers):
            if b is not None:
                memory = ctypes.create_string_buffer(bytes(b), len(b) + 64)
                self.keep.append(memory)
                pointers[i] = ctypes.addressof(memory)
        self.keep.append(pointers)
        return ArrowArrayC(length=length, null_count=null_count, n_buffers=len(buffers), buffers=pointers,
                           release=release_array)

    def __arrow_c_array__(self, requested_schema=None):
        return (new_capsule(ctypes.addressof(self.schema), SCHEMA_CAPSULE, None),
                new_capsule(ctypes.addressof(self.array), ARRAY_CAPSULE, None))


class Fuzz:
    def __init__(self, rng, depth=0):
        self.rng = rng
        self.n = rng.randint(0, 8)  # the stream length of the call; a few draws break it
        self.depth = depth  # re-entrant calls made so far in this chain
        self.shared = []  # objects a callback may use or change

    # ---- small values ----------------------------------------------------

    def chance(self, p):
        return self.rng.random() < p

    def token(self):
        if self.chance(0.01):
            return self.rng.choice(["\ud800", "a\udfffb"])  # a str UTF-8 cannot hold
        return self.rng.choice(ALPHABET[:3]) if self.chance(0.8) else self.rng.choice(ALPHABET)

    def number(self):
        r = self.rng.random()
        if r < 0.5:
            return float(self.rng.randint(-2, 20))
        if r < 0.6:
            return self.callback(float(self.rng.randint(0, 5)))
        return self.rng.choice([
            math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, 2**70, -(2**70),
            np.float32(1.5), np.int64(-3), np.uint64(2**64 - 1), True, np.float16(65504), 10**400,
            self.callback(1.0),
        ])

    def integer(self):
        return self.rng.choice([0, 1, 2, 3, 63, 64, -1, 2**31, 2**32, 2**63, 2**64, -(2**63), 10**30,
                                np.int64(5), np.uint32(7), 1.0, True, self.callback(1)])

    def flag(self):
        if self.chance(0.75):
            return self.rng.choice([True, False, np.bool_(True), np.bool_(False)])
        return self.rng.choice([0, 1, None, "yes", np.array([True]), self.callback(True)])

    def name(self, kind):
        if self.chance(0.8):
            return self.rng.choice(CHOICES.get(kind, STATES))
        return self.rng.choice(["", "nope", "s\x00", 3, None, b"s", "\ud800"])

    def hostile(self):
        """Anything at all."""
        return self.rng.choice([
            None, 0, -1, 2**80, math.nan, "abc", b"abc", object(), [], (), {}, {"a": 1}, {1, 2},
            (x for x in "ab"), [None], [[["a"]]], Ellipsis, Pattern(), StateMachine(), np.array(3.0),
            np.zeros((2, 2)), np.array([], dtype=object), Lying([], 2**62), self.callback("a"),
            range(5), memoryview(b"ab"),
        ])

    def callback(self, value):
        return Callback(self, value)

    def act(self):
        """What a callback does besides returning: raise, mutate, re-enter."""
        r = self.rng.random()
        if r < 0.15:
            raise self.rng.choice([Hostile("from a callback"), KeyError("k"), MemoryError(), RecursionError()])
        if r < 0.35 and self.shared:
            target = self.rng.choice(self.shared)
            if isinstance(target, list):
                self.rng.choice([target.clear, lambda: target.append(1), lambda: target.insert(0, "z")])()
            elif self.depth < 2:
                Fuzz(self.rng, self.depth + 1).use(target)
        elif r < 0.45 and self.depth < 2:
            Fuzz(self.rng, self.depth + 1).one_call()

    # ---- sequences in many layouts -----------------------------------------

    def layout(self, items, kind, stream=False):
        """`items` as a list, tuple, array, Series, masked array or hostile sequence;
        for a stream argument (`stream`), also as malformed Arrow data, which only
        the stream entry points read without pyarrow (its own item access would
        read out of bounds)."""
        r = self.rng.random()
        if r < 0.35:
            return items
        if r < 0.45:
            return tuple(items)
        if r < 0.7:
            return self.array(items, kind)
        if r < 0.74 and pa is not None:
            return self.arrow(items) if not stream or self.chance(0.7) else self.malformed_arrow(len(items))
        if r < 0.78 and pd is not None:
            index = self.rng.choice([None, list(range(len(items)))[::-1], [f"i{k}" for k in range(len(items))]])
            try:
                return pd.Series(items, index=index, dtype=object if kind == "str" and self.chance(0.5) else None)
            except Exception:
                return items
        if r < 0.86:
            try:
                return np.ma.array(items, mask=[self.chance(0.3) for _ in items])
            except Exception:
                return items
        if r < 0.93:
            return Lying(items, self.rng.choice([len(items) + 1, 2**40, 2**62, max(0, len(items) - 1)]))
        shared = list(items) + [self.callback(items[0] if items else 0.0)]
        self.shared.append(shared)
        return shared

    def arrow(self, items):
        """`items` as Arrow data of a fitting or wrong type, with nulls, sliced,
        chunked, dictionary-encoded or in a Polars Series."""
        try:
            values = [None if self.chance(0.1) else x for x in items]
            arr = pa.array(values, self.rng.choice([None, pa.string(), pa.large_string(), pa.string_view(),
                                                    pa.float64(), pa.float32(), pa.int64()]))
            r, k = self.rng.random(), self.rng.randint(0, len(items))
            if r < 0.2:
                return arr.dictionary_encode()
            if r < 0.4:
                return pa.chunked_array([arr[:k], arr[k:]])
            if r < 0.5:
                return pa.concat_arrays([arr, arr])[k:k + len(items)]
            if r < 0.7:
                return pl.Series(arr)
            return arr
        except Exception:
            return items

    def malformed_arrow(self, n):
        """An Arrow argument of n items whose buffers contradict each other or its type."""
        what = self.rng.choice(["offsets", "large_offsets", "index", "view", "nested", "loop", "bitmap", "uncounted"])
        try:
            if what in ("offsets", "large_offsets"):  # one inner offset out of order, negative or past the last
                large = what == "large_offsets"
                data = b"abcdef" * 4
                offsets = sorted(self.rng.randint(0, len(data)) for _ in range(n + 1))
                if n >= 2:
                    offsets[self.rng.randint(1, n - 1)] = self.rng.choice(
                        [-1, -(2**31), offsets[-1] + 1, 2**30, 2**31 - 1] + ([2**62, -(2**62)] if large else []))
                strings = pa.Array.from_buffers(
                    pa.large_string() if large else pa.string(), n,
                    [None, pa.py_buffer(np.array(offsets, np.int64 if large else np.int32).tobytes()), pa.py_buffer(data)])
                if self.chance(0.6):
                    return strings
                indices = np.array([self.rng.randrange(n) for _ in range(n)], np.int8)
                return pa.DictionaryArray.from_buffers(pa.dictionary(pa.int8(), strings.type), n,
                                                       [None, pa.py_buffer(indices.tobytes())], strings)
            if what == "index":  # indices outside a dictionary of two
                indices = np.array([self.rng.choice([0, 1, 2, -1, 127, -128]) for _ in range(n)], np.int8)
                return pa.DictionaryArray.from_buffers(pa.dictionary(pa.int8(), pa.string()), n,
                                                       [None, pa.py_buffer(indices.tobytes())], pa.array(["x", "y"]))
            if what == "view":  # lengths, buffer numbers and offsets of string views, some outside their data
                views = b"".join(struct.pack("<iiii", self.rng.choice([-1, 3, 13, 40]), 0, self.rng.choice([0, 1, -1]),
                                             self.rng.choice([0, 5, 30, -4])) for _ in range(n))
                return pa.Array.from_buffers(pa.string_view(), n, [None, pa.py_buffer(views), pa.py_buffer(b"z" * 30)])
            if what == "nested":
                inner = pa.DictionaryArray.from_arrays(pa.array([0] * n, pa.int8()), pa.array(["a"]))
                return pa.DictionaryArray.from_arrays(pa.array(range(n), pa.int8()), inner)
            if what == "loop":
                return RawArrow("c", n, [None, bytes(n)], dictionary="loop")
            fmt, buffers = self.rng.choice([("g", [np.zeros(n).tobytes()]),
                                            ("u", [np.zeros(n + 1, np.int32).tobytes(), b""]),
                                            ("l", [np.arange(n, dtype=np.int64).tobytes()])])
            if what == "bitmap":  # shorter than the array: its missing bytes read as the padding's zeros
                return RawArrow(fmt, n, [b"\xff" * (n // 16)] + buffers, null_count=-1)
            return RawArrow(fmt, n, [None] + buffers, null_count=max(1, n))  # nulls counted, no bitmap
        except Exception:
            return list(range(n))

    def array(self, items, kind):
        try:
            if kind == "str":
                dtype = self.rng.choice([None, object, "U1", ">U3", "S3"])
            else:
                dtype = self.rng.choice([np.float64, np.float32, np.float16, np.int8, np.int64, np.uint64,
                                         ">f8", np.bool_, np.complex128, object, "M8[s]", "U5"])
            arr = np.array(items, dtype=dtype)
        except Exception:
            return items
        r = self.rng.random()
        if r < 0.2:
            arr = np.repeat(arr, 2)[::2]  # strided
        elif r < 0.3:
            arr = arr[::-1]
        elif r < 0.4 and arr.size:
            arr = arr.reshape(1, -1)
        elif r < 0.45:
            arr = np.asfortranarray(np.stack([arr, arr]))
        elif r < 0.5 and arr.dtype != object:
            raw = np.zeros(arr.nbytes + 1, np.uint8)[1:]  # misaligned
            view = raw.view(arr.dtype) if arr.itemsize and arr.nbytes else arr
            view[...] = arr
            arr = view
        return arr

    def tokens(self, n, stream=False):
        if self.chance(0.08):
            return self.hostile() if self.chance(0.7) else range(2**62)
        items = [self.token() for _ in range(n)]
        if self.chance(0.05) and items:
            items[self.rng.randrange(len(items))] = self.rng.choice([1, None, b"a", ["a"]])
        return self.layout(items, "str", stream)

    def floats(self, n, stream=False):
        if self.chance(0.06):
            return self.hostile()
        items = [self.number() if self.chance(0.3) else float(k) for k in range(n)]
        if self.chance(0.04):
            items = items[: max(0, n - 1)]  # a length mismatch
        return self.layout(items, "float", stream)

    def ref(self):
        """A token reference: str, list[str], list[list[str]] or Pattern."""
        r = self.rng.random()
        if r < 0.4:
            return self.token()
        if r < 0.65:
            return self.layout([self.token() for _ in range(self.rng.randint(0, 3))], "str")
        if r < 0.8:
            return [[self.token() for _ in range(self.rng.randint(0, 2))] for _ in range(self.rng.randint(0, 2))]
        if r < 0.9:
            return self.pattern()
        return self.hostile()

    def map_key(self):
        """A match_map key: a token, or a token reference as a tuple when it hashes."""
        if self.chance(0.7):
            return self.token()
        key = self.ref()
        key = tuple(key) if isinstance(key, list) else key
        try:
            hash(key)
        except TypeError:
            return self.token()
        return key

    def spec(self):
        keys = ["match", "block", "min_dt", "max_dt", "min_at", "max_at", "min_val", "max_val",
                "require_nan_val", "block_min_val", "block_max_val", "block_require_nan_val", "junk"]
        spec = {}
        for key in self.rng.sample(keys, self.rng.randint(0, 5)):
            spec[key] = self.value(key.replace("_val", "_vals") if self.chance(0.5) else key)
        if self.chance(0.8):
            spec["match"] = self.ref() if self.chance(0.9) else self.hostile()
        return spec

    # ---- arguments by parameter name ----------------------------------------

    def value(self, name, stream=False):
        """A value for parameter `name`; `stream` when it is a parameter of a stream entry point."""
        if self.chance(0.07):
            return self.hostile()
        n = self.rng.randint(0, 6)
        if name == "tokens":
            return self.tokens(self.n, stream)
        if name in ("match_tokens", "block_tokens", "static_match_tokens", "static_block_tokens"):
            return self.tokens(n)
        if name in ("match_seqs", "block_seqs"):
            return [self.tokens(self.rng.randint(0, 3)) for _ in range(n)]
        if name.endswith("_vals"):
            if "require_nan" in name:
                return self.layout([self.flag() for _ in range(n)], "float")
            return self.floats(n) if self.chance(0.8) else [self.floats(2) for _ in range(n)]
        if name in ("times", "values"):
            return self.floats(self.n, stream)
        if "require_nan" in name or name in ("backtrackable", "ordered", "first_only", "include_tokens",
                                              "inclusive", "valid_only", "drop_unclosed", "match_from_last",
                                              "block_from_last", "include_invalid"):
            return self.flag()
        if name in ("source_element", "min_events"):
            return self.integer()
        if name in ("start_after", "stop_before"):
            return self.layout([self.integer() for _ in range(n)], "int")
        if name in CHOICES:
            return self.name(name)
        if name in ("name", "state", "out_name", "timeout_to"):
            return self.name("state")
        if name in ("block_token", "match_token"):
            return self.token()
        if name in ("trigger", "sustain", "match"):
            return self.ref()
        if name == "require":
            return [self.ref() for _ in range(self.rng.randint(0, 2))]
        if name == "from_states":
            return [self.name("state") for _ in range(self.rng.randint(0, 2))]
        if name == "match_map":
            return {self.map_key(): self.spec() for _ in range(n)}
        if name == "default":
            return self.spec()
        if name == "pattern":
            return self.pattern()
        if name == "machine":
            return self.machine()
        if name == "specs":
            return [self.annotation_spec() for _ in range(self.rng.randint(0, 2))]
        return self.number()  # bounds, gaps, values

    def call(self, fn, method_of=None):
        """Calls `fn` with arguments drawn for its parameters."""
        args, kwargs = own(lambda: self.arguments(fn))
        return fn(*args, **kwargs)

    def arguments(self, fn):
        try:
            params = list(inspect.signature(fn).parameters.values())
        except (TypeError, ValueError):
            params = []
        args, kwargs = [], {}
        for p in params:
            if p.name == "self":
                continue
            if p.default is not inspect.Parameter.empty and self.chance(0.5):
                continue
            if p.kind is p.POSITIONAL_ONLY or (self.chance(0.5) and not kwargs):
                args.append(self.value(p.name, stream=True))
            else:
                kwargs[p.name] = self.value(p.name, stream=True)
        if self.chance(0.03):
            args.append(self.hostile())
        if self.chance(0.03):
            kwargs["unknown"] = 1
        if self.chance(0.03) and args:
            args.pop()
        return args, kwargs

    # ---- objects ------------------------------------------------------------

    def pattern(self):
        p = Pattern(**({"ordered": self.chance(0.5)} if self.chance(0.5) else {}))
        for _ in range(self.rng.randint(0, 4)):
            self.attempt(lambda: self.call(getattr(p, self.rng.choice(BUILDERS))))
        self.shared.append(p)
        return p

    def machine(self):
        m = StateMachine()
        for _ in range(self.rng.randint(0, 3)):
            self.attempt(lambda: self.call(getattr(m, self.rng.choice(["add_state", "add_entry", "add_exit"]))))
        self.shared.append(m)
        return m

    def annotation_spec(self):
        makers = [getattr(AnnotationSpec, n) for n in dir(AnnotationSpec) if not n.startswith("_")]
        makers = [m for m in makers if callable(m)]
        if not makers or self.chance(0.2):
            return self.hostile()
        try:
            return self.call(self.rng.choice(makers))
        except Exception:
            return self.hostile()

    def picklable(self):
        """A Pattern, StateMachine, Zuldor, StateSpan or AnnotationSpec, built by random calls."""
        while True:
            r = self.rng.random()
            if r < 0.3:
                return self.pattern()
            if r < 0.5:
                return self.machine()
            if r < 0.6:
                return Zuldor(self.pattern())
            obj = self.attempt(self.annotation_spec if r < 0.85 else lambda: self.machine().span(self.name("state")))
            if isinstance(obj, (AnnotationSpec, StateSpan)):
                return obj

    def mutate(self, state, depth=0):
        """`state` with parts replaced by drawn values, dropped or repeated."""
        if depth > 6 or self.chance(0.1):
            return self.rng.choice([self.hostile(), self.number(), self.ref(), self.token(), [state], 2])
        if isinstance(state, (list, tuple)) and state:
            items = list(state)
            i = self.rng.randrange(len(items))
            r = self.rng.random()
            if r < 0.6:
                items[i] = self.mutate(items[i], depth + 1)
            elif r < 0.8:
                del items[i]
            else:
                items.insert(i, items[i])
            return type(state)(items)
        if isinstance(state, dict) and state:
            out = dict(state)
            key = self.rng.choice(list(out))
            if self.chance(0.7):
                out[key] = self.mutate(out[key], depth + 1)
            elif self.chance(0.5):
                del out[key]
            else:
                out[self.rng.choice(["junk", "name", "match", "trigger", "min_dt"])] = \
                    self.value(key if isinstance(key, str) else "match")
            return out
        return state

    def share(self, state):
        """`state` (fresh from __reduce__, so changed in place) with a list or
        dict item replaced by a container of the state, perhaps an ancestor
        (a cycle), or by lists each holding K references to the next, mostly
        within the nesting cap: what a pickle's memo makes of shared parts."""
        containers, places, stack = {}, [], [(state, 0)]
        while stack:
            x, depth = stack.pop()
            if isinstance(x, (list, tuple, dict)) and id(x) not in containers:
                containers[id(x)] = x
                places += [(x, depth)] if isinstance(x, (list, dict)) and x else []
                stack.extend((y, depth + 1) for y in (x.values() if isinstance(x, dict) else x))
        if not places:
            return state
        place, depth = self.rng.choice(places)
        part = self.rng.choice([*containers.values(), self.token(), 1.0])
        for _ in range(self.rng.randint(1, max(1, 15 - depth) if self.chance(0.8) else 24) if self.chance(0.5) else 0):
            part = [part] * self.rng.randint(2, 8)
        place[self.rng.randrange(len(place)) if isinstance(place, list) else self.rng.choice(list(place))] = part
        return state

    def attempt(self, fn):
        try:
            return fn()
        except Exception:
            return None

    def use(self, obj):
        """Something done to an object that a call may hold."""
        if isinstance(obj, Pattern):
            self.call(getattr(obj, self.rng.choice(BUILDERS)))
        elif isinstance(obj, StateMachine):
            self.call(getattr(obj, self.rng.choice(["add_state", "add_entry", "add_exit", "span", "state_id"])))
        else:
            self.one_call()

    # ---- the calls ------------------------------------------------------------

    def batch_arrays(self):
        n = self.rng.randint(0, 12)
        ids = np.array(zuldcore.vocab_ids([self.token().encode("utf-8", "replace").decode() for _ in range(n)]),
                       dtype=np.uint32)
        if self.chance(0.3):
            ids = np.array([self.rng.choice([0, 1, 2**32 - 1, 2**31]) for _ in range(n)], dtype=np.uint32)
        times = np.sort(np.array([self.rng.choice([0.0, 1.0, 2.0, math.nan, math.inf]) for _ in range(n)]))
        k = self.rng.randint(0, 5)
        offsets = np.array(sorted(self.rng.randint(0, n) for _ in range(k)), dtype=np.int64)
        if self.chance(0.5):
            offsets = np.array([self.rng.choice([-1, 0, n, n + 1, 2**62, -(2**63), 2**63 - 1, 3])
                                for _ in range(k)], dtype=np.int64)
        values = None if self.chance(0.5) else np.full(n, self.number() if self.chance(0.5) else 1.0, dtype=np.float64)
        arrays = [ids, times, offsets, values]
        for i in range(4):
            if self.chance(0.15):
                arrays[i] = self.array(list(arrays[i] if arrays[i] is not None else []), "float")
            elif self.chance(0.05):
                arrays[i] = self.hostile()
        return arrays

    def one_call(self):
        what = self.rng.choice(CALLS)
        if what == "vocab_ids":
            return zuldcore.vocab_ids(own(lambda: self.tokens(self.n, stream=True)))
        if what == "Pattern":
            return self.call(Pattern)
        if what == "builder":
            return self.call(getattr(self.pattern(), self.rng.choice(BUILDERS)))
        if what == "Zuldor":
            return Zuldor(self.pattern() if self.chance(0.9) else self.hostile())
        if what in ("match_stream", "preprocess"):
            return self.call(getattr(Zuldor(self.pattern()), what))
        if what == "match_preprocessed":
            z = Zuldor(self.pattern())
            n = self.rng.randint(0, 8)
            stream = z.preprocess([self.rng.choice("abc") for _ in range(n)], [float(k // 2) for k in range(n)])
            return z.match_preprocessed(stream if self.chance(0.9) else self.hostile(), first_only=self.flag())
        if what == "match_batch":
            return Zuldor(self.pattern()).match_batch(*self.batch_arrays())
        if what == "StateMachine":
            return self.call(StateMachine)
        if what == "machine":
            m = self.machine()
            return self.call(getattr(m, self.rng.choice(["add_state", "add_entry", "add_exit", "span", "state_id"])))
        if what == "state_spans":
            return self.call(zuldcore.state_spans)
        if what == "annotate_stream":
            return self.call(zuldcore.annotate_stream)
        if what == "AnnotationSpec":
            return self.annotation_spec()
        if what == "objects":
            obj = self.picklable()
            copied = self.rng.choice([copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])(obj)
            if type(copied) is not type(obj) or (not isinstance(obj, Zuldor) and repr(copied) != repr(obj)):
                raise Finding(f"{obj!r} copied as {copied!r}")
            return copied
        if what == "loader":
            # A state taken apart: a loader returns its class or raises one of these.
            obj = self.picklable()
            loader, (state,) = obj.__reduce__()
            state = own(lambda: self.mutate(state))
            data = None
            if self.chance(0.3):
                state = own(lambda: self.share(state))
                data = self.attempt(lambda: pickle.dumps(Raw(loader, state))) if self.chance(0.5) else None
            try:
                # Through a real pickle, whose memo keeps what is shared, where the state pickles.
                return loader(state) if data is None else pickle.loads(data)
            except (TypeError, ValueError, OverflowError):
                raise
            except Exception as e:
                raise Finding(f"the loader raised {type(e).__name__}: {e}") from e
        raise AssertionError(what)


class Callback:
    """Converts to `value` through every protocol, doing something hostile first."""

    def __init__(self, fuzz, value):
        self.fuzz, self.value = fuzz, value

    def __float__(self):
        self.fuzz.act()
        return float(self.value) if not isinstance(self.value, str) else 1.0

    def __index__(self):
        self.fuzz.act()
        return int(self.value) if isinstance(self.value, (int, float)) and math.isfinite(self.value) else 0

    def __bool__(self):
        self.fuzz.act()
        return bool(self.value)

    def __len__(self):
        self.fuzz.act()
        return 1

    def __getitem__(self, i):
        self.fuzz.act()
        if i > 0:
            raise IndexError(i)
        return self.value

    def __repr__(self):
        return f"Callback({self.value!r})"


BUILDERS = [n for n in dir(Pattern) if n.startswith("add_")]
CALLS = ["vocab_ids", "Pattern", "builder", "builder", "builder", "Zuldor", "match_stream", "match_stream",
         "preprocess", "match_preprocessed", "match_batch", "match_batch", "StateMachine", "machine",
         "state_spans", "state_spans", "annotate_stream", "AnnotationSpec", "objects", "loader", "loader"]


def run_one(seed, i, verbose=False):
    """Call `i` of `seed`; returns a description of a finding, or None."""
    rng = random.Random(f"{seed}:{i}")
    fuzz = Fuzz(rng)
    try:
        result = fuzz.one_call()
        outcome = f"returned {type(result).__name__}"
    except Exception as e:  # an ordinary failure: what the harness expects of bad input
        outcome = f"raised {type(e).__name__}: {e}"[:300]
    except FuzzerError as e:
        if hasattr(e, "add_note"):  # Python 3.11 and later
            e.add_note(f"in seed {seed} call {i}")
        raise
    except BaseException as e:
        return f"seed {seed} call {i}: {type(e).__module__}.{type(e).__name__}: {e}"
    if verbose:
        print(f"call {i}: {outcome}")
    return None


def fuzz(seconds, seed, verbose=False):
    """Runs calls of `seed` for `seconds`; returns (calls made, findings)."""
    deadline = time.monotonic() + seconds
    findings, i = [], 0
    while time.monotonic() < deadline:
        finding = run_one(seed, i, verbose)
        if finding:
            findings.append(finding)
            print(finding, flush=True)
        if i % 50 == 0:
            zuldcore.vocab_ids(["fuzz-still-usable"])  # raises if the vocabulary were poisoned
        i += 1
    return i, findings


def main(argv=None):
    warnings.simplefilter("ignore")  # NumPy's casting warnings are expected here
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to run (default 10)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the calls (default 0)")
    parser.add_argument("--replay", type=int, help="make only this call of the seed")
    parser.add_argument("--verbose", action="store_true", help="print each call's outcome")
    args = parser.parse_args(argv)
    if args.replay is not None:
        finding = run_one(args.seed, args.replay, verbose=True)
        print(finding or "no finding")
        return 1 if finding else 0
    calls, findings = fuzz(args.seconds, args.seed, args.verbose)
    print(f"{calls} calls, {len(findings)} findings (seed {args.seed})")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
