"""Waiter records and the waiter registry."""

import asyncio
import copy
import dataclasses
import gc
import inspect
import itertools
import pickle
import warnings
import weakref
from collections import OrderedDict

import pytest
import trio

from kelvra_runtime.core.runtime import waiters
import rendering
from models import Pairs, run, traceback_lines
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    WaiterRegistry,
)

MODULE = "kelvra_runtime.core.runtime.waiters"
WAITERS_FILE = "src/kelvra_runtime/core/runtime/waiters.py"
LINES = rendering.lines("waiters")


# --- records -------------------------------------------------------------


@pytest.mark.parametrize(
    ("cls", "fields", "doc"),
    [
        (
            SignalWaiter,
            ["parent_run_id", "resume_key", "signal_name", "match", "timeout_at_unix"],
            "One parent run awaiting one named signal + match predicate.",
        ),
        (TimerWaiter, ["parent_run_id", "resume_key", "resume_at_unix"], "One parent run awaiting a deliberate timer."),
        (
            UserInputWaiter,
            ["parent_run_id", "resume_key", "question", "choices", "timeout_at_unix"],
            "One parent run awaiting typed user input.",
        ),
    ],
)
def test_record_classes(cls, fields, doc):
    assert dataclasses.is_dataclass(cls)
    assert [f.name for f in dataclasses.fields(cls)] == fields
    assert all(isinstance(f.type, str) for f in dataclasses.fields(cls))
    assert cls.__module__ == MODULE and cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__hash__ is None


def test_record_defaults_and_equality():
    a, b = SignalWaiter("r", "k", "s"), SignalWaiter("r", "k", "s")
    assert a.match == {} and a.match is not b.match and a.timeout_at_unix == 0.0
    assert TimerWaiter("r", "k", 1.0) == TimerWaiter(parent_run_id="r", resume_key="k", resume_at_unix=1.0)
    with pytest.raises(TypeError):
        hash(TimerWaiter("r", "k", 1.0))
    u = UserInputWaiter("r", "k", "q?")
    assert u.choices is None and u.timeout_at_unix == 0.0
    assert repr(u) == "UserInputWaiter(parent_run_id='r', resume_key='k', question='q?', choices=None, timeout_at_unix=0.0)"


@pytest.mark.parametrize(
    "record",
    [SignalWaiter("r", "k", "s", {"a": [1]}, 5.0), TimerWaiter("r", "k", 2.0), UserInputWaiter("r", "k", "q", ["y"])],
)
def test_records_persist(record):
    assert pickle.loads(pickle.dumps(record)) == record
    assert copy.deepcopy(record) == record
    assert dataclasses.asdict(record)["parent_run_id"] == "r"


@pytest.mark.parametrize(
    ("match", "payload", "expected"),
    [
        ({"status": "ok"}, {"status": "ok", "extra": 1}, True),
        ({"status": "ok"}, {"status": "failed"}, False),
        ({"status": "ok"}, {}, False),
        ({"k": None}, {}, True),
        ({"k": None}, {"k": None}, True),
        ({}, {"anything": 1}, True),
        ({"nested": {"a": [1, 2]}}, {"nested": {"a": [1, 2]}}, True),
        ({"n": 1}, {"n": 1.0}, True),
        ({"n": float("nan")}, {"n": float("nan")}, False),
    ],
)
def test_matches(match, payload, expected):
    assert SignalWaiter("r", "k", "go", match).matches("go", payload) is expected


def test_matches_same_nan_object_is_not_equal():
    nan = float("nan")
    assert SignalWaiter("r", "k", "go", {"n": nan}).matches("go", {"n": nan}) is False


def test_matches_other_signal_name():
    w = SignalWaiter("r", "k", "go")
    assert w.matches("stop", {}) is False
    w.match = None
    assert w.matches("stop", {}) is False
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        w.matches("go", {})


def test_matches_walks_any_items_object():
    w = SignalWaiter("r", "k", "go", OrderedDict(a=1))
    assert w.matches("go", {"a": 1}) is True

    w.match = Pairs(("a", 1), ("b", 2))
    assert w.matches("go", {"a": 1, "b": 2}) is True
    assert w.matches("go", {"a": 1}) is False


class FailingPair:
    """A pair whose iteration fails after its key."""

    def __iter__(self):
        yield "a"
        raise KeyError("pair")

    def __repr__(self):
        return "FailingPair()"


def host_unpacking_error(pairs):
    """The error of the host's own `for k, v in ...` over `pairs`."""
    try:
        for k, v in pairs:
            pass
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize(
    "item",
    [
        ("a",), ("a", 1, 2), ["a", 1, 2], {"a": 1, "b": 2, "c": 3}, 5, None, "abc", itertools.count(), range(1),
        FailingPair(),
    ],  # fmt: skip
    ids=repr,
)
def test_match_items_unpack_as_the_host_does(item):
    w = SignalWaiter("r", "k", "go", Pairs(item))
    expected = host_unpacking_error([item])
    with pytest.raises(expected[0]) as info:
        w.matches("go", {})
    assert str(info.value) == expected[1]
    assert traceback_lines(info.value, f"{MODULE}.SignalWaiter.matches") == [(WAITERS_FILE, LINES.match_items)]


@pytest.mark.parametrize(
    ("match", "line"),
    [(None, LINES.match_items), (Pairs(("a", 1)), LINES.value_test), ({"a": 1}, LINES.value_test)],
)
def test_match_errors_name_the_walk_or_the_value_test(match, line):
    class Touchy:
        def __ne__(self, other):
            raise KeyError("ne")

    with pytest.raises((AttributeError, KeyError)) as info:
        SignalWaiter("r", "k", "go", match).matches("go", {"a": Touchy()})
    assert traceback_lines(info.value, f"{MODULE}.SignalWaiter.matches") == [(WAITERS_FILE, line)]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("go", None), "Argument 'payload' has incorrect type (expected dict, got NoneType)"),
        ((None, {}), "Argument 'signal_name' has incorrect type (expected str, got NoneType)"),
        ((None, None), "Argument 'signal_name' has incorrect type (expected str, got NoneType)"),
        (("go", OrderedDict()), "Argument 'payload' has incorrect type (expected dict, got collections.OrderedDict)"),
        (("go",), "matches() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_matches_refuses(args, message):
    with pytest.raises(TypeError) as info:
        SignalWaiter("r", "k", "go").matches(*args)
    assert str(info.value) == message


def test_subclass_refusal_carries_a_note():
    class Payload(dict):
        pass

    with pytest.raises(TypeError) as info:
        SignalWaiter("r", "k", "go").matches("go", Payload())
    assert "got Payload" in str(info.value)
    assert info.value.__notes__ and "ubclasses" in info.value.__notes__[0]


def test_value_comparison_errors_propagate():
    class Touchy:
        def __ne__(self, other):
            raise KeyError("ne")

    with pytest.raises(KeyError):
        SignalWaiter("r", "k", "go", {"a": 1}).matches("go", {"a": Touchy()})


@pytest.mark.parametrize("kind", [dict, type("MatchDict", (dict,), {})])
def test_match_mutated_during_walk(kind):
    class Growing:
        def __init__(self, match):
            self.match = match

        def __ne__(self, other):
            self.match["new"] = 1
            return False

    match = kind()
    match["a"] = Growing(match)
    w = SignalWaiter("r", "k", "go", match)
    with pytest.raises(RuntimeError, match="changed size"):
        w.matches("go", {"a": 1})


# --- registry --------------------------------------------------------------


@pytest.fixture
def registry():
    return InMemoryWaiterRegistry(clock=lambda: 100.0)


def test_protocol_shape():
    assert isinstance(InMemoryWaiterRegistry(), WaiterRegistry)
    assert InMemoryWaiterRegistry.__bases__ == (object,)
    assert WaiterRegistry.__doc__.startswith("Registry that tracks suspended runs and resolves them.")
    assert not isinstance(object(), WaiterRegistry)
    for name in ("register_signal_waiter", "resolve_signal", "sweep_expired_timers"):
        assert inspect.iscoroutinefunction(getattr(WaiterRegistry, name))
        assert inspect.iscoroutinefunction(getattr(InMemoryWaiterRegistry, name))
    assert not inspect.iscoroutinefunction(InMemoryWaiterRegistry.timer_count)
    assert str(inspect.signature(InMemoryWaiterRegistry.__init__)) == "(self, *, clock=None)"
    assert InMemoryWaiterRegistry.__init__.__kwdefaults__ == {"clock": None}
    assert InMemoryWaiterRegistry.resolve_user_input.__annotations__ == {
        "parent_run_id": "str",
        "resume_key": "str",
        "response": "Any",
        "return": "bool",
    }


def test_protocol_stubs_bind_and_return_none():
    class Explicit(WaiterRegistry):
        pass

    r = Explicit()
    assert run(r.resolve_signal(signal_name="s", payload={})) is None
    with pytest.raises(TypeError, match="expected dict, got list"):
        r.resolve_signal(signal_name="s", payload=[])
    coro = r.register_timer(None)
    assert coro.__qualname__ == "WaiterRegistry.register_timer"
    coro.close()


def test_empty_registry(registry):
    assert run(registry.resolve_signal(signal_name="s", payload={})) == []
    assert run(registry.sweep_expired_timers()) == []
    assert run(registry.resolve_user_input(parent_run_id="r", resume_key="k", response=None)) is False
    assert (registry.signal_waiter_count(), registry.timer_count(), registry.user_input_waiter_count()) == (0, 0, 0)


@pytest.mark.parametrize("clock", [None, 0, ""])
def test_falsy_clock_uses_wall_clock(clock):
    import time

    assert InMemoryWaiterRegistry(clock=clock)._clock is time.time
    assert InMemoryWaiterRegistry()._clock is time.time


def test_init_is_keyword_only():
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(2 given\)"):
        InMemoryWaiterRegistry(lambda: 0.0)


def test_signals(registry):
    ok = SignalWaiter("r1", "k1", "done", {"status": "ok"})
    other = SignalWaiter("r2", "k2", "done", {"status": "failed"})
    for w in (ok, ok, other):
        run(registry.register_signal_waiter(w))
    assert registry.signal_waiter_count() == 3
    assert run(registry.resolve_signal(signal_name="elsewhere", payload={"status": "ok"})) == []
    before = registry._signal_waiters
    payload = {"status": "ok", "n": [1]}
    records = run(registry.resolve_signal(signal_name="done", payload=payload))
    assert records == [("r1", "k1", payload), ("r1", "k1", payload)]
    assert records[0][2] is not payload and records[0][2] is not records[1][2]
    assert records[0][2]["n"] is payload["n"]
    payload["status"] = "changed"
    assert records[0][2]["status"] == "ok"
    assert registry._signal_waiters == [other] and registry._signal_waiters is not before
    assert before == [ok, ok, other]


def test_failing_matches_leaves_registry_unchanged(registry):
    class Broken:
        parent_run_id, resume_key = "r", "k"

        def matches(self, name, payload):
            raise ValueError("broken")

    good = SignalWaiter("r0", "k0", "s")
    run(registry.register_signal_waiter(good))
    run(registry.register_signal_waiter(Broken()))
    with pytest.raises(ValueError, match="broken"):
        run(registry.resolve_signal(signal_name="s", payload={}))
    assert registry.signal_waiter_count() == 2 and registry._signal_waiters[0] is good


def test_resolve_signal_binding(registry):
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        registry.resolve_signal("s", {})
    with pytest.raises(TypeError, match="needs keyword-only argument payload"):
        registry.resolve_signal(signal_name="s")
    with pytest.raises(TypeError, match="expected dict, got collections.OrderedDict"):
        registry.resolve_signal(signal_name="s", payload=OrderedDict())


class WaiterList(list):
    """Stored waiters that the registry walks through iteration."""


@pytest.mark.parametrize("container", [list, WaiterList])
def test_user_inputs(registry, container):
    first, second = UserInputWaiter("r", "k", "q1"), UserInputWaiter("r", "k", "q2")
    registry._user_inputs = container()
    run(registry.register_user_input_waiter(first))
    run(registry.register_user_input_waiter(second))
    args = {"parent_run_id": "r", "resume_key": "k", "response": "yes"}
    assert run(registry.resolve_user_input(**args)) is True
    assert registry._user_inputs == [second]
    assert run(registry.resolve_user_input(**args)) is True
    assert run(registry.resolve_user_input(**args)) is False
    with pytest.raises(TypeError, match="Argument 'resume_key' has incorrect type"):
        registry.resolve_user_input(parent_run_id="r", resume_key=None, response=1)


def test_timers(registry):
    for due in (99.0, 100.5, 100.0):
        run(registry.register_timer(TimerWaiter(f"r{due}", "k", due)))
    assert run(registry.sweep_expired_timers()) == [("r99.0", "k"), ("r100.0", "k")]
    assert registry.timer_count() == 1
    assert run(registry.sweep_expired_timers()) == []


def test_failing_sweep_leaves_timers(registry):
    run(registry.register_timer(TimerWaiter("a", "k", 1.0)))
    run(registry.register_timer(TimerWaiter("b", "k", None)))
    with pytest.raises(TypeError):
        run(registry.sweep_expired_timers())
    assert registry.timer_count() == 2


def test_clock_called_once_per_sweep():
    calls = []
    registry = InMemoryWaiterRegistry(clock=lambda: calls.append(1) or 10)
    for _ in range(3):
        run(registry.register_timer(TimerWaiter("r", "k", 1)))
    assert len(run(registry.sweep_expired_timers())) == 3 and calls == [1]


def test_waiter_registered_while_resolving_is_dropped(registry):
    class Registering(SignalWaiter):
        def matches(self, name, payload):
            registry._signal_waiters.append(SignalWaiter("late", "k", "s"))
            return True

    run(registry.register_signal_waiter(Registering("r", "k", "s")))
    # The pass walks the list it started with, appended entries included,
    # and then replaces it.
    records = run(registry.resolve_signal(signal_name="s", payload={}))
    assert [r[0] for r in records] == ["r", "late"]
    assert registry.signal_waiter_count() == 0


# --- coroutine behaviour ----------------------------------------------------


def test_unawaited_call_changes_nothing_and_warns(registry):
    coro = registry.register_timer(TimerWaiter("r", "k", 1.0))
    assert registry.timer_count() == 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == ["coroutine 'InMemoryWaiterRegistry.register_timer' was never awaited"]
    assert caught[0].category is RuntimeWarning


def test_coroutine_identity(registry):
    coro = registry.resolve_signal(signal_name="s", payload={})
    assert coro.__name__ == "resolve_signal"
    assert coro.__qualname__ == "InMemoryWaiterRegistry.resolve_signal"
    assert asyncio.iscoroutine(coro)
    coro.close()


def test_coroutine_in_a_cycle_is_collected():
    registry = InMemoryWaiterRegistry()
    coro = registry.sweep_expired_timers()
    coro_type = type(coro)

    def live():
        return sum(type(o) is coro_type for o in gc.get_objects())

    registry.cycle = [coro]
    del coro, registry
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()
    assert live() == 0


def full_flow(registry):
    async def flow():
        await registry.register_signal_waiter(SignalWaiter("p1", "k1", "approved", {"by": "ops"}))
        await registry.register_timer(TimerWaiter("p2", "k2", 50.0))
        await registry.register_user_input_waiter(UserInputWaiter("p3", "k3", "Proceed?", ["yes", "no"]))
        signals = await registry.resolve_signal(signal_name="approved", payload={"by": "ops"})
        timers = await registry.sweep_expired_timers()
        answered = await registry.resolve_user_input(parent_run_id="p3", resume_key="k3", response="yes")
        return signals, timers, answered

    return flow


EXPECTED_FLOW = ([("p1", "k1", {"by": "ops"})], [("p2", "k2")], True)


def test_full_flow_under_asyncio(registry):
    assert asyncio.run(full_flow(registry)()) == EXPECTED_FLOW


def test_full_flow_under_asyncio_tasks(registry):
    async def main():
        await registry.register_timer(TimerWaiter("a", "k", 1.0))
        task = asyncio.create_task(registry.sweep_expired_timers())
        counts = await asyncio.gather(asyncio.to_thread(lambda: 1), task)
        return counts

    assert asyncio.run(main()) == [1, [("a", "k")]]


def test_full_flow_under_trio(registry):
    assert trio.run(full_flow(registry)) == EXPECTED_FLOW
