"""Record fields read and assigned by the compiled bodies, whatever has
happened to the instance or its class in between: each scenario runs on
the compiled module and on its rendering, and every observable outcome
must agree."""

import asyncio

import pytest
import rendering

from kelvra_runtime.core.runtime import tallybook, waiters


def outcome(call):
    try:
        return ("returned", call())
    except Exception as e:
        return ("raised", type(e).__name__, str(e))


async def awaited(awaitable):
    try:
        return ("returned", await awaitable)
    except Exception as e:
        return ("raised", type(e).__name__, str(e))


def spend(t, cost=0.25, tokens=10, tool="search"):
    """A debit, then the instance's own attributes in their order."""
    return outcome(lambda: t.debit(cost_usd=cost, tokens=tokens, tool_name=tool)), list(vars(t).items())


def ledger(ns, **fields):
    return ns.Tallybook(cost_cap_usd=1.0, token_cap=1000, **fields)


def vars_around_calls(ns):
    t = ledger(ns)
    seen = [spend(t)]
    d = t.__dict__
    seen += [spend(t), dict(d)]
    d["spent_tokens"] = 900
    seen += [spend(t), spend(t, tokens=200)]
    return seen


def dict_replaced(ns):
    t = ledger(ns)
    seen = [spend(t)]
    t.__dict__ = {"spent_cost_usd": 0.5, "spent_tokens": 1, "cost_cap_usd": 0.6, "token_cap": 0, "tool_call_counts": {}}
    seen += [spend(t), spend(t)]
    t.__dict__ = {}
    return seen + [spend(t)]


def field_deleted(ns):
    t = ledger(ns)
    seen = [spend(t)]
    del t.spent_tokens  # the class default shows through, and the debit puts it back last
    seen.append(spend(t))
    del t.cost_cap_usd
    seen += [spend(t), outcome(lambda: t.check_can_afford(cost_usd=5.0))]
    del t.tool_call_counts  # no class default
    return seen + [spend(t), spend(t, tool=None)]


def written_between_calls(ns):
    t = ledger(ns)
    seen = [spend(t)]
    t.spent_cost_usd = 2
    seen.append(spend(t))
    t.spent_cost_usd, t.cost_cap_usd, t.spent_tokens = 0.0, 0.0, "many"
    seen.append(spend(t))
    t.spent_tokens = 5
    t.max_spawn_depth, t.current_depth = 4, 3
    return seen + [spend(t), outcome(lambda: t.check_depth(2)), outcome(t.check_depth)]


def many_attributes(ns):
    t = ledger(ns)
    seen = [spend(t)]
    for i in range(40):
        setattr(t, f"extra_{i}", i)
    seen += [spend(t), spend(t)]
    for i in range(40):
        delattr(t, f"extra_{i}")
    return seen + [spend(t)]


def subclass_instances(ns):
    class Ledger(ns.Tallybook):
        pass

    plain, derived = ledger(ns), Ledger(cost_cap_usd=1.0, token_cap=1000)
    seen = []
    for _ in range(3):
        seen += [spend(plain), spend(derived)]
    derived.__class__ = ns.Tallybook
    plain.__class__ = Ledger
    return seen + [spend(plain), spend(derived), type(plain) is Ledger]


def class_changed(ns):
    class Ledger(ns.Tallybook):
        pass

    t = Ledger(cost_cap_usd=1.0, token_cap=1000, current_depth=1)
    seen = [spend(t)]
    Ledger.cost_cap_usd = 0.5  # a plain class attribute: the instance's value still wins
    seen.append(spend(t))
    assigned = []
    Ledger.spent_tokens = property(lambda self: 7, lambda self, value: assigned.append(value))
    seen += [spend(t), spend(t), list(assigned)]
    Ledger.max_spawn_depth = property(lambda self: 1)
    seen.append(outcome(lambda: t.check_depth(1)))
    del Ledger.spent_tokens, Ledger.max_spawn_depth
    return seen + [spend(t), outcome(lambda: t.check_depth(1))]


def module_class_changed(ns):
    # The module's own class, restored afterwards.
    t = ledger(ns, current_depth=2, max_spawn_depth=5)
    seen = [spend(t), outcome(lambda: t.check_depth(1))]
    default = ns.Tallybook.max_spawn_depth
    ns.Tallybook.max_spawn_depth = property(lambda self: 2)
    try:
        seen.append(outcome(lambda: t.check_depth(1)))
        ns.Tallybook.extra_marker = 1
        seen.append(spend(t))
    finally:
        ns.Tallybook.max_spawn_depth = default
        del ns.Tallybook.extra_marker
    return seen + [outcome(lambda: t.check_depth(1)), spend(t)]


def default_becomes_descriptor(ns):
    # A class attribute whose own class may gain `__get__` and `__set__`
    # later, without the record class changing.
    class Default:
        pass

    class Ledger(ns.Tallybook):
        spent_tokens = Default()

    t = Ledger(cost_cap_usd=1.0, token_cap=1000, spent_tokens=3)
    seen = [spend(t)]
    assigned = []
    Default.__get__ = lambda self, obj, owner=None: 11
    Default.__set__ = lambda self, obj, value: assigned.append(value)
    return seen + [spend(t), spend(t), assigned]


def access_hooks(ns):
    reads, writes = [], []

    class Reading(ns.Tallybook):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    class Writing(ns.Tallybook):
        def __setattr__(self, name, value):
            writes.append(name)
            super().__setattr__(name, value)

    seen = []
    for cls in (Reading, Writing):
        t = cls(cost_cap_usd=1.0, token_cap=1000)
        seen += [spend(t), spend(t)]
    return seen + [reads, writes]


LEDGER_SCENARIOS = [
    default_becomes_descriptor,
    access_hooks,
    vars_around_calls,
    dict_replaced,
    field_deleted,
    written_between_calls,
    many_attributes,
    subclass_instances,
    class_changed,
    module_class_changed,
]


@pytest.mark.parametrize("scenario", LEDGER_SCENARIOS, ids=lambda s: s.__name__)
def test_ledger_fields_as_rendered(scenario):
    # Twice: the second run finds where the first left the fields.
    for _ in range(2):
        assert scenario(tallybook) == scenario(rendering.load("tallybook"))


def waiter_rounds(ns):
    """One field name on three record classes, read in turn."""
    registry = ns.InMemoryWaiterRegistry(clock=lambda: 100.0)

    async def rounds():
        seen = []
        for i in range(4):
            signal = ns.SignalWaiter(f"run-{i}", "key", "go", {"n": i})
            timer = ns.TimerWaiter(f"run-{i}", "key", 50.0 + 40 * i)
            user = ns.UserInputWaiter(f"run-{i}", "key", "ok?")
            if i == 2:
                signal.parent_run_id = 7
                del timer.resume_key
                vars(user)
            for waiter, register in (
                (signal, registry.register_signal_waiter),
                (timer, registry.register_timer),
                (user, registry.register_user_input_waiter),
            ):
                await register(waiter)
            seen.append(await awaited(registry.resolve_signal(signal_name="go", payload={"n": i})))
            seen.append(await awaited(registry.sweep_expired_timers()))
            seen.append(await registry.resolve_user_input(parent_run_id=f"run-{i}", resume_key="key", response=1))
        return seen

    return asyncio.run(rounds())


def test_waiter_fields_as_rendered():
    assert waiter_rounds(waiters) == waiter_rounds(rendering.load("waiters"))
