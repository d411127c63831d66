"""The operations of `waiters` on their success and error paths."""

import collections
import contextlib
import itertools
import sys

from leakcheck import Operation
from models import Pairs, run

from kelvra_runtime.core.runtime import waiters
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    WaiterRegistry,
    parse_duration,
)


class Text(str):
    pass


class Raising:
    """Raises from every comparison and from the truth test."""

    def __eq__(self, other):
        raise KeyError("eq")

    __ne__ = __le__ = __eq__

    def __bool__(self):
        raise KeyError("bool")

    __hash__ = object.__hash__


class Unit:
    """A unit value that only takes part in the host's multiplication."""

    def __init__(self, result):
        self.result = result

    def __rmul__(self, amount):
        if isinstance(self.result, type) and issubclass(self.result, Exception):
            raise self.result("unit")
        return self.result


UNITS = waiters._DURATION_UNITS


def restore_units():
    waiters._DURATION_UNITS = UNITS


@contextlib.contextmanager
def duration_units(table):
    saved = waiters._DURATION_UNITS
    waiters._DURATION_UNITS = table
    try:
        yield
    finally:
        waiters._DURATION_UNITS = saved


def parse_with_units(table, value):
    with duration_units(table):
        return parse_duration(value)


def parse_without_units(value):
    saved = waiters._DURATION_UNITS
    del waiters._DURATION_UNITS
    try:
        return parse_duration(value)
    finally:
        waiters._DURATION_UNITS = saved


class Payload(dict):
    pass


class Unorderable:
    """Adds to a float as an object whose comparisons raise."""

    def __radd__(self, other):
        return Raising()


def match_mutated_during_walk():
    waiter = SignalWaiter("p", "k", "s", {})

    class Grow:
        def __ne__(self, other):
            waiter.match["more"] = 1
            return False

    waiter.match["a"] = Grow()
    return waiter.matches("s", {"a": 1})


def waiter(match=None, name="s"):
    return SignalWaiter("p", "k", name, {} if match is None else match)


def with_match(match):
    w = waiter()
    w.match = match
    return w


def registered(*, signals=(), timers=(), inputs=(), clock=None):
    registry = InMemoryWaiterRegistry(clock=clock)
    for w in signals:
        run(registry.register_signal_waiter(w))
    for w in timers:
        run(registry.register_timer(w))
    for w in inputs:
        run(registry.register_user_input_waiter(w))
    return registry


def round_trip():
    registry = registered(
        signals=[waiter({"a": 1}), waiter({"a": 2})],
        timers=[TimerWaiter("p", "k", 1.0), TimerWaiter("q", "k", 1e18)],
        inputs=[UserInputWaiter("p", "k", "?"), UserInputWaiter("q", "k", "?")],
        clock=lambda: 100.0,
    )
    counts = (registry.signal_waiter_count(), registry.timer_count(), registry.user_input_waiter_count())
    signalled = run(registry.resolve_signal(signal_name="s", payload={"a": 1}))
    answered = run(registry.resolve_user_input(parent_run_id="q", resume_key="k", response=None))
    missed = run(registry.resolve_user_input(parent_run_id="x", resume_key="k", response=None))
    due = run(registry.sweep_expired_timers())
    return counts, signalled, answered, missed, due


# A payload that a match copies, where the sweep reaches the copy: the debug
# build of CPython 3.15.0 dereferences null when the copy of an empty dict
# fails to allocate (`{}.copy()` under `_testcapi.set_nomemory(0, 1)` dies
# in PyDict_Copy on its own), and 3.14 copies one without allocating.
NONEMPTY = {"by": "ops"}


def resolve(registry, **kwargs):
    return run(registry.resolve_signal(**kwargs))


def resolve_input(registry, **kwargs):
    return run(registry.resolve_user_input(**kwargs))


def sweep(registry):
    return run(registry.sweep_expired_timers())


def registry_with(name, value, **kwargs):
    registry = registered(**kwargs)
    setattr(registry, name, value)
    return registry


def registry_without(name):
    registry = registered()
    delattr(registry, name)
    return registry


def register_into(container_type):
    registry = registry_with("_signal_waiters", container_type())
    return run(registry.register_signal_waiter(waiter()))


class AnyRegistry(WaiterRegistry):
    pass


def protocol_round():
    registry = AnyRegistry()
    return [
        run(registry.register_signal_waiter(None)),
        run(registry.register_timer(None)),
        run(registry.register_user_input_waiter(None)),
        run(registry.resolve_signal(signal_name="s", payload={})),
        run(registry.resolve_user_input(parent_run_id="p", resume_key="k", response=1)),
        run(registry.sweep_expired_timers()),
    ]


class Nameless:
    """A signal waiter that matches, and a timer that is due, but neither
    has a run id."""

    resume_at_unix = 0.0

    def matches(self, signal_name, payload):
        return True


class Keyless(Nameless):
    """The same with a run id but no resume key."""

    @property
    def parent_run_id(self):
        return f"run-{id(self)}"  # a new object, which a leak would keep


def bad_clock():
    raise KeyError("clock")


OPERATIONS = {
    # parse_duration, numbers
    "parse_duration int": Operation(parse_duration, 5, result=5.0),
    "parse_duration bool": Operation(parse_duration, True, result=1.0),
    "parse_duration float": Operation(parse_duration, 2.5, result=2.5),
    "parse_duration negative zero": Operation(parse_duration, -0.0, result=0.0),
    "parse_duration nan": Operation(parse_duration, float("nan")),
    "parse_duration huge int": Operation(parse_duration, 10**400, raises=OverflowError),
    # parse_duration, strings
    "parse_duration units": Operation(parse_duration, "2h30m", result=9000.0),
    "parse_duration spaces and case": Operation(parse_duration, " 1H 30M ", result=5400.0),
    "parse_duration trailing seconds": Operation(parse_duration, "5m5", result=305.0),
    "parse_duration non-ASCII digits": Operation(parse_duration, "\u0663s", result=3.0),
    "parse_duration non-ASCII text": Operation(parse_duration, "\u00a01h\u00a0", result=3600.0),
    "parse_duration str subclass": Operation(parse_duration, Text("2h"), result=7200.0),
    "parse_duration keyword": Operation(parse_duration, value="1d", result=86400.0),
    "parse_duration int unit value": Operation(parse_with_units, {"s": 2}, "3s", result=6.0, cleanup=restore_units),
    "parse_duration odd unit value": Operation(parse_with_units, {"s": Unit(4)}, "3s", result=4, cleanup=restore_units),
    "parse_duration list as table": Operation(parse_with_units, ["s"], "3s", raises=TypeError, cleanup=restore_units),
    # parse_duration, errors
    "parse_duration unsupported": Operation(parse_duration, None, raises=ValueError),
    "parse_duration bytes": Operation(parse_duration, b"5s", raises=ValueError),
    "parse_duration empty": Operation(parse_duration, "  ", raises=ValueError),
    "parse_duration unit without number": Operation(parse_duration, "1hh", raises=ValueError),
    "parse_duration unrecognized": Operation(parse_duration, "-5s", raises=ValueError),
    "parse_duration unrecognized, subclass": Operation(parse_duration, Text("5x"), raises=ValueError),
    "parse_duration bad number": Operation(parse_duration, "1.2.3s", raises=ValueError),
    "parse_duration bad trailing number": Operation(parse_duration, "1.2.3", raises=ValueError),
    "parse_duration unconvertible digit": Operation(parse_duration, "\u00b2s", raises=ValueError),
    "parse_duration not positive": Operation(parse_duration, "0s", raises=ValueError),
    "parse_duration unit value raises": Operation(
        parse_with_units, {"s": Unit(KeyError)}, "3s", raises=KeyError, cleanup=restore_units
    ),
    "parse_duration odd total not comparable": Operation(
        parse_with_units, {"s": Unit(Unorderable())}, "3s", raises=KeyError, cleanup=restore_units
    ),
    "parse_duration table missing": Operation(parse_without_units, "3s", raises=NameError, cleanup=restore_units),
    "parse_duration no argument": Operation(parse_duration, raises=TypeError),
    "parse_duration two arguments": Operation(parse_duration, 1, 2, raises=TypeError),
    "parse_duration twice": Operation(parse_duration, 1, value=2, raises=TypeError),
    "parse_duration unknown keyword": Operation(parse_duration, other=2, raises=TypeError),
    "parse_duration non-str keyword": Operation(lambda: parse_duration.__call__(**{1: 2}), raises=TypeError),
    # SignalWaiter.matches
    "matches true": Operation(waiter({"a": 1, "b": None}).matches, "s", {"a": 1, "c": 2}, result=True),
    "matches other name": Operation(waiter().matches, "t", {}, result=False),
    "matches other value": Operation(waiter({"a": 1}).matches, "s", {"a": 2}, result=False),
    "matches keywords": Operation(waiter().matches, signal_name="s", payload={}, result=True),
    "matches general match": Operation(with_match(Pairs(("a", 1))).matches, "s", {"a": 1}, result=True),
    "matches match None": Operation(with_match(None).matches, "s", {}, raises=AttributeError),
    "matches bad pair": Operation(with_match(Pairs(("a", 1, 2))).matches, "s", {}, raises=ValueError),
    "matches non-pair": Operation(with_match(Pairs(3)).matches, "s", {}, raises=TypeError),
    "matches list pair": Operation(with_match(Pairs(["a", 1])).matches, "s", {"a": 1}, result=True),
    "matches short pair": Operation(with_match(Pairs(("a",))).matches, "s", {}, raises=ValueError),
    "matches endless pair": Operation(with_match(Pairs(itertools.count())).matches, "s", {}, raises=ValueError),
    "matches value raises": Operation(waiter({"a": Raising()}).matches, "s", {"a": 1}, raises=KeyError),
    "matches name raises": Operation(waiter(name=Raising()).matches, "s", {}, raises=KeyError),
    "matches match mutated": Operation(match_mutated_during_walk, raises=RuntimeError),
    "matches payload None": Operation(waiter().matches, "s", None, raises=TypeError),
    "matches payload subclass": Operation(waiter().matches, "s", collections.OrderedDict(), raises=TypeError),
    "matches name subclass": Operation(waiter().matches, Text("s"), {}, raises=TypeError),
    "matches no arguments": Operation(waiter().matches, raises=TypeError),
    # InMemoryWaiterRegistry
    "registry round trip": Operation(round_trip),
    "registry falsy clock": Operation(InMemoryWaiterRegistry, clock=0),
    "registry clock truth raises": Operation(InMemoryWaiterRegistry, clock=Raising(), raises=KeyError),
    "registry positional clock": Operation(InMemoryWaiterRegistry, None, raises=TypeError),
    "register into a deque": Operation(register_into, collections.deque),
    "register into a tuple": Operation(register_into, tuple, raises=AttributeError),
    "register without list": Operation(
        lambda: run(registry_without("_timers").register_timer(None)), raises=AttributeError
    ),
    "register no argument": Operation(lambda: InMemoryWaiterRegistry().register_timer(), raises=TypeError),
    "resolve_signal over a tuple": Operation(
        lambda: resolve(registry_with("_signal_waiters", (waiter(),)), signal_name="s", payload={}),
        lines={(("resolve_signal", 120),), (("resolve_signal", 126),)},
        # Its lines are those of an empty payload, which 3.15's copy fails on.
        sweep=sys.version_info < (3, 15),
    ),
    "resolve_signal matches raises": Operation(
        resolve, registered(signals=[waiter({"a": Raising()})]), signal_name="s", payload={"a": 1}, raises=KeyError
    ),
    "resolve_signal record fails": Operation(
        resolve, registered(signals=[Nameless()]), signal_name="s", payload=NONEMPTY, raises=AttributeError
    ),
    "resolve_signal record without key": Operation(
        resolve, registered(signals=[Keyless()]), signal_name="s", payload=NONEMPTY, raises=AttributeError
    ),
    "resolve_signal without list": Operation(
        resolve, registry_without("_signal_waiters"), signal_name="s", payload={}, raises=AttributeError
    ),
    "resolve_signal positional": Operation(
        lambda: InMemoryWaiterRegistry().resolve_signal("s", {}), raises=TypeError
    ),
    "resolve_signal payload subclass": Operation(
        lambda: InMemoryWaiterRegistry().resolve_signal(signal_name="s", payload=Payload()), raises=TypeError
    ),
    "resolve_user_input comparison raises": Operation(
        resolve_input,
        registered(inputs=[UserInputWaiter(Raising(), "k", "?")]),
        parent_run_id="p",
        resume_key="k",
        response=None,
        raises=KeyError,
    ),
    "resolve_user_input missing keyword": Operation(
        lambda: InMemoryWaiterRegistry().resolve_user_input(parent_run_id="p", resume_key="k"), raises=TypeError
    ),
    "resolve_user_input id not str": Operation(
        lambda: InMemoryWaiterRegistry().resolve_user_input(parent_run_id=1, resume_key="k", response=0),
        raises=TypeError,
    ),
    "sweep int clock": Operation(
        lambda: sweep(registered(timers=[TimerWaiter("p", "k", 1)], clock=lambda: 5)), result=[("p", "k")]
    ),
    "sweep clock raises": Operation(sweep, registered(clock=bad_clock), raises=KeyError),
    "sweep comparison fails": Operation(
        sweep, registered(timers=[TimerWaiter("p", "k", None)], clock=lambda: 1.0), raises=TypeError
    ),
    "sweep record fails": Operation(
        sweep, registered(timers=[Nameless()], clock=lambda: 1.0), raises=AttributeError
    ),
    "sweep record without key": Operation(
        sweep, registered(timers=[Keyless()], clock=lambda: 1.0), raises=AttributeError
    ),
    "counts without list": Operation(registry_without("_user_inputs").user_input_waiter_count, raises=AttributeError),
    "counts of a non-sized object": Operation(registry_with("_timers", 3).timer_count, raises=TypeError),
    "counts with an argument": Operation(lambda: InMemoryWaiterRegistry().timer_count(1), raises=TypeError),
    # WaiterRegistry
    "protocol methods": Operation(protocol_round, result=[None] * 6),
    "protocol binding": Operation(lambda: AnyRegistry().resolve_signal(signal_name=None, payload={}), raises=TypeError),
}
