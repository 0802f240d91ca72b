"""The reference models of pattern matching and state machines: pure Python, tiny, slow and meant to
be obviously correct. Tests compare zuldcore with it; it is never shipped.

pattern.py     plain-data patterns (pattern(), event(), ... make them); build()
               replays one on a real zuldcore.Pattern, compile_pattern() reads it
               into the model's own elements without zuldcore
search.py      match() and match_batch(): the search, written out literally
strategies.py  hypothesis strategies that draw plain patterns and streams
state.py       state machines: plain-data machines, their trigger points and
               the run, written out literally; build() replays one on a real
               zuldcore.StateMachine
"""

from model.pattern import build, compile_pattern
from model.search import assert_same_result, match, match_batch

__all__ = ["assert_same_result", "build", "compile_pattern", "match", "match_batch"]
