"""Every statement of the modules that can fail and has a line of its own,
made to fail: the one table that tests/test_reported_lines.py (the compiled
module's traceback entries) and tests/test_rendering_lines.py (the rendering
failing at the same lines) share.  Statements that only an allocation
failure can make fail are left to tests/refs.

A row is (id, where, line, provoke): `where` names the function by module
and qualified name, `line` the statement's line, and `provoke(m)` makes it
fail given the module, compiled or rendered.  A row whose error passes
through several of our functions gives tuples of them, outermost first."""

import contextlib

import pytest
from models import Pairs, complete, guard, run

import rendering
from kelvra_runtime.core.runtime.exceptions import ChildSpec


class Boom(Exception):
    """The doubles' own error, which nothing catches."""


class Stop(BaseException):
    """Not an Exception: the dispatcher lets it end the whole call."""


def boom(*args, **kwargs):
    raise Boom("boom")


class Hostile:
    """Refuses every comparison, every arithmetic step and its truth value."""

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = boom
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = boom
    __bool__ = __len__ = __iter__ = __contains__ = boom
    __hash__ = object.__hash__


class Cap:
    """A cap that counts as set (not <= 0) but refuses the breach test."""

    def __le__(self, other):
        return False

    __lt__ = __gt__ = __ge__ = boom


class Refusing:
    """Equal to nothing except that comparing it with `refused` raises."""

    def __init__(self, refused):
        self.refused = refused

    def __eq__(self, other):
        if other == self.refused:
            raise Boom(f"compared with {other}")
        return False

    __hash__ = object.__hash__


class Colliding:
    """A dict key hashed like `key` whose comparison with it raises."""

    def __init__(self, key):
        self.key = key

    def __hash__(self):
        return hash(self.key)

    __eq__ = boom


class Broken:
    """A record (a spec, a waiter, a guard) whose attribute `name` raises."""

    def __init__(self, name, error=Boom, **attrs):
        self._name, self._error = name, error
        vars(self).update(attrs)

    def __getattr__(self, name):
        if name == self._name:
            raise self._error(name)
        raise AttributeError(name)


def failing_attribute(cls, name, error=Boom):
    """A subclass of `cls` whose attribute `name` cannot be read."""

    class Failing(cls):
        def __getattribute__(self, attr):
            if attr == name:
                raise error(attr)
            return super().__getattribute__(attr)

    return Failing


def refusing_assignment(cls, name, armed=True):
    """A subclass of `cls` that refuses to set `name` once armed."""

    class Refusing(cls):
        refuse = armed

        def __setattr__(self, attr, value):
            if attr == name and type(self).refuse:
                raise Boom(attr)
            super().__setattr__(attr, value)

    return Refusing


def after_init(cls, name, **kwargs):
    """An instance of a subclass of `cls` that refuses to set `name` after it was built."""
    refusing = refusing_assignment(cls, name, armed=False)
    obj = refusing(**kwargs)
    refusing.refuse = True
    return obj


@contextlib.contextmanager
def replaced(module, name, value):
    """The module global `name` bound to `value` (None: missing) meanwhile;
    afterwards the namespace is as it was, in its order too."""
    namespace = vars(module)
    order, saved = list(namespace), namespace[name]
    if value is None:
        del namespace[name]
    else:
        namespace[name] = value
    try:
        yield
    finally:
        namespace[name] = saved
        for later in order[order.index(name) + 1 :]:
            namespace[later] = namespace.pop(later)


def with_global(module, name, value, call):
    with replaced(module, name, value):
        return call()


# parse_duration


class Text(str):
    """A str subclass spec whose strip().lower() is `lowered`, so that the
    walk goes through iteration and the characters' own methods."""

    def __new__(cls, lowered, text="spec"):
        self = super().__new__(cls, text)
        self.lowered = lowered
        return self

    def strip(self):
        return self

    def lower(self):
        return self.lowered


class Unstrippable(str):
    strip = boom


class Unlowerable(Text):
    lower = boom


class Char(str):
    """A character of a spec walked through the general protocols; `broken`
    names the one method that raises."""

    def __new__(cls, text, broken=None):
        self = super().__new__(cls, text)
        self.broken = broken
        return self

    def isdigit(self):
        if self.broken == "isdigit":
            raise Boom("isdigit")
        return super().isdigit()

    def isspace(self):
        if self.broken == "isspace":
            raise Boom("isspace")
        return super().isspace()


class Chars(list):
    """Characters whose iteration raises after the given ones."""

    def __iter__(self):
        yield from super().__iter__()
        raise Boom("iteration")


def general(text, broken_at=None, broken=None):
    return Text([Char(c, broken if i == broken_at else None) for i, c in enumerate(text)])


class Total:
    """A unit value whose product joins the total as an object that refuses
    the final `total <= 0`."""

    def __rmul__(self, other):
        return self

    def __radd__(self, other):
        return self

    __le__ = boom


def parse(value, units=None):
    """parse_duration(value), with the unit table `units` meanwhile if given."""
    if units is None:
        return lambda m: m.parse_duration(value)
    return lambda m: with_global(m, "_DURATION_UNITS", units, lambda: m.parse_duration(value))


# classify_failure


class Reading:
    def __int__(self):
        raise Boom("int")


# the registry


def registry(m, clock=None, **attrs):
    """A registry with its attributes replaced (None: deleted)."""
    r = m.InMemoryWaiterRegistry(clock=clock)
    for name, value in attrs.items():
        if value is None:
            delattr(r, name)
        else:
            setattr(r, name, value)
    return r


# the ledger and its exception


class FailingBase(Exception):
    def __init__(self, *args):
        raise Boom("base")


def breach(cls):
    return cls("r", cap_name="c", cap_value=1.0, would_be=2.0)


def breach_without(m, name):
    e = breach(m.BudgetExceeded)
    delattr(e, name)
    return e.__reduce__()


def ledger(m, **fields):
    return m.Tallybook(**fields)


class NumberLike:
    """A difference that is above zero and is no number."""

    def __gt__(self, other):
        return True


class Subtrahend:
    def __rsub__(self, other):
        return NumberLike()


# the dispatcher


class Suspend:
    """Suspends its awaiter once."""

    def __await__(self):
        yield


def returning(result, suspend=False):
    """A runner that returns `result`, or raises it if it is an exception
    class; after suspending once if asked."""

    async def runner(spec):
        if suspend:
            await Suspend()
        if isinstance(result, type) and issubclass(result, BaseException):
            raise result()
        return result

    return runner


def raising_now(error):
    def runner(spec):
        raise error()

    return runner


class RefusingResult(dict):
    """A result that refuses to take the entry `key`."""

    def __init__(self, key):
        super().__init__()
        self.key = key

    def __setitem__(self, key, value):
        if key == self.key:
            raise Stop(key)
        super().__setitem__(key, value)


class BrokenGet(dict):
    get = setdefault = boom


class Unprintable(Exception):
    def __str__(self):
        raise Boom("str")


def dispatcher(m, runner=None, pending=None):
    d = m.InMemorySpawnDispatcher(child_runner=runner)
    if pending is not None:
        d._pending = pending
    return d


def enqueue(m, runner=None, specs=(ChildSpec(agent="a"),), return_when="all", pending=None):
    return complete(
        dispatcher(m, runner, pending).enqueue_children(
            parent_run_id="r", parent_resume_key="k", specs=specs, return_when=return_when, timeout_seconds=1.0
        )
    )


def collect(m, pending):
    return run(dispatcher(m, pending=pending).collect_results(parent_run_id="r", resume_key="k"))


def noop(m, spec):
    return run(m._default_noop_child_runner(spec))


def spec(broken, error=Boom):
    """A child spec whose attribute `broken` raises `error`."""
    attrs = {"agent": "a", "to_dict": dict}
    del attrs[broken]
    return Broken(broken, error, **attrs)


# The lines of the modules whose lines are ours, read from their renderings;
# faultsort's and policy's are fixed, and stand here as numbers.
WL, TL, SL = (rendering.lines(m) for m in ("waiters", "tallybook", "spawn"))
CLASSIFY = "faultsort.classify_failure"
DURATION = "waiters.parse_duration"
MATCHES = "waiters.SignalWaiter.matches"
REG = "waiters.InMemoryWaiterRegistry."
BREACH = "tallybook.BudgetExceeded."
LEDGER = "tallybook.Tallybook."
DISPATCHER = "spawn.InMemorySpawnDispatcher."
ENQUEUE = DISPATCHER + "enqueue_children"
NOOP = "spawn._default_noop_child_runner"
GUARD_RULES = [  # type, the lines of its type test, its limit and its assignment
    ("cost", TL.cost_rule, TL.cost_limit, TL.cost_assign),
    ("token_count", TL.token_rule, TL.token_limit, TL.token_assign),
    ("spawn_depth", TL.depth_rule, TL.depth_limit, TL.depth_limit),
    ("spawn_fanout", TL.fanout_rule, TL.fanout_limit, TL.fanout_limit),
    ("spawn_concurrent", TL.concurrent_rule, TL.concurrent_limit, TL.concurrent_limit),
    ("wall_time", TL.wall_time_rule, TL.wall_time_limit, TL.wall_time_limit),
]
TRACE_ENTRIES = [
    "cost_cap_usd", "token_cap", "max_spawn_depth", "max_spawn_fanout", "spent_cost_usd", "spent_tokens",
    "current_depth", "active_child_count", "cumulative_child_count", "remaining_usd", "remaining_tokens",
]  # fmt: skip
REGISTRY_LISTS = [  # a registry method, the list it appends to or walks at that line, and a call of it
    ("register_signal_waiter", "_signal_waiters", WL.append_signal, lambda r: run(r.register_signal_waiter(1))),
    ("register_timer", "_timers", WL.append_timer, lambda r: run(r.register_timer(1))),
    ("register_user_input_waiter", "_user_inputs", WL.append_user_input, lambda r: run(r.register_user_input_waiter(1))),
    ("resolve_signal", "_signal_waiters", WL.walk_signals, lambda r: run(r.resolve_signal(signal_name="s", payload={}))),
    ("resolve_user_input", "_user_inputs", WL.walk_user_inputs,
     lambda r: run(r.resolve_user_input(parent_run_id="p", resume_key="k", response=1))),
    ("sweep_expired_timers", "_timers", WL.walk_timers, lambda r: run(r.sweep_expired_timers())),
    ("signal_waiter_count", "_signal_waiters", WL.count_signal_waiters, lambda r: r.signal_waiter_count()),
    ("timer_count", "_timers", WL.count_timers, lambda r: r.timer_count()),
    ("user_input_waiter_count", "_user_inputs", WL.count_user_inputs, lambda r: r.user_input_waiter_count()),
]  # fmt: skip
CALLS = {method: call for method, _, _, call in REGISTRY_LISTS}


def rows(where, *cases):
    """The rows (id, line, provoke) of one function."""
    return [(id, where, line, provoke) for id, line, provoke in cases]


CASES = [
    *rows(CLASSIFY,
        ("classify last event", 36, lambda m: m.classify_failure({Colliding("last_event"): 1})),
        ("classify startswith lookup", 39, lambda m: m.classify_failure({"last_event": None})),
        ("classify startswith truth", 39,
         lambda m: m.classify_failure({"last_event": Broken("x", startswith=lambda prefix: Hostile())})),
        ("classify memory lookup", 44, lambda m: m.classify_failure({Colliding("memory_rss_mb"): 1})),
        ("classify memory reading", 44, lambda m: m.classify_failure({"memory_rss_mb": Reading()})),
        ("classify memory overflow", 44, lambda m: m.classify_failure({"memory_rss_mb": float("inf")})),
    ),
    # policy: its bodies only allocate.
    # parse_duration, through the exact-str walk and the general one
    *rows(DURATION,
        ("duration int overflow", WL.numeric, parse(10**400)),
        ("duration int subclass overflow", WL.numeric, parse(type("Big", (int,), {})(10**400))),
        ("duration unsupported", WL.unsupported, parse(None)),
        ("duration strip", WL.normalise, parse(Unstrippable("1h"))),
        ("duration lower", WL.normalise, parse(Unlowerable(None))),
        ("duration empty", WL.empty, parse(" ")),
        ("duration unit test", WL.unit_test, parse("1x", units=Hostile())),
        ("duration no unit table", WL.unit_test,
         lambda m: with_global(m, "_DURATION_UNITS", None, lambda: m.parse_duration("1x"))),
        ("general unit test", WL.unit_test, parse(general("1x"), units=Hostile())),
        ("duration no number", WL.no_number, parse("h")),
        ("general no number", WL.no_number, parse(general("h"))),
        ("duration number text", WL.add_unit, parse("1.2.3h")),
        ("duration unit value", WL.add_unit, parse("1h", units={"h": "x"})),
        ("general number text", WL.add_unit, parse(general("1..h"))),
        ("general isspace", WL.space_test, parse(general("1%", 1, "isspace"))),
        ("duration unrecognized", WL.unrecognized, parse("2x")),
        ("general unrecognized", WL.unrecognized, parse(general("2x"))),
        ("duration trailing", WL.trailing, parse("1.2.3")),
        ("general trailing", WL.trailing, parse(general("1.."))),
        ("duration not positive", WL.not_positive, parse("0")),
        ("general not positive", WL.not_positive, parse(general("0"))),
    ),
    # SignalWaiter.matches, over an exact dict and over any items()
    *rows(MATCHES,
        ("matches name test", WL.name_test, lambda m: m.SignalWaiter("p", "k", Hostile()).matches("s", {})),
        ("matches no match", WL.match_items, lambda m: m.SignalWaiter("p", "k", "s", None).matches("s", {})),
        ("matches pairs", WL.match_items, lambda m: m.SignalWaiter("p", "k", "s", Pairs((1, 2, 3))).matches("s", {})),
        ("matches value", WL.value_test, lambda m: m.SignalWaiter("p", "k", "s", {"v": Hostile()}).matches("s", {"v": 1})),
        ("matches pairs value", WL.value_test,
         lambda m: m.SignalWaiter("p", "k", "s", Pairs(("v", Hostile()))).matches("s", {"v": 1})),
    ),
    # the registry: its lists missing, and of the wrong type
    *[
        (f"{method} {lists} {case}", REG + method, line, lambda m, c=call, a={lists: value}: c(registry(m, **a)))
        for method, lists, line, call in REGISTRY_LISTS
        for case, value in [("missing", None), ("wrong type", () if method.startswith("register") else 5)]
    ],
    *rows(REG + "__init__",
        ("registry clock test", WL.set_clock, lambda m: m.InMemoryWaiterRegistry(clock=Hostile())),
        ("registry set lists", WL.set_lists, lambda m: refusing_assignment(m.InMemoryWaiterRegistry, "_timers")()),
    ),
    *rows(REG + "resolve_signal",
        ("resolve signal matches", WL.call_matches,
         lambda m: CALLS["resolve_signal"](registry(m, _signal_waiters=[Broken("matches")]))),
        *[
            (f"resolve signal record {waiter._name}", WL.match_record,
             lambda m, w=waiter: CALLS["resolve_signal"](registry(m, _signal_waiters=[w])))
            for waiter in [
                Broken("parent_run_id", matches=lambda *a: True),
                Broken("resume_key", parent_run_id="p", matches=lambda *a: True),
            ]
        ],
        ("resolve signal replace", WL.replace_signals,
         lambda m: CALLS["resolve_signal"](after_init(m.InMemoryWaiterRegistry, "_signal_waiters"))),
    ),
    *rows(REG + "resolve_user_input",
        ("resolve user input test", WL.user_input_test,
         lambda m: CALLS["resolve_user_input"](registry(m, _user_inputs=[m.UserInputWaiter(Hostile(), "k", "q")]))),
        ("resolve user input remove", WL.user_input_remove,
         lambda m: CALLS["resolve_user_input"](registry(m, _user_inputs=(m.UserInputWaiter("p", "k", "q"),)))),
    ),
    *rows(REG + "sweep_expired_timers",
        ("sweep clock", WL.call_clock, lambda m: CALLS["sweep_expired_timers"](registry(m, clock=boom))),
        ("sweep timer test", WL.timer_test,
         lambda m: CALLS["sweep_expired_timers"](registry(m, clock=lambda: 1.0, _timers=[m.TimerWaiter("p", "k", None)]))),
        ("sweep timer record", WL.timer_record,
         lambda m: CALLS["sweep_expired_timers"](
             registry(m, clock=lambda: 1.0, _timers=[Broken("parent_run_id", resume_at_unix=0.0)]))),
        ("sweep replace", WL.replace_timers,
         lambda m: CALLS["sweep_expired_timers"](after_init(m.InMemoryWaiterRegistry, "_timers"))),
    ),
    # BudgetExceeded
    *rows(BREACH + "__init__",
        *[
            (f"breach stores {name}", line, lambda m, n=name: breach(refusing_assignment(m.BudgetExceeded, n)))
            for name, line in [("cap_name", TL.set_cap_name), ("cap_value", TL.set_cap_value), ("would_be", TL.set_would_be)]
        ],
        ("breach base init", TL.base_init, lambda m: breach(type("Breach", (m.BudgetExceeded, FailingBase), {}))),
    ),
    *rows(BREACH + "__reduce__",
        ("breach reduce without would_be", TL.reduce_reads, lambda m: breach_without(m, "would_be")),
        ("breach reduce reads cap_name", TL.reduce_reads,
         lambda m: breach(failing_attribute(m.BudgetExceeded, "cap_name", AttributeError)).__reduce__()),
        ("breach reduce reads args", TL.reduce, lambda m: breach(failing_attribute(m.BudgetExceeded, "args")).__reduce__()),
    ),
    # Tallybook
    *rows(LEDGER + "remaining_usd",
        ("remaining usd test", TL.remaining_usd_test, lambda m: ledger(m, cost_cap_usd=Hostile()).remaining_usd()),
        ("remaining usd difference", TL.remaining_usd,
         lambda m: ledger(m, cost_cap_usd=1.0, spent_cost_usd=None).remaining_usd()),
    ),
    *rows(LEDGER + "remaining_tokens",
        ("remaining tokens test", TL.remaining_tokens_test, lambda m: ledger(m, token_cap=Hostile()).remaining_tokens()),
        ("remaining tokens difference", TL.remaining_tokens,
         lambda m: ledger(m, token_cap=1, spent_tokens=None).remaining_tokens()),
        ("remaining tokens result", TL.remaining_tokens,
         lambda m: ledger(m, token_cap=5, spent_tokens=Subtrahend()).remaining_tokens()),
    ),
    *rows(LEDGER + "debit",
        ("debit cost", TL.add_cost, lambda m: ledger(m, spent_cost_usd=None).debit(cost_usd=1.0)),
        ("debit tokens", TL.add_tokens, lambda m: ledger(m, spent_tokens=None).debit(tokens=1)),
        ("debit tool", TL.count_tool, lambda m: ledger(m, tool_call_counts=None).debit(tool_name="t")),
        ("debit tool count", TL.count_tool, lambda m: ledger(m, tool_call_counts=BrokenGet()).debit(tool_name="t")),
        ("debit cost test", TL.cost_test, lambda m: ledger(m, cost_cap_usd=Hostile()).debit()),
        ("debit cost breach", TL.cost_breach, lambda m: ledger(m, cost_cap_usd=1.0).debit(cost_usd=2.0)),
        ("debit token test", TL.token_test, lambda m: ledger(m, token_cap=Hostile()).debit()),
        ("debit token breach", TL.token_breach, lambda m: ledger(m, token_cap=1).debit(tokens=2)),
        *[
            (f"debit reads {name}", line,
             lambda m, n=name: failing_attribute(m.Tallybook, n)().debit(cost_usd=1.0, tool_name="t"))
            for name, line in [("spent_cost_usd", TL.add_cost), ("spent_tokens", TL.add_tokens),
                               ("tool_call_counts", TL.count_tool), ("cost_cap_usd", TL.cost_test),
                               ("token_cap", TL.token_test)]
        ],
    ),
    *rows(LEDGER + "check_depth",
        ("depth test", TL.depth_test, lambda m: ledger(m, max_spawn_depth=Hostile()).check_depth()),
        ("depth sum", TL.depth_sum, lambda m: ledger(m, current_depth=None).check_depth()),
        ("depth compare", TL.depth_compare, lambda m: ledger(m, max_spawn_depth=Cap()).check_depth()),
        ("depth breach", TL.depth_breach, lambda m: ledger(m, current_depth=3).check_depth()),
    ),
    *rows(LEDGER + "check_fanout",
        ("fanout test", TL.fanout_test, lambda m: ledger(m, max_spawn_fanout=Hostile()).check_fanout(1)),
        ("fanout compare", TL.fanout_compare, lambda m: ledger(m, max_spawn_fanout=Cap()).check_fanout(1)),
        ("fanout breach", TL.fanout_breach, lambda m: ledger(m, max_spawn_fanout=1).check_fanout(2)),
    ),
    *rows(LEDGER + "check_concurrent",
        ("concurrent test", TL.concurrent_test, lambda m: ledger(m, max_concurrent_spawns=Hostile()).check_concurrent(1)),
        ("concurrent sum", TL.concurrent_sum, lambda m: ledger(m, active_child_count=None).check_concurrent(1)),
        ("concurrent compare", TL.concurrent_compare, lambda m: ledger(m, max_concurrent_spawns=Cap()).check_concurrent(1)),
        ("concurrent breach", TL.concurrent_breach, lambda m: ledger(m, max_concurrent_spawns=1).check_concurrent(2)),
    ),
    *rows(LEDGER + "check_can_afford",
        ("afford test", TL.afford_test, lambda m: ledger(m, cost_cap_usd=Hostile()).check_can_afford(1.0)),
        ("afford sum", TL.afford_sum, lambda m: ledger(m, cost_cap_usd=1.0, spent_cost_usd=None).check_can_afford(1.0)),
        ("afford compare", TL.afford_compare, lambda m: ledger(m, cost_cap_usd=Cap()).check_can_afford(1.0)),
        ("afford breach", TL.afford_breach, lambda m: ledger(m, cost_cap_usd=1.0).check_can_afford(2.0)),
    ),
    *rows(LEDGER + "register_child_spawned",
        ("spawned active", TL.spawned_active, lambda m: ledger(m, active_child_count=None).register_child_spawned()),
        ("spawned cumulative", TL.spawned_cumulative,
         lambda m: ledger(m, cumulative_child_count=None).register_child_spawned()),
    ),
    ("completed", LEDGER + "register_child_completed", TL.completed,
     lambda m: ledger(m, active_child_count=None).register_child_completed()),
    *rows(LEDGER + "from_guards",
        ("guards ledger", TL.make_ledger, lambda m: type("Ledger", (m.Tallybook,), {"__init__": boom}).from_guards([])),
        ("guards type", TL.read_type, lambda m: m.Tallybook.from_guards([Broken("type")])),
        ("guards action", TL.read_action, lambda m: m.Tallybook.from_guards([Broken("action", type="cost")])),
        ("guards action test", TL.action_test, lambda m: m.Tallybook.from_guards([guard("cost", 1.0, action=Hostile())])),
        *[
            (f"guards {kind} type test", test, lambda m, k=kind: m.Tallybook.from_guards([guard(Refusing(k), 1)]))
            for kind, test, _, _ in GUARD_RULES
        ],
        *[
            (f"guards {kind} limit", limit, lambda m, k=kind: m.Tallybook.from_guards(
                [guard(k, limit_as_usd=boom, limit_as_count=boom, limit_as_seconds=boom)]))
            for kind, _, limit, _ in GUARD_RULES
        ],
        *[
            (f"guards {kind} assignment", assign, lambda m, k=kind: m.Tallybook.from_guards([guard(k, 5), guard(k, Cap())]))
            for kind, _, _, assign in GUARD_RULES[:2]
        ],
        # the field read shares its line with the call after it
        ("guards cost cap read", TL.cost_limit,
         lambda m: failing_attribute(m.Tallybook, "cost_cap_usd").from_guards([guard("cost", 1.0)])),
    ),
    *rows(LEDGER + "to_trace_data",
        *[
            (f"trace {name}", TL.trace_first_entry + i, lambda m, n=name: failing_attribute(m.Tallybook, n)().to_trace_data())
            for i, name in enumerate(TRACE_ENTRIES)
        ],
        *[
            (f"trace calls {name}", TL.trace_first_entry + TRACE_ENTRIES.index(name),
             lambda m, n=name: type("Ledger", (m.Tallybook,), {n: boom})().to_trace_data())
            for name in ("remaining_usd", "remaining_tokens")
        ],
        ("trace rounding", TL.trace_first_entry + TRACE_ENTRIES.index("spent_cost_usd"),
         lambda m: ledger(m, spent_cost_usd="x").to_trace_data()),
    ),
    # the dispatcher and its default runner
    *rows(DISPATCHER + "__init__",
        ("dispatcher runner test", SL.set_runner, lambda m: m.InMemorySpawnDispatcher(child_runner=Hostile())),
        ("dispatcher default runner", SL.set_runner,
         lambda m: with_global(m, "_default_noop_child_runner", None, m.InMemorySpawnDispatcher)),
        ("dispatcher set pending", SL.set_pending, lambda m: refusing_assignment(m.InMemorySpawnDispatcher, "_pending")()),
    ),
    *rows(ENQUEUE,
        ("enqueue runner call", SL.await_child, lambda m: enqueue(m, raising_now(Stop))),
        ("enqueue runner await", SL.await_child, lambda m: enqueue(m, returning(Stop))),
        ("enqueue runner after suspending", SL.await_child, lambda m: enqueue(m, returning(Stop, suspend=True))),
        ("enqueue child id", SL.set_child_id, lambda m: enqueue(m, returning(RefusingResult("child_run_id")))),
        ("enqueue result spec", SL.set_spec, lambda m: enqueue(m, returning(RefusingResult("spec")))),
        ("enqueue spec", SL.set_spec, lambda m: enqueue(m, returning({}), specs=(spec("to_dict", Stop),))),
        ("enqueue failure class", SL.failure_result,
         lambda m: with_global(m, "ChildResult", None, lambda: enqueue(m, returning(Boom)))),
        ("enqueue failure result", SL.failure_result,
         lambda m: with_global(m, "ChildResult", boom, lambda: enqueue(m, returning(Boom)))),
        ("enqueue failure spec", SL.failure_spec, lambda m: enqueue(m, returning({}), specs=(spec("to_dict"),))),
        ("enqueue failure error", SL.failure_error, lambda m: enqueue(m, returning(Unprintable))),
        ("enqueue first success", SL.first_success, lambda m: enqueue(m, returning({}), return_when=Hostile())),
        ("enqueue first success output", SL.first_success,
         lambda m: enqueue(m, returning(BrokenGet()), return_when="first_success")),
        ("enqueue any", SL.any, lambda m: enqueue(m, returning({}), return_when=Refusing("any"))),
        ("enqueue store", SL.store_results, lambda m: enqueue(m, returning({}), pending=Hostile())),
        ("enqueue store call", SL.store_results, lambda m: enqueue(m, returning({}), pending=BrokenGet())),
        ("enqueue store key", SL.store_results, lambda m: enqueue(m, returning({}), pending={"r": ()})),
    ),
    *rows(DISPATCHER + "collect_results",
        ("collect pending", SL.pop_results, lambda m: collect(m, Hostile())),
        ("collect pending call", SL.pop_results, lambda m: collect(m, BrokenGet())),
        ("collect per parent", SL.pop_results, lambda m: collect(m, {"r": Hostile()})),
        ("collect not a dict", SL.pop_results, lambda m: collect(m, {"r": {"k": 5}})),
    ),
    *rows(NOOP,
        ("runner result class", SL.noop_result,
         lambda m: with_global(m, "ChildResult", None, lambda: noop(m, ChildSpec(agent="a")))),
        ("runner result", SL.noop_result, lambda m: with_global(m, "ChildResult", boom, lambda: noop(m, ChildSpec(agent="a")))),
        ("runner spec", SL.noop_spec, lambda m: noop(m, spec("to_dict"))),
        ("runner output", SL.noop_output, lambda m: noop(m, spec("agent"))),
    ),
    ("runner in the dispatcher", (ENQUEUE, NOOP), (SL.await_child, SL.noop_spec),
     lambda m: enqueue(m, specs=(spec("to_dict", Stop),))),
]  # fmt: skip

# Statements without a line of their own: the compiled module reports them
# under the marked statement they belong to, where the rendering fails at
# their own line.
UNMARKED = rows(DURATION,
    ("duration empty test", WL.empty, parse(Text(Hostile()))),
    ("general not iterable", WL.unit_test, parse(Text(5))),
    ("general iteration", WL.unit_test, parse(Text(Chars("1")))),
    ("general isdigit", WL.unit_test, parse(general("1h", 1, "isdigit"))),
    ("duration total test", WL.not_positive, parse("1h", units={"h": Total()})),
)  # fmt: skip

# Arguments the binding refuses: the entry cites the `def` line, where the
# rendering (which does not imitate the binding) has no frame at all.
BINDING = [
    ("classify", CLASSIFY, 15, lambda m: m.classify_failure()),
    *[
        (f"{cls}.{method}", f"policy.{cls}.{method}", line, lambda m, c=cls, f=method: getattr(getattr(m, c), f)())
        for cls, method, line in [
            ("PolicyProvider", "get_runtime_configs", 21),
            ("PolicyProvider", "get_policy", 29),
            ("NoOpPolicyProvider", "get_runtime_configs", 48),
            ("NoOpPolicyProvider", "get_policy", 51),
        ]
    ],
    ("duration", DURATION, WL["parse_duration"], lambda m: m.parse_duration(1, 2)),
    ("matches", MATCHES, WL["SignalWaiter.matches"], lambda m: m.SignalWaiter("p", "k", "s").matches("s")),
    ("registry", REG + "__init__", WL["InMemoryWaiterRegistry.__init__"], lambda m: m.InMemoryWaiterRegistry(1)),
    *[
        (method, REG + method, WL[f"InMemoryWaiterRegistry.{method}"], lambda m, f=method, a=args: getattr(registry(m), f)(*a))
        for method, args in [
            ("register_signal_waiter", ()), ("register_timer", ()), ("register_user_input_waiter", ()),
            ("resolve_signal", ("s",)), ("resolve_user_input", ("p",)), ("sweep_expired_timers", (1,)),
            ("signal_waiter_count", (1,)), ("timer_count", (1,)), ("user_input_waiter_count", (1,)),
        ]
    ],
    ("breach", BREACH + "__init__", TL["BudgetExceeded.__init__"], lambda m: m.BudgetExceeded()),
    ("breach reduce", BREACH + "__reduce__", TL["BudgetExceeded.__reduce__"], lambda m: m.BudgetExceeded.__reduce__()),
    *[
        (method, LEDGER + method, TL[f"Tallybook.{method}"], lambda m, f=method, a=args: getattr(m.Tallybook(), f)(*a))
        for method, args in [
            ("debit", (1.0,)), ("check_depth", (1, 2)), ("check_fanout", ()), ("check_concurrent", ()),
            ("check_can_afford", ()), ("register_child_spawned", (1,)), ("register_child_completed", (1,)),
        ]
    ],
    *[
        (method, LEDGER + method, TL[f"Tallybook.{method}"], lambda m, f=method: getattr(m.Tallybook, f)())
        for method in ("remaining_usd", "remaining_tokens", "from_guards", "to_trace_data")
    ],
    ("dispatcher", DISPATCHER + "__init__", SL["InMemorySpawnDispatcher.__init__"], lambda m: m.InMemorySpawnDispatcher(1)),
    *[
        (method, DISPATCHER + method, SL[f"InMemorySpawnDispatcher.{method}"],
         lambda m, f=method: getattr(m.InMemorySpawnDispatcher(), f)(1))
        for method in ("enqueue_children", "collect_results")
    ],
    ("runner", NOOP, SL["_default_noop_child_runner"], lambda m: m._default_noop_child_runner()),
]  # fmt: skip


def params(rows):
    return [pytest.param(where, line, provoke, id=id) for id, where, line, provoke in rows]


def module_of(where):
    return (where[0] if isinstance(where, tuple) else where).split(".")[0]


def entries(where, line):
    """The (module.qualname, line) entries a row expects, outermost first."""
    return list(zip(where, line)) if isinstance(where, tuple) else [(where, line)]
