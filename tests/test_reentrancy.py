"""Re-entrancy: callbacks (a waiter's `matches`, a clock, an `__eq__`, a
child runner, a unit value, a guard's limit method) that change the very
registry, table, ledger or dispatcher being worked on.  Each scenario runs
on the compiled object and on its plain-Python rendering, and both must
give the same results and leave the same state: what the algorithms imply,
and no crash."""

import collections.abc

import pytest
import rendering
from models import drive, ledger_state, outcome, run, shape

from kelvra_runtime.core.runtime import waiters
from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import Tallybook

rendered_waiters, rendered_tallybook, rendered_spawn = (rendering.load(m) for m in ("waiters", "tallybook", "spawn"))


class Synchronous:
    """A registry with its coroutines driven to their end, and the record
    classes of its module (`kinds`)."""

    def __init__(self, registry, kinds):
        self.registry, self.kinds = registry, kinds

    def __getattr__(self, name):
        method = getattr(self.registry, name)

        def call(*args, **kwargs):
            result = method(*args, **kwargs)
            return run(result) if isinstance(result, collections.abc.Coroutine) else result

        return call


def both(scenario):
    """Runs `scenario(registry, kinds)` on the compiled registry and on its
    rendering; returns both outcomes and final states."""
    runs = []
    for module in (waiters, rendered_waiters):
        kinds = (module.SignalWaiter, module.TimerWaiter, module.UserInputWaiter)
        registry = Synchronous(module.InMemoryWaiterRegistry(clock=lambda: 100.0), kinds)
        real = registry.registry
        result = outcome(scenario, registry, kinds)
        state = [shape([(w.parent_run_id, w.resume_key) for w in getattr(real, name)])
                 for name in ("_signal_waiters", "_timers", "_user_inputs")]  # fmt: skip
        runs.append((result, state))
    return runs


def once(action):
    """`action`, on its first call only (so that re-entering ends)."""
    calls = []

    def call(*args):
        if not calls:
            calls.append(args)
            action(*args)

    return call


class Calling:
    """A signal waiter whose `matches` first calls `action(registry)`."""

    def __init__(self, name, action, hit, registry):
        self.parent_run_id, self.resume_key = name, "k"
        self.action, self.hit, self.registry = once(action), hit, registry

    def matches(self, signal_name, payload):
        self.action(self.registry)
        return self.hit


def resolve(registry, **kwargs):
    return registry.resolve_signal(signal_name="s", payload={"a": 1}, **kwargs)


SIGNAL_ACTIONS = {
    "registers a matching waiter": lambda r: r.register_signal_waiter(r.kinds[0]("new", "k", "s")),
    "registers another waiter": lambda r: r.register_signal_waiter(r.kinds[0]("other", "k", "t")),
    "resolves again": lambda r: resolve(r),
    "clears the list": lambda r: r.registry._signal_waiters.clear(),
    "replaces the list": lambda r: setattr(r.registry, "_signal_waiters", [r.kinds[0]("x", "k", "s")]),
    "counts": lambda r: r.signal_waiter_count(),
}


@pytest.mark.parametrize("hit", [True, False])
@pytest.mark.parametrize("action", SIGNAL_ACTIONS.values(), ids=SIGNAL_ACTIONS.keys())
def test_matches_that_changes_the_registry(action, hit):
    def scenario(registry, kinds):
        signal_waiter = kinds[0]
        registry.register_signal_waiter(signal_waiter("first", "k", "s"))
        registry.register_signal_waiter(Calling("calling", action, hit, registry))
        registry.register_signal_waiter(signal_waiter("last", "k", "s", {"a": 2}))
        return resolve(registry)

    real, model = both(scenario)
    assert real == model


class Clock:
    def __init__(self, action, registry):
        self.action, self.registry = once(action), registry

    def __call__(self):
        self.action(self.registry)
        return 100.0


CLOCK_ACTIONS = {
    "registers a due timer": lambda r: r.register_timer(r.kinds[1]("new", "k", 1.0)),
    "sweeps again": lambda r: r.sweep_expired_timers(),
    "clears the timers": lambda r: r.registry._timers.clear(),
}


@pytest.mark.parametrize("action", CLOCK_ACTIONS.values(), ids=CLOCK_ACTIONS.keys())
def test_clock_that_changes_the_registry(action):
    def scenario(registry, kinds):
        real = registry.registry
        real._clock = Clock(action, registry)
        registry.register_timer(kinds[1]("due", "k", 50.0))
        registry.register_timer(kinds[1]("later", "k", 150.0))
        return registry.sweep_expired_timers()

    real, model = both(scenario)
    assert real == model


class Id(str):
    """A run id whose comparison first calls `action(registry)`."""

    def __eq__(self, other):
        self.action(self.registry)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


USER_INPUT_ACTIONS = {
    "removes an earlier waiter": lambda r: r.registry._user_inputs.pop(0),
    "empties the list": lambda r: r.registry._user_inputs.clear(),
    "registers another": lambda r: r.register_user_input_waiter(r.kinds[2]("p", "k", "?")),
    "answers again": lambda r: r.resolve_user_input(parent_run_id="q", resume_key="k", response=None),
}


@pytest.mark.parametrize("action", USER_INPUT_ACTIONS.values(), ids=USER_INPUT_ACTIONS.keys())
def test_comparison_that_changes_the_user_inputs(action):
    def scenario(registry, kinds):
        run_id = Id("p")
        run_id.action, run_id.registry = once(action), registry
        registry.register_user_input_waiter(kinds[2]("q", "k", "?"))
        registry.register_user_input_waiter(kinds[2](run_id, "k", "?"))
        registry.register_user_input_waiter(kinds[2]("p", "k", "?"))
        return registry.resolve_user_input(parent_run_id="p", resume_key="k", response=None)

    real, model = both(scenario)
    assert real == model


# --- the duration table ------------------------------------------------------


class Unit:
    """A unit value whose multiplication first changes the table of `module`."""

    def __init__(self, action, module):
        self.action, self.module = action, module

    def __rmul__(self, amount):
        self.action(self.module)
        return amount


UNIT_ACTIONS = {
    "replaced": lambda m: setattr(m, "_DURATION_UNITS", {"m": 60.0}),
    "entry removed": lambda m: m._DURATION_UNITS.pop("h", None),
    "entry added": lambda m: m._DURATION_UNITS.update(x=2.0),
    "cleared": lambda m: m._DURATION_UNITS.clear(),
    "deleted": lambda m: vars(m).pop("_DURATION_UNITS", None),
}


@pytest.fixture
def restored_units():
    """Each table put back afterwards, at its place in the namespace."""
    saved = [(vars(m), list(vars(m)), m._DURATION_UNITS) for m in (waiters, rendered_waiters)]
    yield
    for namespace, order, units in saved:
        namespace["_DURATION_UNITS"] = units
        for later in order[order.index("_DURATION_UNITS") + 1 :]:
            namespace[later] = namespace.pop(later)


@pytest.mark.parametrize("spec", ["1s1h", "1s1m", "1s1x", "1s 5", "1s1s"])
@pytest.mark.parametrize("action", UNIT_ACTIONS.values(), ids=UNIT_ACTIONS.keys())
def test_table_changed_during_a_parse(restored_units, action, spec):
    def parse(module):
        module._DURATION_UNITS = {"s": Unit(action, module), "m": 60.0, "h": 3600.0}
        return outcome(module.parse_duration, spec)

    assert parse(waiters) == parse(rendered_waiters)


# --- guards ------------------------------------------------------------------


class Guard:
    """A guard record whose limit method first changes the guards list."""

    def __init__(self, type_, limit, action=None):
        self.type, self.limit, self.change = type_, limit, action and once(action)
        self.guards = None

    def _limit(self):
        if self.change:
            self.change(self.guards)
        return self.limit

    limit_as_usd = limit_as_count = limit_as_seconds = _limit


GUARD_ACTIONS = {
    "appends a guard": lambda gs: gs.append(Guard("spawn_depth", 9)),
    "clears the list": lambda gs: gs.clear(),
    "removes itself": lambda gs: gs.pop(0),
    "inserts before": lambda gs: gs.insert(0, Guard("cost", 0.5)),
}


@pytest.mark.parametrize("action", GUARD_ACTIONS.values(), ids=GUARD_ACTIONS.keys())
def test_limit_method_that_changes_the_guards(action):
    def build(from_guards):
        guards = [Guard("cost", 2.0, action), Guard("token_count", 100), Guard("spawn_fanout", 4)]
        for g in guards:
            g.guards = guards
        return outcome(lambda: ledger_state(from_guards(guards)))

    assert build(Tallybook.from_guards) == build(rendered_tallybook.Tallybook.from_guards)


# --- the dispatcher ----------------------------------------------------------

SPECS = (ChildSpec("a"), ChildSpec("b"))


def enqueue(d, specs=SPECS, key="k"):
    return d.enqueue_children(parent_run_id="r", parent_resume_key=key, specs=specs, return_when="all",
                              timeout_seconds=1.0)  # fmt: skip


RUNNER_ACTIONS = {
    "dispatches again for the same pair": lambda d: drive(enqueue(d, SPECS[:1]), None),
    "dispatches for another pair": lambda d: drive(enqueue(d, SPECS[:1], key="other"), None),
    "collects the results": lambda d: drive(d.collect_results(parent_run_id="r", resume_key="k"), None),
    "replaces the store": lambda d: setattr(d, "_pending", {}),
    "replaces the runner": lambda d: setattr(d, "_child_runner", lambda spec: None),
}


@pytest.mark.parametrize("action", RUNNER_ACTIONS.values(), ids=RUNNER_ACTIONS.keys())
def test_child_runner_that_reenters_the_dispatcher(action):
    def dispatch(dispatcher_class):
        d = dispatcher_class()
        act = once(action)

        async def runner(spec):
            act(d)
            return {"output": spec.agent}

        d._child_runner = runner
        result = drive(enqueue(d), None)
        return result, shape(d._pending)

    assert dispatch(InMemorySpawnDispatcher) == dispatch(rendered_spawn.InMemorySpawnDispatcher)


# --- introspection -----------------------------------------------------------


def test_signature_asked_for_while_it_is_made(run_python):
    # Making a signature runs inspect's code, which may ask for the same
    # signature again: both get the one that is kept, and none is lost.
    proc = run_python(
        """
        import inspect
        from kelvra_runtime.core.runtime.faultsort import classify_failure as f

        inner = []

        class Reentering(inspect.Parameter):
            __slots__ = ()

            def __init__(self, *args, **kwargs):
                if not inner:
                    inner.append(None)
                    inner[0] = f.__signature__
                super().__init__(*args, **kwargs)

        real, inspect.Parameter = inspect.Parameter, Reentering
        outer = f.__signature__
        inspect.Parameter = real
        print(outer is inner[0] is f.__signature__, outer)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True (envelope_data: 'dict') -> 'str'"
