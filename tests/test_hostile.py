"""Hostile input and conditions: whatever comes in, the modules raise the
documented exception (or return the documented result) and the objects'
invariants hold afterwards.

Each property runs the compiled operation and a plain-Python rendering of
the same algorithm on equal inputs built twice from one recipe (hostile
objects keep state and mutate what they can reach), and compares what
came out, what was raised and what was left behind.
"""

import math
from pathlib import Path
from types import SimpleNamespace

import pytest
import rendering
from hypothesis import given
from hypothesis import strategies as st
from models import FIELDS, drive, ledger_state, outcome, run, shape

from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter, parse_duration

rendered_waiters, rendered_tallybook, rendered_spawn, rendered_faultsort = (
    rendering.load(m) for m in ("waiters", "tallybook", "spawn", "faultsort")
)

# ---------------------------------------------------------------------------
# Hostile objects


ERRORS = [ValueError, TypeError, KeyError, RuntimeError, OverflowError, ZeroDivisionError, AttributeError]
PLAIN = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.text(max_size=4),
    st.sampled_from(["signal_", "signal_x", "12", " 7 ", "0", "-3", "\u0663", "abort", "cost"]),
)
# What one special method of a hostile object does: return a value, raise,
# or change the dict it was told about (and then return its default).
ACTIONS = st.one_of(
    st.tuples(st.just("return"), PLAIN),
    st.tuples(st.just("raise"), st.sampled_from(ERRORS)),
    st.tuples(st.just("mutate"), st.sampled_from(["clear", "insert", "pop"])),
)
METHODS = ["startswith", "__int__", "__index__", "__eq__", "__ne__", "__bool__", "__hash__", "items"]


class Hostile:
    """An object whose special methods do what its recipe says."""

    def __init__(self, label, actions):
        self.label, self.actions, self.target = label, actions, None

    def _act(self, name, default):
        kind, arg = self.actions.get(name, ("return", default))
        if kind == "raise":
            raise arg(f"{self.label}.{name}")
        if kind == "mutate":
            target = self.target
            if arg == "clear":
                target.clear()
            elif arg == "insert":
                target[f"new-{len(target)}"] = 1
                target["memory_rss_mb"] = 5
            elif target:
                target.pop(next(iter(target)))
            return default
        return arg

    def __repr__(self):
        return self.label

    def startswith(self, prefix):
        return self._act("startswith", False)

    def __int__(self):
        return self._act("__int__", 0)

    def __index__(self):
        return self._act("__index__", 0)

    def __eq__(self, other):
        return self._act("__eq__", self is other)

    def __ne__(self, other):
        return self._act("__ne__", self is not other)

    def __bool__(self):
        return self._act("__bool__", True)

    def __hash__(self):
        return self._act("__hash__", 7)

    def items(self):
        return self._act("items", [])


def hostile_recipes(count=3):
    return st.lists(st.dictionaries(st.sampled_from(METHODS), ACTIONS, max_size=4), min_size=count, max_size=count)


def build_hostiles(recipes, target):
    objs = [Hostile(f"h{i}", dict(r)) for i, r in enumerate(recipes)]
    for obj in objs:
        obj.target = target
    return objs


# ---------------------------------------------------------------------------
# parse_duration


class Text(str):
    pass


duration_text = st.one_of(
    st.text(),
    st.text(alphabet="0123456789.smhdSMHD \t\u0663\u00b2\u00a0xe-", max_size=24),
    st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from("smhd")), max_size=5).map(
        lambda parts: "".join(f"{n}{u}" for n, u in parts)
    ),
)
durations = st.one_of(
    duration_text,
    duration_text.map(Text),
    st.integers(),
    st.integers(min_value=10**300, max_value=10**400),
    st.floats(),
    st.booleans(),
    st.none(),
    st.binary(max_size=4),
)


@given(durations)
def test_parse_duration_of_anything(value):
    got = outcome(parse_duration, value)
    assert got == outcome(rendered_waiters.parse_duration, value)
    assert got[0] == "float" or got[1] in (ValueError, OverflowError)


# ---------------------------------------------------------------------------
# classify_failure


ENVELOPE_KEYS = ["last_event", "memory_rss_mb", "memory_mb", "h0", "h1", "h2"]


def envelope(layout, recipes):
    """The dict of a layout: key name -> plain value, or index of a hostile
    object; "h<i>" keys stand for the hostile object itself as the key."""
    data = {}
    hostiles = build_hostiles(recipes, data)
    for key, value in layout:
        k = hostiles[int(key[1])] if key.startswith("h") else key
        data[k] = hostiles[value] if isinstance(value, int) and not isinstance(value, bool) else value[0]
    return data


layouts = st.lists(
    st.tuples(st.sampled_from(ENVELOPE_KEYS), st.integers(0, 2) | st.tuples(PLAIN)),
    max_size=4,
    unique_by=lambda kv: kv[0],
)


@pytest.mark.filterwarnings("ignore:__int__ returned non-int:DeprecationWarning")
@given(layouts, hostile_recipes())
def test_classify_failure_of_hostile_envelopes(layout, recipes):
    try:
        real, model = envelope(layout, recipes), envelope(layout, recipes)
    except Exception:
        return  # a key whose hash or equality raises cannot even be stored
    got = outcome(classify_failure, real)
    assert got == outcome(rendered_faultsort.classify_failure, model)
    assert got[0] == "str" or issubclass(got[1], Exception)
    assert shape(real) == shape(model)


# ---------------------------------------------------------------------------
# SignalWaiter.matches and resolve_signal


MATCH_KEYS = st.sampled_from(["a", "b", "c"])
slot = st.integers(0, 2) | st.tuples(PLAIN)


def signal_setup(case, recipes, waiter_class):
    """Payload, waiters' matches and hostile objects, all built afresh."""
    payload_layout, match_layouts = case
    payload = {}
    hostiles = build_hostiles(recipes, payload)

    def value(v):
        return hostiles[v] if isinstance(v, int) and not isinstance(v, bool) else v[0]

    for k, v in payload_layout:
        payload[k] = value(v)
    waiters_ = []
    for i, layout in enumerate(match_layouts):
        match = {k: value(v) for k, v in layout}
        waiters_.append(waiter_class(f"p{i}", "k", "s", match))
    for obj in hostiles[1:]:
        obj.target = waiters_[0].match if waiters_ else payload  # some change a match while it is walked
    return payload, waiters_


signal_cases = st.tuples(
    st.lists(st.tuples(MATCH_KEYS, slot), max_size=3),
    st.lists(st.lists(st.tuples(MATCH_KEYS, slot), max_size=3), max_size=3),
)


@given(signal_cases, hostile_recipes())
def test_resolve_signal_with_hostile_values(case, recipes):
    payload, records = signal_setup(case, recipes, SignalWaiter)
    registry = InMemoryWaiterRegistry()
    for w in records:
        run(registry.register_signal_waiter(w))
    before = registry._signal_waiters
    got = outcome(lambda: run(registry.resolve_signal(signal_name="s", payload=payload)))

    model_payload, model_records = signal_setup(case, recipes, rendered_waiters.SignalWaiter)
    model = rendered_waiters.InMemoryWaiterRegistry()
    model._signal_waiters = list(model_records)
    assert got == outcome(lambda: run(model.resolve_signal(signal_name="s", payload=model_payload)))
    assert shape(payload) == shape(model_payload)
    if got[0] == "raised":
        # Nothing half-done: the waiters are the list as it was.
        assert registry._signal_waiters is before and len(before) == len(records)
    else:
        assert [w.parent_run_id for w in registry._signal_waiters] == [w.parent_run_id for w in model._signal_waiters]


# ---------------------------------------------------------------------------
# The ledger


numbers = st.one_of(
    st.integers(-3, 25),
    st.floats(),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, True, False, 10**30, -(10**30), 10**400, 2**63]),
)
ledger_ops = st.one_of(
    st.tuples(st.just("debit"), st.fixed_dictionaries({}, optional={
        "cost_usd": numbers, "tokens": numbers, "tool_name": st.sampled_from([None, "", "search", "fetch"]),
    })),  # fmt: skip
    st.tuples(st.sampled_from(["check_depth", "check_fanout", "check_concurrent", "check_can_afford"]),
              st.fixed_dictionaries({"_": numbers})),
    st.tuples(st.sampled_from(["check_depth", "remaining_usd", "remaining_tokens", "register_child_spawned",
                               "register_child_completed", "to_trace_data"]), st.just({})),
)  # fmt: skip


def apply(ledger, op, kwargs):
    args = [kwargs["_"]] if "_" in kwargs else []
    kwargs = {k: v for k, v in kwargs.items() if k != "_"}
    return getattr(ledger, op)(*args, **kwargs)


def as_int(value):
    return value if type(value) is int else int(value)


def bound(op, kwargs):
    """The arguments as the compiled binding passes them on to the body,
    converted in parameter order (cost_usd to float, counts to int): the
    rendering leaves that to its callers."""
    number = float if op == "check_can_afford" else as_int
    conversions = {"_": number, "cost_usd": float, "tokens": as_int, "tool_name": lambda name: name}
    return {k: conversions[k](kwargs[k]) for k in conversions if k in kwargs}


@given(st.fixed_dictionaries({}, optional={f: numbers for f in FIELDS}), st.lists(ledger_ops, max_size=8))
def test_ledger_operations_on_odd_numbers(fields, ops):
    real, model = Tallybook(**fields), rendered_tallybook.Tallybook(**fields)
    for op, kwargs in ops:
        before = ledger_state(real)
        got = outcome(apply, real, op, kwargs)
        assert got == outcome(lambda: apply(model, op, bound(op, kwargs))), (op, kwargs)
        assert got[0] != "raised" or issubclass(got[1], (BudgetExceeded, TypeError, ValueError, OverflowError))
        assert ledger_state(real) == ledger_state(model)
        if op.startswith("check") or op in ("remaining_usd", "remaining_tokens", "to_trace_data"):
            assert ledger_state(real) == before  # the checks never change the ledger


GUARD_TYPES = st.sampled_from(["cost", "token_count", "spawn_depth", "spawn_fanout", "spawn_concurrent", "wall_time",
                               "tokens", None])  # fmt: skip


def guard_of(recipe):
    type_, action, limit = recipe
    attrs = {}
    if type_ is not None:
        attrs["type"] = type_
    if action is not None:
        attrs["action"] = action

    def limit_method():
        if isinstance(limit, type):
            raise limit("limit")
        return limit

    for name in ("limit_as_usd", "limit_as_count", "limit_as_seconds"):
        attrs[name] = limit_method
    return SimpleNamespace(**attrs)


guard_recipes = st.lists(
    st.tuples(
        GUARD_TYPES,
        st.sampled_from([None, "abort", "warn", "require_approval"]),
        numbers | st.sampled_from([KeyError, None]),
    ),
    max_size=6,
)


@given(guard_recipes)
def test_from_guards_of_odd_limits(recipes):
    got = outcome(lambda: ledger_state(Tallybook.from_guards([guard_of(r) for r in recipes])))
    assert got == outcome(lambda: ledger_state(rendered_tallybook.Tallybook.from_guards([guard_of(r) for r in recipes])))


# ---------------------------------------------------------------------------
# The in-memory dispatcher


class Stop(BaseException):
    """Not an Exception: it ends the whole call."""


class Step:
    """An awaitable that suspends `times` times, then ends as `end` says;
    what is thrown in while it waits is handled as `on_throw` says."""

    def __init__(self, times, end, on_throw):
        self.times, self.end, self.on_throw = times, end, on_throw

    def __await__(self):
        for i in range(self.times):
            try:
                yield f"step-{i}"
            except BaseException as e:
                if self.on_throw == "swallow" and isinstance(e, Exception):
                    return {"output": "recovered"}
                if self.on_throw == "replace":
                    raise KeyError("replaced") from e
                raise
        kind, value = self.end
        if kind == "raise":
            raise value("ended")
        return dict(value) if isinstance(value, dict) else value


RESULTS = st.sampled_from([{"output": 1}, {"output": None}, {}, None, 5, {"error": "x", "output": "o"}])
behaviours = st.one_of(
    st.tuples(st.just("raise"), st.sampled_from([ValueError, Stop, KeyError])),
    st.tuples(st.just("plain"), st.sampled_from([5, None, "text"])),
    st.tuples(
        st.just("await"),
        st.tuples(
            st.integers(0, 3),
            st.tuples(st.just("return"), RESULTS) | st.tuples(st.just("raise"), st.sampled_from([ValueError, Stop])),
            st.sampled_from(["pass", "swallow", "replace"]),
        ),
    ),
)


def runner_for(behaviour_list):
    def runner(spec):
        kind, arg = behaviour_list[int(spec.agent)]
        if kind == "raise":
            raise arg("runner")
        if kind == "plain":
            return arg
        return Step(*arg)

    return runner


@given(
    st.lists(behaviours, max_size=4),
    st.sampled_from(["all", "any", "first_success"]),
    st.integers(0, 6) | st.none(),
)
def test_dispatch_with_hostile_runners(behaviour_list, return_when, throw_at):
    specs = tuple(ChildSpec(str(i)) for i in range(len(behaviour_list)))
    real = InMemorySpawnDispatcher(child_runner=runner_for(behaviour_list))
    got = drive(real.enqueue_children(parent_run_id="r", parent_resume_key="k", specs=specs,
                                      return_when=return_when, timeout_seconds=1.0), throw_at)  # fmt: skip
    model = rendered_spawn.InMemorySpawnDispatcher(child_runner=runner_for(behaviour_list))
    assert got == drive(model.enqueue_children(parent_run_id="r", parent_resume_key="k", specs=specs,
                                               return_when=return_when, timeout_seconds=1.0), throw_at)  # fmt: skip
    assert shape(real._pending) == shape(model._pending)
    # The store holds a whole call's results, or nothing at all.
    assert real._pending in ({}, {"r": {"k": real._pending.get("r", {}).get("k")}})


# ---------------------------------------------------------------------------
# Allocation failures


def test_a_failed_allocation_in_a_builtins_lookup_is_not_remembered(run_python):
    # The first lookup that falls through to the builtins makes the key it
    # needs; when that fails for want of memory, the next lookup tries again.
    proc = run_python(
        """
        import _testcapi
        from kelvra_runtime.core.runtime import spawn
        del spawn._default_noop_child_runner
        for k in range(64):
            _testcapi.set_nomemory(k, k + 1)
            try:
                spawn.InMemorySpawnDispatcher()
            except (MemoryError, NameError):
                pass
            finally:
                _testcapi.remove_mem_hooks()
        try:
            spawn.InMemorySpawnDispatcher()
        except NameError as e:
            print(e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "name '_default_noop_child_runner' is not defined"


def test_a_failed_allocation_in_a_duration_sum_is_reported(run_python):
    # A unit value that is no float makes the sum an object; every single
    # allocation of the parse is failed in turn, with the float free list
    # drained first so that the floats of the sum are really allocated.
    proc = run_python(
        """
        import _testcapi
        from fractions import Fraction
        from kelvra_runtime.core.runtime import waiters

        class Unit:
            def __rmul__(self, amount):
                return Fraction(amount)

        waiters._DURATION_UNITS = {"s": Unit()}
        outcomes = set()
        for k in range(200):
            held = [float(i) + 0.5 for i in range(400)]
            _testcapi.set_nomemory(k, k + 1)
            try:
                outcomes.add(waiters.parse_duration("2s 3s"))
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                _testcapi.remove_mem_hooks()
            del held
        print(sorted(map(str, outcomes)))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['5.0', 'MemoryError']"


def test_a_failed_allocation_in_a_policy_names_its_return(run_python):
    # The dict free list is drained first, so that the result dict is really
    # allocated, and every single allocation of the call is failed in turn.
    proc = run_python(
        """
        import _testcapi, traceback
        from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider

        provider = NoOpPolicyProvider()
        for call in (provider.get_runtime_configs, lambda: provider.get_policy("x")):
            lines = set()
            for k in range(20):
                held = [{} for _ in range(200)]
                _testcapi.set_nomemory(k, k + 1)
                try:
                    call()
                except MemoryError as e:
                    lines.add(traceback.extract_tb(e.__traceback__)[-1].lineno)
                finally:
                    _testcapi.remove_mem_hooks()
                del held
            print(sorted(lines))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["[49]", "[52]"]


def test_a_failed_allocation_while_naming_a_missing_field(run_python):
    # A failed field read carries the name and object of the read; when
    # giving it them fails for want of memory, the MemoryError is raised.
    proc = run_python(
        """
        import _testcapi
        from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry

        registry = InMemoryWaiterRegistry()
        del registry._signal_waiters
        seen = set()
        for k in range(40):
            _testcapi.set_nomemory(k, k + 1)
            try:
                registry.signal_waiter_count()
            except AttributeError as e:
                seen.add(("AttributeError", e.name, e.obj is registry))
            except MemoryError:
                seen.add(("MemoryError",))
            finally:
                _testcapi.remove_mem_hooks()
        print(sorted(seen))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[('AttributeError', '_signal_waiters', True), ('MemoryError',)]"


def test_a_global_lookup_that_raises_propagates(run_python):
    # A key of the module's dict whose comparison raises, met on the way to
    # a global the body reads: its error comes out, as for the rendering's
    # own global read.
    proc = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import rendering

        class Collides:
            def __hash__(self):
                return hash("_DURATION_UNITS")

            def __eq__(self, other):
                raise RuntimeError("compared")

        for module in (rendering.compiled("waiters"), rendering.load("waiters")):
            del module._DURATION_UNITS
            vars(module)[Collides()] = None
            try:
                module.parse_duration("1s")
            except Exception as e:
                print(type(e).__name__, e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["RuntimeError compared"] * 2
