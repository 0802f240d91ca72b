"""State machines as plain data, and the model's run of one over a stream.

A machine is a dict: "out_name" and "calls", the builder calls in order, each a
(method name, keyword arguments) pair made by add_state(), add_entry() and
add_exit() below. build() replays it on a real zuldcore.StateMachine;
state_spans() runs it in pure Python and returns the ten result columns as
plain lists. Triggers here are str, list[str] or list[list[str]] (no Pattern).
"""

import struct
from dataclasses import dataclass, field

from model.pattern import INF, NAN, sequence_trie
from model.search import make_stream, occurrence

COLUMNS = ("state", "start_pos", "end_pos", "t_start", "t_end", "n_events", "close_reason",
           "reject_reason", "valid", "timeout_entered")
EXIT, TIMEOUT, TRANSITION, END_OF_STREAM = range(4)  # close reasons
UNCLOSED, TOO_SHORT, TOO_FEW_EVENTS, MISSING_REQUIRED = range(1, 5)  # reject reasons
MAX_TRIGGERS = 64

# ---------------------------------------------------------------- plain data


def machine(*calls, out_name="out"):
    return {"out_name": out_name, "calls": list(calls)}


def add_state(name, **options):
    return ("add_state", {"name": name, **options})


def add_entry(state, trigger, **options):
    return ("add_entry", {"state": state, "trigger": trigger, **options})


def add_exit(state, trigger, **options):
    return ("add_exit", {"state": state, "trigger": trigger, **options})


def build(data):
    """The zuldcore.StateMachine that the builder calls of `data` make."""
    import zuldcore  # only here: the model itself never needs zuldcore

    m = zuldcore.StateMachine(out_name=data["out_name"])
    for method, args in data["calls"]:
        getattr(m, method)(**args)
    return m


# ---------------------------------------------------------------- token references


def token_ref(obj):
    """("single", token), ("set", [tokens]) or ("sequences", [[tokens], ...])."""
    if isinstance(obj, str):
        return ("single", obj)
    items = list(obj)
    if all(isinstance(item, str) for item in items):
        return ("set", items)
    return ("sequences", [list(seq) for seq in items])


def identity_key(ref, anchor):
    """Equal keys mean one shared trigger. A set is known by its members alone
    (order and repeats ignored); sequences are never shared. Keys are tuples, so
    no two different member lists can collide."""
    kind, payload = ref
    if kind == "single":
        return ("single", anchor, payload)
    if kind == "set":
        return ("set", anchor, frozenset(payload))
    return None


def points(ref, stream):
    """(start, end) of every occurrence, ascending. Sequences: a greedy scan that
    takes the trie's answer at each start and resumes after the occurrence."""
    kind, payload = ref
    n = len(stream)
    if kind == "single":
        return [(i, i) for i in range(n) if stream.tokens[i] == payload]
    if kind == "set":
        return [(i, i) for i in range(n) if stream.tokens[i] in payload]
    trie = sequence_trie(payload)
    found, i = [], 0
    while i < n:
        length = occurrence(trie, stream, i)
        if length >= 1:
            found.append((i, i + length - 1))
            i += length
        else:
            i += 1
    return found


def hits(ref, anchor, stream):
    """pos -> (start, end): a trigger fires at the occurrence's end, or at its
    start when anchored at the start."""
    return {(e if s == e or anchor == "end" else s): (s, e) for s, e in points(ref, stream)}


# ---------------------------------------------------------------- declaration


@dataclass
class StateDef:
    name: str
    max_gap: float = INF
    gap_anchor: str = "sustain"
    sustain: list = None  # trigger indices; None: the state's entry triggers
    self_transition: str = "refresh"
    min_duration: float = 0.0
    min_events: int = 1
    require: list = field(default_factory=list)  # trigger indices
    drop_unclosed: bool = True
    timeout_name: str = None
    timeout_to: int = None  # state id, resolved by declare()


@dataclass
class Decl:
    names: list  # by state id; names[0] is the base state
    states: list = field(default_factory=list)  # states[k] has id k + 1
    triggers: list = field(default_factory=list)  # distinct (ref, anchor) pairs
    keys: dict = field(default_factory=dict)  # identity key -> trigger index
    entries: list = field(default_factory=list)  # (from state ids, trigger, target id)
    exits: list = field(default_factory=list)  # (trigger, state id, inclusive)

    def add_trigger(self, obj, anchor):
        ref = token_ref(obj)
        key = identity_key(ref, anchor)
        if key is not None and key in self.keys:
            return self.keys[key]
        self.triggers.append((ref, anchor))
        if key is not None:
            self.keys[key] = len(self.triggers) - 1
        return len(self.triggers) - 1

    def state_id(self, name):
        if name not in self.names:
            listed = ", ".join(f'"{n}"' for n in self.names)
            raise ValueError(f"Unknown state '{name}'. Declared: [{listed}]")
        return self.names.index(name)

    def state(self, state_id):
        return self.states[state_id - 1]


def declare(data):
    """The finalised declaration: calls replayed, default sustain filled in,
    timeout targets resolved and checked for cycles. Raises ValueError."""
    decl = Decl(names=[data["out_name"]])
    for method, args in data["calls"]:
        args = dict(args)
        if method == "add_state":
            sustain, require = args.pop("sustain", None), args.pop("require", None)
            d = StateDef(name=args.pop("name"), timeout_name=args.pop("timeout_to", None), **args)
            if sustain is not None:
                d.sustain = [decl.add_trigger(sustain, "end")]
            d.require = [decl.add_trigger(r, "end") for r in require or []]
            decl.names.append(d.name)
            decl.states.append(d)
        elif method == "add_entry":
            target = decl.state_id(args["state"])
            from_ids = [decl.state_id(name) for name in args.get("from_states") or []]
            trigger = decl.add_trigger(args["trigger"], args.get("anchor", "end"))
            decl.entries.append((from_ids, trigger, target))
        else:
            state_id = decl.state_id(args["state"])
            trigger = decl.add_trigger(args["trigger"], args.get("anchor", "end"))
            decl.exits.append((trigger, state_id, args.get("inclusive", True)))
    for k, d in enumerate(decl.states, start=1):
        if d.sustain is None:
            d.sustain = [trigger for _, trigger, target in decl.entries if target == k]
    for d in decl.states:
        if d.timeout_name is not None:
            if d.timeout_name not in decl.names:
                listed = ", ".join(f'"{n}"' for n in decl.names)
                raise ValueError(f"State '{d.name}' has timeout_to='{d.timeout_name}', which is "
                                 f"not a declared state. Declared: [{listed}]")
            found = decl.names.index(d.timeout_name)
            d.timeout_to = found if found != 0 else None  # the base state: no timeout state
    for k, d in enumerate(decl.states, start=1):
        if d.timeout_to is None:
            continue
        path = [k]
        while True:
            t = decl.state(path[-1]).timeout_to
            if t in path:
                cycle = " -> ".join(decl.names[s] for s in path[path.index(t):] + [t])
                raise ValueError(
                    f"timeout_to forms a cycle: {cycle}. A state reached only by timeout has no "
                    "evidence of its own, so with no new data the patient would alternate between "
                    "these states indefinitely.")
            path.append(t)
            if decl.state(t).timeout_to is None:
                break
    return decl


# ---------------------------------------------------------------- the run


@dataclass
class Instance:
    state: int
    start_pos: int
    end_pos: int = None
    t_start: float = NAN
    t_end: float = NAN
    n_events: int = 1
    close_reason: int = None
    reject_reason: int = 0
    valid: bool = True
    timeout_entered: bool = False


def total_order(x):
    """Sort key of IEEE total order: -NaN, -inf, ..., -0.0, +0.0, ..., +inf, +NaN."""
    bits = struct.unpack("<Q", struct.pack("<d", x))[0]
    magnitude = bits & ((1 << 63) - 1)
    return -magnitude - 1 if bits >> 63 else magnitude


class Run:
    def __init__(self, decl, stream):
        self.decl, self.t = decl, stream.times
        self.hits = [hits(ref, anchor, stream) for ref, anchor in decl.triggers]
        if len(decl.triggers) > MAX_TRIGGERS:
            raise ValueError(f"Too many distinct triggers: {len(decl.triggers)} "
                             f"(maximum {MAX_TRIGGERS})")
        self.cur, self.anchor_time, self.deadline, self.closed = None, NAN, INF, []

    def close(self, end_pos, t_end, reason):
        self.cur.end_pos, self.cur.t_end, self.cur.close_reason = end_pos, t_end, reason
        self.closed.append(self.cur)
        self.cur = None

    def end_before(self, s):
        """end_pos when the instance gives up everything from position s on."""
        if self.cur.timeout_entered:
            return max(self.cur.start_pos, s) - 1
        return max(self.cur.start_pos, max(s - 1, 0))

    def expire_until(self, p, t):
        timeouts = 0
        while self.cur is not None and t > self.deadline:
            cur = self.cur
            owned = [q for q in range(cur.start_pos, p) if self.t[q] <= self.deadline]
            g = owned[-1] if owned else cur.start_pos - 1 if cur.timeout_entered else cur.start_pos
            t_end = max(self.deadline, cur.t_start)
            self.close(g, t_end, TIMEOUT)
            timeouts += 1
            target = self.decl.state(cur.state).timeout_to
            if target is None or timeouts >= len(self.decl.states):
                self.deadline = INF
                return
            self.cur = Instance(state=target, start_pos=g + 1, t_start=t_end, n_events=0,
                                timeout_entered=True)
            self.anchor_time = t_end
            self.deadline = t_end + self.decl.state(target).max_gap

    def step(self, i):
        t_now = self.t[i]
        self.expire_until(i, t_now)  # step 1
        cur_state = self.cur.state if self.cur is not None else 0  # step 2
        for from_ids, trigger, target in self.decl.entries:
            if i in self.hits[trigger] and (not from_ids or cur_state in from_ids):
                s, _ = self.hits[trigger][i]
                break
        else:
            target = None
        if target is None:
            if self.cur is None:
                return
            counted = entered = False
        elif target == cur_state and self.decl.state(target).self_transition == "refresh":
            self.anchor_time = t_now
            self.cur.n_events += 1
            counted, entered = True, False
        elif target == cur_state and self.decl.state(target).self_transition == "ignore":
            counted = entered = False
        else:  # another state, or a restart of this one
            if self.cur is not None:
                self.close(self.end_before(s), self.t[s], TRANSITION)
            self.cur = Instance(state=target, start_pos=s, t_start=self.t[s])
            self.anchor_time = t_now
            counted = entered = True
        d = self.decl.state(self.cur.state)  # step 3
        for trigger in d.sustain:
            if i in self.hits[trigger]:
                if not counted:
                    self.cur.n_events += 1
                if d.gap_anchor != "entry":
                    self.anchor_time = t_now
                break
        else:
            if d.gap_anchor == "any_event":
                self.anchor_time = t_now
        self.deadline = self.anchor_time + d.max_gap
        if entered:  # step 4
            return
        for trigger, state_id, inclusive in self.decl.exits:
            if state_id == self.cur.state and i in self.hits[trigger]:
                s, e = self.hits[trigger][i]
                if not inclusive:
                    end_pos = self.end_before(s)
                elif self.cur.timeout_entered:
                    end_pos = e
                else:
                    end_pos = max(self.cur.start_pos, e)
                self.close(end_pos, t_now, EXIT)
                self.deadline = INF
                return

    def check(self, inst):
        """The reject reason of a closed instance, 0 when it is valid."""
        d = self.decl.state(inst.state)
        if d.drop_unclosed and inst.close_reason == END_OF_STREAM:
            return UNCLOSED
        if d.min_duration > 0 and d.min_duration > inst.t_end - inst.t_start:
            return TOO_SHORT
        if not inst.timeout_entered and inst.n_events < d.min_events:
            return TOO_FEW_EVENTS
        for trigger in d.require:
            later = [pos for pos in sorted(self.hits[trigger]) if pos >= inst.start_pos]
            if not later or later[0] > inst.end_pos:
                return MISSING_REQUIRED
        return 0

    def instances(self):
        n = len(self.t)
        if n == 0:
            return []
        for i in range(n):
            self.step(i)
        self.expire_until(n, self.t[n - 1])
        if self.cur is not None:
            end_pos = n - 1 if self.cur.timeout_entered else max(n - 1, self.cur.start_pos)
            self.close(end_pos, self.t[n - 1], END_OF_STREAM)
        ordered = sorted(self.closed, key=lambda c: (c.start_pos, total_order(c.t_start)))
        for inst in ordered:
            reason = self.check(inst)
            if reason:
                inst.valid, inst.reject_reason = False, reason
        return ordered


def state_spans(data, tokens, times, values=None, include_invalid=True):
    """The ten columns (lists, in key order) of the machine `data` on the stream."""
    run = Run(declare(data), make_stream(tokens, times, values))
    kept = [inst for inst in run.instances() if include_invalid or inst.valid]
    columns = {name: [getattr(inst, name) for inst in kept] for name in COLUMNS}
    columns["valid"] = [int(v) for v in columns["valid"]]
    columns["timeout_entered"] = [int(v) for v in columns["timeout_entered"]]
    return columns
