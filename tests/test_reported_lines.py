"""Every statement that can fail and has a line of its own, made to fail:
the traceback entries of our modules must name the function by its dotted
path, the module's source file, and that statement's line.  Statements that
only an allocation failure can make fail are left to tests/refs."""

import traceback

import pytest

from kelvra_runtime.core.runtime import spawn, waiters
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter, TimerWaiter, UserInputWaiter
import rendering
from models import Pairs, complete, guard, run

PACKAGE = "kelvra_runtime.core.runtime"
SOURCES = "src/kelvra_runtime/core/runtime/"


class Boom(Exception):
    pass


class Halt(BaseException):
    """Not an Exception: the dispatcher lets it end the whole call."""


def boom(*args, **kwargs):
    raise Boom


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
            raise Boom
        return False

    def __ne__(self, other):
        return not self == other

    __hash__ = object.__hash__


class Total:
    """A unit value whose product joins the total as an object that refuses
    the final `total <= 0`."""

    def __rmul__(self, other):
        return self

    def __radd__(self, other):
        return self

    __le__ = boom


class Char(str):
    """A character of a spec walked through the general protocols; `broken`
    names the one method that raises."""

    def __new__(cls, text, broken=None):
        self = super().__new__(cls, text)
        self.broken = broken
        return self

    def isdigit(self):
        if self.broken == "isdigit":
            raise Boom
        return super().isdigit()

    def isspace(self):
        if self.broken == "isspace":
            raise Boom
        return super().isspace()


class Spec(str):
    """A str subclass spec whose strip().lower() is `lowered`, so that the
    walk goes through iteration and the characters' own methods."""

    def __new__(cls, lowered, text="spec"):
        self = super().__new__(cls, text)
        self.lowered = lowered
        return self

    def strip(self):
        return self

    def lower(self):
        if isinstance(self.lowered, BaseException):
            raise self.lowered
        return self.lowered


class Chars(list):
    """Characters whose iteration raises after the given ones."""

    def __iter__(self):
        yield from super().__iter__()
        raise Boom


def general(text, broken_at=None, broken=None):
    return Spec([Char(c, broken if i == broken_at else None) for i, c in enumerate(text)])


class Broken:
    """A spec (or any record) whose attribute `name` raises."""

    def __init__(self, name, error=Boom, **attrs):
        self._name, self._error = name, error
        vars(self).update(attrs)

    def __getattr__(self, name):
        if name == self._name:
            raise self._error
        raise AttributeError(name)


def raising_spec(error):
    """A child spec whose to_dict() raises `error`."""
    return Broken("to_dict", error, agent="a")


def parse(value, units=None):
    def call(mp):
        if units is not None:
            mp.setattr(waiters, "_DURATION_UNITS", units)
        return waiters.parse_duration(value)

    return call


def delete_global(module, name, then):
    def call(mp):
        mp.delattr(module, name)
        return then(mp)

    return call


def registry(**attrs):
    r = InMemoryWaiterRegistry(clock=attrs.pop("clock", None))
    vars(r).update(attrs)
    return r


def ledger(**fields):
    return Tallybook(**fields)


def ledger_class_with(name):
    """A Tallybook subclass whose field or method `name` raises."""
    if name in ("remaining_usd", "remaining_tokens"):
        return type("Ledger", (Tallybook,), {name: boom})()
    return type("Ledger", (Tallybook,), {name: property(boom, lambda self, value: None)})()


def exception_with(name):
    """A BudgetExceeded subclass that refuses to store `name`."""
    return type("Breach", (BudgetExceeded,), {name: property(lambda self: 0)})


class FailingBase(Exception):
    def __init__(self, *args):
        raise Boom


class BreachWithFailingBase(BudgetExceeded, FailingBase):
    pass


def breach_without(name):
    e = BudgetExceeded("r", cap_name="c", cap_value=1.0, would_be=2.0)
    delattr(e, name)
    return e.__reduce__()


class FailingLedger(Tallybook):
    def __init__(self):
        raise Boom


def dispatch(runner=None, specs=(ChildSpec(agent="a"),), return_when="all", pending=None):
    def call(mp):
        d = InMemorySpawnDispatcher(child_runner=runner)
        if pending is not None:
            d._pending = pending
        return complete(
            d.enqueue_children(
                parent_run_id="r", parent_resume_key="k", specs=specs, return_when=return_when, timeout_seconds=1.0
            )
        )

    return call


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


class Suspend:
    """Suspends its awaiter once."""

    def __await__(self):
        yield


def raising_now(error):
    def runner(spec):
        raise error()

    return runner


class LabelRefused(dict):
    def __setitem__(self, key, value):
        raise Halt


class Unprintable(Exception):
    def __str__(self):
        raise Boom


def collect(pending):
    def call(mp):
        d = InMemorySpawnDispatcher()
        d._pending = pending
        return run(d.collect_results(parent_run_id="r", resume_key="k"))

    return call


def noop_runner(spec):
    return lambda mp: run(spawn._default_noop_child_runner(spec))


W, T, S, P, F = "waiters.", "tallybook.", "spawn.", "policy.", "faultsort."
# The lines of the modules whose lines are ours, read from their renderings;
# faultsort's and policy's are fixed, and stand here as numbers.
WL, TL, SL = (rendering.lines(m) for m in ("waiters", "tallybook", "spawn"))
CLASSIFY = F + "classify_failure"
MATCHES = W + "SignalWaiter.matches"
REG = W + "InMemoryWaiterRegistry."
LEDGER = T + "Tallybook."
ENQUEUE = S + "InMemorySpawnDispatcher.enqueue_children"
NOOP = S + "_default_noop_child_runner"
SIGNAL = SignalWaiter("p", "k", "s")
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

# (id, call(monkeypatch), the entries expected, outermost first: (module.qualname, line))
CASES = [
    # classify_failure
    ("classify binding", lambda mp: classify_failure(), [(CLASSIFY, 15)]),
    ("classify last event", lambda mp: classify_failure({CollidingKey("last_event"): 1}), [(CLASSIFY, 36)]),
    ("classify signal test", lambda mp: classify_failure({"last_event": Broken("startswith")}), [(CLASSIFY, 39)]),
    ("classify memory lookup", lambda mp: classify_failure({CollidingKey("memory_rss_mb"): 1}), [(CLASSIFY, 44)]),
    ("classify memory reading", lambda mp: classify_failure({"memory_rss_mb": Reading()}), [(CLASSIFY, 44)]),
    # the policy providers' methods
    *[
        (
            f"{cls.__name__}.{method} binding",
            lambda mp, c=cls, m=method: getattr(c, m)(),
            [(f"{P}{cls.__name__}.{method}", line)],
        )
        for cls, method, line in [
            (PolicyProvider, "get_runtime_configs", 21),
            (PolicyProvider, "get_policy", 29),
            (NoOpPolicyProvider, "get_runtime_configs", 48),
            (NoOpPolicyProvider, "get_policy", 51),
        ]
    ],
    # parse_duration, through the exact-str walk and the general one
    ("duration binding", lambda mp: waiters.parse_duration(1, 2), [(W + "parse_duration", WL["parse_duration"])]),
    ("duration int overflow", parse(10**400), [(W + "parse_duration", WL.numeric)]),
    ("duration int subclass overflow", parse(type("Big", (int,), {})(10**400)), [(W + "parse_duration", WL.numeric)]),
    ("duration unsupported", parse(None), [(W + "parse_duration", WL.unsupported)]),
    ("duration normalise", parse(Spec(Boom())), [(W + "parse_duration", WL.normalise)]),
    ("duration empty", parse(" "), [(W + "parse_duration", WL.empty)]),
    ("duration empty test", parse(Spec(Hostile())), [(W + "parse_duration", WL.empty)]),
    ("duration unit test", parse("1x", units=Hostile()), [(W + "parse_duration", WL.unit_test)]),
    ("duration no unit table", delete_global(waiters, "_DURATION_UNITS", parse("1x")), [(W + "parse_duration", WL.unit_test)]),
    ("general not iterable", parse(Spec(5)), [(W + "parse_duration", WL.unit_test)]),
    ("general iteration", parse(Spec(Chars("1"))), [(W + "parse_duration", WL.unit_test)]),
    ("general isdigit", parse(general("1h", 1, "isdigit")), [(W + "parse_duration", WL.unit_test)]),
    ("general unit test", parse(general("1x"), units=Hostile()), [(W + "parse_duration", WL.unit_test)]),
    ("duration no number", parse("h"), [(W + "parse_duration", WL.no_number)]),
    ("general no number", parse(general("h")), [(W + "parse_duration", WL.no_number)]),
    ("duration number text", parse("1.2.3h"), [(W + "parse_duration", WL.add_unit)]),
    ("duration unit value", parse("1h", units={"h": "x"}), [(W + "parse_duration", WL.add_unit)]),
    ("general number text", parse(general("1..h")), [(W + "parse_duration", WL.add_unit)]),
    ("general isspace", parse(general("1%", 1, "isspace")), [(W + "parse_duration", WL.space_test)]),
    ("duration unrecognized", parse("2x"), [(W + "parse_duration", WL.unrecognized)]),
    ("general unrecognized", parse(general("2x")), [(W + "parse_duration", WL.unrecognized)]),
    ("duration trailing", parse("1.2.3"), [(W + "parse_duration", WL.trailing)]),
    ("general trailing", parse(general("1..")), [(W + "parse_duration", WL.trailing)]),
    ("duration not positive", parse("0"), [(W + "parse_duration", WL.not_positive)]),
    ("general not positive", parse(general("0")), [(W + "parse_duration", WL.not_positive)]),
    ("duration total test", parse("1h", units={"h": Total()}), [(W + "parse_duration", WL.not_positive)]),
    # SignalWaiter.matches, over an exact dict and over any items()
    ("matches binding", lambda mp: SIGNAL.matches("s"), [(MATCHES, WL["SignalWaiter.matches"])]),
    ("matches name test", lambda mp: SignalWaiter("p", "k", Hostile()).matches("s", {}), [(MATCHES, WL.name_test)]),
    ("matches no match", lambda mp: SignalWaiter("p", "k", "s", None).matches("s", {}), [(MATCHES, WL.match_items)]),
    ("matches items", lambda mp: SignalWaiter("p", "k", "s", Broken("items")).matches("s", {}), [(MATCHES, WL.match_items)]),
    ("matches pairs", lambda mp: SignalWaiter("p", "k", "s", Pairs((1, 2, 3))).matches("s", {}), [(MATCHES, WL.match_items)]),
    ("matches value", lambda mp: SignalWaiter("p", "k", "s", {"v": Hostile()}).matches("s", {"v": 1}), [(MATCHES, WL.value_test)]),
    (
        "matches pairs value",
        lambda mp: SignalWaiter("p", "k", "s", Pairs(("v", Hostile()))).matches("s", {"v": 1}),
        [(MATCHES, WL.value_test)],
    ),
    # the registry
    ("registry binding", lambda mp: InMemoryWaiterRegistry(1), [(REG + "__init__", WL["InMemoryWaiterRegistry.__init__"])]),
    ("registry clock test", lambda mp: InMemoryWaiterRegistry(clock=Hostile()), [(REG + "__init__", WL.set_clock)]),
    (
        "register signal binding",
        lambda mp: registry().register_signal_waiter(),
        [(REG + "register_signal_waiter", WL["InMemoryWaiterRegistry.register_signal_waiter"])],
    ),
    (
        "register signal",
        lambda mp: run(registry(_signal_waiters=()).register_signal_waiter(SIGNAL)),
        [(REG + "register_signal_waiter", WL.append_signal)],
    ),
    ("register timer binding", lambda mp: registry().register_timer(), [(REG + "register_timer", WL["InMemoryWaiterRegistry.register_timer"])]),
    (
        "register timer",
        lambda mp: run(registry(_timers=()).register_timer(TimerWaiter("p", "k", 1.0))),
        [(REG + "register_timer", WL.append_timer)],
    ),
    (
        "register user input binding",
        lambda mp: registry().register_user_input_waiter(),
        [(REG + "register_user_input_waiter", WL["InMemoryWaiterRegistry.register_user_input_waiter"])],
    ),
    (
        "register user input",
        lambda mp: run(registry(_user_inputs=None).register_user_input_waiter(UserInputWaiter("p", "k", "q"))),
        [(REG + "register_user_input_waiter", WL.append_user_input)],
    ),
    ("resolve signal binding", lambda mp: registry().resolve_signal("s"), [(REG + "resolve_signal", WL["InMemoryWaiterRegistry.resolve_signal"])]),
    (
        "resolve signal matches",
        lambda mp: run(registry(_signal_waiters=[Broken("matches")]).resolve_signal(signal_name="s", payload={})),
        [(REG + "resolve_signal", WL.call_matches)],
    ),
    (
        "resolve signal no list",
        lambda mp: run(registry(_signal_waiters=None).resolve_signal(signal_name="s", payload={})),
        [(REG + "resolve_signal", WL.walk_signals)],
    ),
    (
        "resolve signal record",
        lambda mp: run(
            registry(_signal_waiters=[Broken("parent_run_id", matches=lambda *a: True)]).resolve_signal(
                signal_name="s", payload={}
            )
        ),
        [(REG + "resolve_signal", WL.match_record)],
    ),
    ("resolve user input binding", lambda mp: registry().resolve_user_input("p"), [(REG + "resolve_user_input", WL["InMemoryWaiterRegistry.resolve_user_input"])]),
    (
        "resolve user input test",
        lambda mp: run(
            registry(_user_inputs=[UserInputWaiter(Hostile(), "k", "q")]).resolve_user_input(
                parent_run_id="p", resume_key="k", response=1
            )
        ),
        [(REG + "resolve_user_input", WL.user_input_test)],
    ),
    (
        "resolve user input remove",
        lambda mp: run(
            registry(_user_inputs=(UserInputWaiter("p", "k", "q"),)).resolve_user_input(
                parent_run_id="p", resume_key="k", response=1
            )
        ),
        [(REG + "resolve_user_input", WL.user_input_remove)],
    ),
    ("sweep binding", lambda mp: registry().sweep_expired_timers(1), [(REG + "sweep_expired_timers", WL["InMemoryWaiterRegistry.sweep_expired_timers"])]),
    ("sweep clock", lambda mp: run(registry(clock=boom).sweep_expired_timers()), [(REG + "sweep_expired_timers", WL.call_clock)]),
    (
        "sweep timer test",
        lambda mp: run(registry(clock=lambda: 1.0, _timers=[TimerWaiter("p", "k", None)]).sweep_expired_timers()),
        [(REG + "sweep_expired_timers", WL.timer_test)],
    ),
    (
        "sweep timer record",
        lambda mp: run(
            registry(clock=lambda: 1.0, _timers=[Broken("parent_run_id", resume_at_unix=0.0)]).sweep_expired_timers()
        ),
        [(REG + "sweep_expired_timers", WL.timer_record)],
    ),
    ("signal count binding", lambda mp: registry().signal_waiter_count(1), [(REG + "signal_waiter_count", WL["InMemoryWaiterRegistry.signal_waiter_count"])]),
    ("timer count binding", lambda mp: registry().timer_count(1), [(REG + "timer_count", WL["InMemoryWaiterRegistry.timer_count"])]),
    (
        "user input count binding",
        lambda mp: registry().user_input_waiter_count(1),
        [(REG + "user_input_waiter_count", WL["InMemoryWaiterRegistry.user_input_waiter_count"])],
    ),
    *[
        (f"{method} len", lambda mp, m=method, a=attr: getattr(registry(**{a: 5}), m)(), [(REG + method, line)])
        for method, attr, line in [
            ("signal_waiter_count", "_signal_waiters", WL.count_signal_waiters),
            ("timer_count", "_timers", WL.count_timers),
            ("user_input_waiter_count", "_user_inputs", WL.count_user_inputs),
        ]
    ],
    # BudgetExceeded
    ("breach binding", lambda mp: BudgetExceeded(), [(T + "BudgetExceeded.__init__", TL["BudgetExceeded.__init__"])]),
    *[
        (
            f"breach stores {name}",
            lambda mp, n=name: exception_with(n)("r", cap_name="c", cap_value=1.0, would_be=2.0),
            [(T + "BudgetExceeded.__init__", line)],
        )
        for name, line in [("cap_name", TL.set_cap_name), ("cap_value", TL.set_cap_value), ("would_be", TL.set_would_be)]
    ],
    (
        "breach base init",
        lambda mp: BreachWithFailingBase("r", cap_name="c", cap_value=1.0, would_be=2.0),
        [(T + "BudgetExceeded.__init__", TL.base_init)],
    ),
    ("breach reduce binding", lambda mp: BudgetExceeded.__reduce__(), [(T + "BudgetExceeded.__reduce__", TL["BudgetExceeded.__reduce__"])]),
    ("breach reduce", lambda mp: breach_without("would_be"), [(T + "BudgetExceeded.__reduce__", TL.reduce_reads)]),
    # Tallybook
    ("remaining usd binding", lambda mp: Tallybook.remaining_usd(), [(LEDGER + "remaining_usd", TL["Tallybook.remaining_usd"])]),
    ("remaining usd test", lambda mp: ledger(cost_cap_usd=None).remaining_usd(), [(LEDGER + "remaining_usd", TL.remaining_usd_test)]),
    (
        "remaining usd difference",
        lambda mp: ledger(cost_cap_usd=1.0, spent_cost_usd=None).remaining_usd(),
        [(LEDGER + "remaining_usd", TL.remaining_usd)],
    ),
    ("remaining tokens binding", lambda mp: Tallybook.remaining_tokens(), [(LEDGER + "remaining_tokens", TL["Tallybook.remaining_tokens"])]),
    (
        "remaining tokens test",
        lambda mp: ledger(token_cap=None).remaining_tokens(),
        [(LEDGER + "remaining_tokens", TL.remaining_tokens_test)],
    ),
    (
        "remaining tokens difference",
        lambda mp: ledger(token_cap=1, spent_tokens=None).remaining_tokens(),
        [(LEDGER + "remaining_tokens", TL.remaining_tokens)],
    ),
    ("debit binding", lambda mp: ledger().debit(1.0), [(LEDGER + "debit", TL["Tallybook.debit"])]),
    ("debit cost", lambda mp: ledger(spent_cost_usd=None).debit(cost_usd=1.0), [(LEDGER + "debit", TL.add_cost)]),
    ("debit tokens", lambda mp: ledger(spent_tokens=None).debit(tokens=1), [(LEDGER + "debit", TL.add_tokens)]),
    ("debit tool", lambda mp: ledger(tool_call_counts=None).debit(tool_name="t"), [(LEDGER + "debit", TL.count_tool)]),
    ("debit cost test", lambda mp: ledger(cost_cap_usd=None).debit(), [(LEDGER + "debit", TL.cost_test)]),
    ("debit cost breach", lambda mp: ledger(cost_cap_usd=1.0).debit(cost_usd=2.0), [(LEDGER + "debit", TL.cost_breach)]),
    ("debit token test", lambda mp: ledger(token_cap=None).debit(), [(LEDGER + "debit", TL.token_test)]),
    *[
        (
            f"debit reads {name}",
            lambda mp, n=name: ledger_class_with(n).debit(cost_usd=1.0, tool_name="t"),
            [(LEDGER + "debit", line)],
        )
        for name, line in [
            ("spent_cost_usd", TL.add_cost),
            ("spent_tokens", TL.add_tokens),
            ("tool_call_counts", TL.count_tool),
            ("cost_cap_usd", TL.cost_test),
            ("token_cap", TL.token_test),
        ]
    ],
    ("debit token breach", lambda mp: ledger(token_cap=1).debit(tokens=2), [(LEDGER + "debit", TL.token_breach)]),
    ("depth binding", lambda mp: ledger().check_depth(1, 2), [(LEDGER + "check_depth", TL["Tallybook.check_depth"])]),
    ("depth test", lambda mp: ledger(max_spawn_depth=None).check_depth(), [(LEDGER + "check_depth", TL.depth_test)]),
    ("depth sum", lambda mp: ledger(current_depth=None).check_depth(), [(LEDGER + "check_depth", TL.depth_sum)]),
    ("depth compare", lambda mp: ledger(max_spawn_depth=Cap()).check_depth(), [(LEDGER + "check_depth", TL.depth_compare)]),
    ("depth breach", lambda mp: ledger(current_depth=3).check_depth(), [(LEDGER + "check_depth", TL.depth_breach)]),
    ("fanout binding", lambda mp: ledger().check_fanout(), [(LEDGER + "check_fanout", TL["Tallybook.check_fanout"])]),
    ("fanout test", lambda mp: ledger(max_spawn_fanout=None).check_fanout(1), [(LEDGER + "check_fanout", TL.fanout_test)]),
    ("fanout compare", lambda mp: ledger(max_spawn_fanout=Cap()).check_fanout(1), [(LEDGER + "check_fanout", TL.fanout_compare)]),
    ("fanout breach", lambda mp: ledger(max_spawn_fanout=1).check_fanout(2), [(LEDGER + "check_fanout", TL.fanout_breach)]),
    ("concurrent binding", lambda mp: ledger().check_concurrent(), [(LEDGER + "check_concurrent", TL["Tallybook.check_concurrent"])]),
    (
        "concurrent test",
        lambda mp: ledger(max_concurrent_spawns=None).check_concurrent(1),
        [(LEDGER + "check_concurrent", TL.concurrent_test)],
    ),
    (
        "concurrent sum",
        lambda mp: ledger(active_child_count=None).check_concurrent(1),
        [(LEDGER + "check_concurrent", TL.concurrent_sum)],
    ),
    (
        "concurrent compare",
        lambda mp: ledger(max_concurrent_spawns=Cap()).check_concurrent(1),
        [(LEDGER + "check_concurrent", TL.concurrent_compare)],
    ),
    (
        "concurrent breach",
        lambda mp: ledger(max_concurrent_spawns=1).check_concurrent(2),
        [(LEDGER + "check_concurrent", TL.concurrent_breach)],
    ),
    ("afford binding", lambda mp: ledger().check_can_afford(), [(LEDGER + "check_can_afford", TL["Tallybook.check_can_afford"])]),
    ("afford test", lambda mp: ledger(cost_cap_usd=None).check_can_afford(1.0), [(LEDGER + "check_can_afford", TL.afford_test)]),
    (
        "afford sum",
        lambda mp: ledger(cost_cap_usd=1.0, spent_cost_usd=None).check_can_afford(1.0),
        [(LEDGER + "check_can_afford", TL.afford_sum)],
    ),
    (
        "afford compare",
        lambda mp: ledger(cost_cap_usd=Cap()).check_can_afford(1.0),
        [(LEDGER + "check_can_afford", TL.afford_compare)],
    ),
    ("afford breach", lambda mp: ledger(cost_cap_usd=1.0).check_can_afford(2.0), [(LEDGER + "check_can_afford", TL.afford_breach)]),
    ("spawned binding", lambda mp: ledger().register_child_spawned(1), [(LEDGER + "register_child_spawned", TL["Tallybook.register_child_spawned"])]),
    (
        "spawned active",
        lambda mp: ledger(active_child_count=None).register_child_spawned(),
        [(LEDGER + "register_child_spawned", TL.spawned_active)],
    ),
    (
        "spawned cumulative",
        lambda mp: ledger(cumulative_child_count=None).register_child_spawned(),
        [(LEDGER + "register_child_spawned", TL.spawned_cumulative)],
    ),
    (
        "completed binding",
        lambda mp: ledger().register_child_completed(1),
        [(LEDGER + "register_child_completed", TL["Tallybook.register_child_completed"])],
    ),
    (
        "completed",
        lambda mp: ledger(active_child_count=None).register_child_completed(),
        [(LEDGER + "register_child_completed", TL.completed)],
    ),
    ("guards binding", lambda mp: Tallybook.from_guards(), [(LEDGER + "from_guards", TL["Tallybook.from_guards"])]),
    ("guards ledger", lambda mp: FailingLedger.from_guards([]), [(LEDGER + "from_guards", TL.make_ledger)]),
    ("guards type", lambda mp: Tallybook.from_guards([Broken("type")]), [(LEDGER + "from_guards", TL.read_type)]),
    (
        "guards action",
        lambda mp: Tallybook.from_guards([Broken("action", type="cost")]),
        [(LEDGER + "from_guards", TL.read_action)],
    ),
    (
        "guards action test",
        lambda mp: Tallybook.from_guards([guard("cost", 1.0, action=Hostile())]),
        [(LEDGER + "from_guards", TL.action_test)],
    ),
    *[
        (
            f"guards {kind} type test",
            lambda mp, k=kind: Tallybook.from_guards([guard(Refusing(k), 1)]),
            [(LEDGER + "from_guards", test)],
        )
        for kind, test, _, _ in GUARD_RULES
    ],
    *[
        (
            f"guards {kind} limit",
            lambda mp, k=kind: Tallybook.from_guards(
                [guard(k, limit_as_usd=boom, limit_as_count=boom, limit_as_seconds=boom)]
            ),
            [(LEDGER + "from_guards", limit)],
        )
        for kind, _, limit, _ in GUARD_RULES
    ],
    *[
        (
            f"guards {kind} assignment",
            lambda mp, k=kind: Tallybook.from_guards([guard(k, 5), guard(k, Cap())]),
            [(LEDGER + "from_guards", assign)],
        )
        for kind, _, _, assign in GUARD_RULES[:2]
    ],
    ("trace binding", lambda mp: Tallybook.to_trace_data(), [(LEDGER + "to_trace_data", TL["Tallybook.to_trace_data"])]),
    *[
        (
            f"trace {name}",
            lambda mp, n=name: ledger_class_with(n).to_trace_data(),
            [(LEDGER + "to_trace_data", TL.trace_first_entry + i)],
        )
        for i, name in enumerate(TRACE_ENTRIES)
    ],
    ("trace rounding", lambda mp: ledger(spent_cost_usd="x").to_trace_data(), [(LEDGER + "to_trace_data", TL.trace_first_entry + TRACE_ENTRIES.index("spent_cost_usd"))]),
    # the dispatcher and its default runner
    ("dispatcher binding", lambda mp: InMemorySpawnDispatcher(1), [(S + "InMemorySpawnDispatcher.__init__", SL["InMemorySpawnDispatcher.__init__"])]),
    (
        "dispatcher runner test",
        lambda mp: InMemorySpawnDispatcher(child_runner=Hostile()),
        [(S + "InMemorySpawnDispatcher.__init__", SL.set_runner)],
    ),
    (
        "dispatcher default runner",
        delete_global(spawn, "_default_noop_child_runner", lambda mp: InMemorySpawnDispatcher()),
        [(S + "InMemorySpawnDispatcher.__init__", SL.set_runner)],
    ),
    ("enqueue binding", lambda mp: InMemorySpawnDispatcher().enqueue_children(1), [(ENQUEUE, SL["InMemorySpawnDispatcher.enqueue_children"])]),
    ("enqueue runner call", dispatch(raising_now(Halt)), [(ENQUEUE, SL.await_child)]),
    ("enqueue runner await", dispatch(returning(Halt)), [(ENQUEUE, SL.await_child)]),
    ("enqueue runner after suspending", dispatch(returning(Halt, suspend=True)), [(ENQUEUE, SL.await_child)]),
    ("enqueue child id", dispatch(returning(LabelRefused())), [(ENQUEUE, SL.set_child_id)]),
    ("enqueue spec", dispatch(returning({}), specs=(raising_spec(Halt),)), [(ENQUEUE, SL.set_spec)]),
    (
        "enqueue failure class",
        delete_global(spawn, "ChildResult", dispatch(returning(Boom))),
        [(ENQUEUE, SL.failure_result)],
    ),
    (
        "enqueue failure result",
        lambda mp: (mp.setattr(spawn, "ChildResult", boom), dispatch(returning(Boom))(mp)),
        [(ENQUEUE, SL.failure_result)],
    ),
    ("enqueue failure spec", dispatch(returning({}), specs=(raising_spec(Boom),)), [(ENQUEUE, SL.failure_spec)]),
    ("enqueue failure error", dispatch(returning(Unprintable)), [(ENQUEUE, SL.failure_error)]),
    ("enqueue first success", dispatch(returning({}), return_when=Hostile()), [(ENQUEUE, SL.first_success)]),
    ("enqueue any", dispatch(returning({}), return_when=Refusing("any")), [(ENQUEUE, SL.any)]),
    ("enqueue store", dispatch(returning({}), pending=Hostile()), [(ENQUEUE, SL.store_results)]),
    ("enqueue store key", dispatch(returning({}), pending={"r": ()}), [(ENQUEUE, SL.store_results)]),
    (
        "collect binding",
        lambda mp: InMemorySpawnDispatcher().collect_results(1),
        [(S + "InMemorySpawnDispatcher.collect_results", SL["InMemorySpawnDispatcher.collect_results"])],
    ),
    ("collect pending", collect(Hostile()), [(S + "InMemorySpawnDispatcher.collect_results", SL.pop_results)]),
    ("collect per parent", collect({"r": Hostile()}), [(S + "InMemorySpawnDispatcher.collect_results", SL.pop_results)]),
    ("collect not a dict", collect({"r": {"k": 5}}), [(S + "InMemorySpawnDispatcher.collect_results", SL.pop_results)]),
    ("runner binding", lambda mp: spawn._default_noop_child_runner(), [(NOOP, SL["_default_noop_child_runner"])]),
    ("runner result class", delete_global(spawn, "ChildResult", noop_runner(ChildSpec(agent="a"))), [(NOOP, SL.noop_result)]),
    (
        "runner result",
        lambda mp: (mp.setattr(spawn, "ChildResult", boom), noop_runner(ChildSpec(agent="a"))(mp)),
        [(NOOP, SL.noop_result)],
    ),
    ("runner spec", noop_runner(raising_spec(Boom)), [(NOOP, SL.noop_spec)]),
    ("runner output", noop_runner(Broken("agent", to_dict=dict)), [(NOOP, SL.noop_output)]),
    ("runner in the dispatcher", dispatch(specs=(raising_spec(Halt),)), [(ENQUEUE, SL.await_child), (NOOP, SL.noop_spec)]),
]


class CollidingKey:
    """A dict key hashed like `text` whose comparison with it raises."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    __eq__ = boom


class Reading:
    def __int__(self):
        raise Boom


def our_entries(error):
    return [
        (entry.name, entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename.startswith(SOURCES)
    ]


def restore_order(namespace, names):
    """Puts a module's namespace back in its order after a global was
    deleted and bound again (which moves it to the end)."""
    if list(namespace) != names:
        saved = dict(namespace)
        namespace.clear()
        namespace.update((name, saved[name]) for name in names)


@pytest.mark.parametrize(("call", "expected"), [pytest.param(c, e, id=i) for i, c, e in CASES])
def test_the_failing_statement_is_reported(monkeypatch, call, expected):
    namespaces = [vars(module) for module in (waiters, spawn)]
    orders = [list(namespace) for namespace in namespaces]
    try:
        with pytest.raises(BaseException) as info:
            call(monkeypatch)
    finally:
        monkeypatch.undo()
        for namespace, names in zip(namespaces, orders):
            restore_order(namespace, names)
    assert not isinstance(info.value, AssertionError), info.value
    entries = [(f"{PACKAGE}.{where}", f"{SOURCES}{where.split('.')[0]}.py", line) for where, line in expected]
    assert our_entries(info.value) == entries
