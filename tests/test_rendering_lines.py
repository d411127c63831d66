"""The lines that the compiled modules' traceback entries cite are the lines
of src/kelvra_runtime/core/runtime/<module>.py at which the same statement
fails in the plain-Python rendering: each failing statement is made to fail
in both, and the compiled entry's line must be the line of the rendering's
frame for that function."""

import ast
import contextlib
import linecache
import traceback

import pytest

import rendering
from models import complete as run

PACKAGE = rendering.PACKAGE


class Boom(Exception):
    """The hostile objects' own error, which nothing catches."""


class Stop(BaseException):
    """An error outside Exception, which the dispatcher does not catch."""


def boom(*args, **kwargs):
    raise Boom("boom")


def stop(*args, **kwargs):
    raise Stop("stop")


class Raising:
    """Every comparison and its truth value raise."""

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = boom
    __hash__ = object.__hash__


class Tag:
    """A guard type or stop rule that equals nothing, and raises when
    compared with `fatal`."""

    def __init__(self, fatal):
        self.fatal = fatal

    def __eq__(self, other):
        if other == self.fatal:
            raise Boom(f"compared with {other}")
        return False

    __hash__ = object.__hash__


class Cap:
    """A cap that passes the `cap <= 0` test and breaks `value > cap`."""

    def __le__(self, other):
        return False

    __lt__ = boom


class Colliding:
    """A dict key that collides with `key` and breaks the lookup."""

    def __init__(self, key):
        self.key = key

    def __hash__(self):
        return hash(self.key)

    __eq__ = boom


class Spec:
    def __init__(self, agent="a", to_dict=None, broken=()):
        self._to_dict = to_dict
        self.broken = broken
        if "agent" not in broken:
            self.agent = agent

    def to_dict(self):
        if self._to_dict:
            return self._to_dict()
        return {"agent": self.agent}




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


def ledger(m, **fields):
    book = m.Tallybook()
    for name, value in fields.items():
        setattr(book, name, value)
    return book


def guard(type_, action="abort", **limits):
    g = type("Guard", (), {})()
    g.type, g.action = type_, action
    for name, value in limits.items():
        setattr(g, name, value)
    return g


def limit(value):
    return lambda: value


def registry(m, **attributes):
    reg = m.InMemoryWaiterRegistry(clock=lambda: 100.0)
    for name, value in attributes.items():
        if value is None:
            delattr(reg, name)
        else:
            setattr(reg, name, value)
    return reg


def signal_waiter(**attributes):
    w = type("Waiter", (), {"matches": lambda self, name, payload: True})()
    w.parent_run_id, w.resume_key, w.resume_at_unix = "p", "k", 1.0
    for name, value in attributes.items():
        if value is Boom:
            setattr(type(w), name, property(boom))
        else:
            setattr(w, name, value)
    return w


def runner(outcome):
    async def child(spec):
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome()

    return child


def enqueue(m, dispatcher=None, specs=(Spec(),), return_when="all", **kwargs):
    dispatcher = dispatcher or m.InMemorySpawnDispatcher(**kwargs)
    return run(dispatcher.enqueue_children(
        parent_run_id="r", parent_resume_key="k", specs=specs, return_when=return_when, timeout_seconds=1.0,
    ))  # fmt: skip


class Unstrable(Exception):
    def __str__(self):
        raise Boom("str")


class RefusingResult(dict):
    def __init__(self, key):
        super().__init__()
        self.key = key

    def __setitem__(self, key, value):
        if key == self.key:
            raise Stop(key)
        super().__setitem__(key, value)


class BrokenGet(dict):
    get = setdefault = boom


class BrokenDelete(list):
    __delitem__ = boom


class Mixin(Exception):
    def __init__(self, *args):
        raise Boom("base")


class Containing:
    __contains__ = boom


class UnstrippableStr(str):
    strip = boom


# Why a statement fails (id), the module, the function's qualified name, and
# what makes it fail given the module (compiled or rendered).
CASES = [
    # faultsort
    ("last_event lookup", "faultsort", "classify_failure", lambda m: m.classify_failure({Colliding("last_event"): 1})),
    ("startswith of None", "faultsort", "classify_failure", lambda m: m.classify_failure({"last_event": None})),
    ("startswith truth", "faultsort", "classify_failure",
     lambda m: m.classify_failure({"last_event": type("E", (), {"startswith": lambda s, p: Raising()})()})),
    ("memory lookup", "faultsort", "classify_failure",
     lambda m: m.classify_failure({"x": 1, Colliding("memory_rss_mb"): 1})),
    ("memory overflow", "faultsort", "classify_failure", lambda m: m.classify_failure({"memory_rss_mb": float("inf")})),
    # tallybook: BudgetExceeded
    ("set cap_name", "tallybook", "BudgetExceeded.__init__",
     lambda m: refusing_assignment(m.BudgetExceeded, "cap_name")("r", cap_name="c", cap_value=1, would_be=2)),
    ("set cap_value", "tallybook", "BudgetExceeded.__init__",
     lambda m: refusing_assignment(m.BudgetExceeded, "cap_value")("r", cap_name="c", cap_value=1, would_be=2)),
    ("set would_be", "tallybook", "BudgetExceeded.__init__",
     lambda m: refusing_assignment(m.BudgetExceeded, "would_be")("r", cap_name="c", cap_value=1, would_be=2)),
    ("base init", "tallybook", "BudgetExceeded.__init__",
     lambda m: type("E", (m.BudgetExceeded, Mixin), {})("r", cap_name="c", cap_value=1, would_be=2)),
    ("reduce without cap_name", "tallybook", "BudgetExceeded.__reduce__",
     lambda m: failing_attribute(m.BudgetExceeded, "cap_name", AttributeError)(
         "r", cap_name="c", cap_value=1, would_be=2).__reduce__()),
    # tallybook: Tallybook
    ("remaining_usd cap test", "tallybook", "Tallybook.remaining_usd",
     lambda m: ledger(m, cost_cap_usd=Raising()).remaining_usd()),
    ("remaining_usd difference", "tallybook", "Tallybook.remaining_usd",
     lambda m: ledger(m, cost_cap_usd=1.0, spent_cost_usd="x").remaining_usd()),
    ("remaining_tokens cap test", "tallybook", "Tallybook.remaining_tokens",
     lambda m: ledger(m, token_cap=Raising()).remaining_tokens()),
    ("remaining_tokens difference", "tallybook", "Tallybook.remaining_tokens",
     lambda m: ledger(m, token_cap=5, spent_tokens="x").remaining_tokens()),
    ("debit adds cost", "tallybook", "Tallybook.debit", lambda m: ledger(m, spent_cost_usd="x").debit(cost_usd=1.0)),
    ("debit adds tokens", "tallybook", "Tallybook.debit", lambda m: ledger(m, spent_tokens="x").debit(tokens=1)),
    ("debit counts tool", "tallybook", "Tallybook.debit",
     lambda m: ledger(m, tool_call_counts=BrokenGet()).debit(tool_name="t")),
    ("debit cost test", "tallybook", "Tallybook.debit", lambda m: ledger(m, cost_cap_usd=Raising()).debit()),
    ("debit cost breach", "tallybook", "Tallybook.debit", lambda m: ledger(m, cost_cap_usd=1.0).debit(cost_usd=2.0)),
    ("debit token test", "tallybook", "Tallybook.debit", lambda m: ledger(m, token_cap=Raising()).debit()),
    ("debit token breach", "tallybook", "Tallybook.debit", lambda m: ledger(m, token_cap=1).debit(tokens=2)),
    ("depth cap test", "tallybook", "Tallybook.check_depth", lambda m: ledger(m, max_spawn_depth=Raising()).check_depth()),
    ("depth sum", "tallybook", "Tallybook.check_depth", lambda m: ledger(m, current_depth="x").check_depth()),
    ("depth compare", "tallybook", "Tallybook.check_depth", lambda m: ledger(m, max_spawn_depth=Cap()).check_depth()),
    ("depth breach", "tallybook", "Tallybook.check_depth", lambda m: ledger(m).check_depth(5)),
    ("fanout cap test", "tallybook", "Tallybook.check_fanout",
     lambda m: ledger(m, max_spawn_fanout=Raising()).check_fanout(1)),
    ("fanout compare", "tallybook", "Tallybook.check_fanout", lambda m: ledger(m, max_spawn_fanout=Cap()).check_fanout(1)),
    ("fanout breach", "tallybook", "Tallybook.check_fanout", lambda m: ledger(m).check_fanout(11)),
    ("concurrent cap test", "tallybook", "Tallybook.check_concurrent",
     lambda m: ledger(m, max_concurrent_spawns=Raising()).check_concurrent(1)),
    ("concurrent sum", "tallybook", "Tallybook.check_concurrent",
     lambda m: ledger(m, active_child_count="x").check_concurrent(1)),
    ("concurrent compare", "tallybook", "Tallybook.check_concurrent",
     lambda m: ledger(m, max_concurrent_spawns=Cap()).check_concurrent(1)),
    ("concurrent breach", "tallybook", "Tallybook.check_concurrent", lambda m: ledger(m).check_concurrent(21)),
    ("afford cap test", "tallybook", "Tallybook.check_can_afford",
     lambda m: ledger(m, cost_cap_usd=Raising()).check_can_afford(1.0)),
    ("afford sum", "tallybook", "Tallybook.check_can_afford",
     lambda m: ledger(m, cost_cap_usd=1.0, spent_cost_usd="x").check_can_afford(1.0)),
    ("afford compare", "tallybook", "Tallybook.check_can_afford",
     lambda m: ledger(m, cost_cap_usd=Cap()).check_can_afford(1.0)),
    ("afford breach", "tallybook", "Tallybook.check_can_afford",
     lambda m: ledger(m, cost_cap_usd=1.0).check_can_afford(2.0)),
    ("spawned active", "tallybook", "Tallybook.register_child_spawned",
     lambda m: ledger(m, active_child_count="x").register_child_spawned()),
    ("spawned cumulative", "tallybook", "Tallybook.register_child_spawned",
     lambda m: ledger(m, cumulative_child_count="x").register_child_spawned()),
    ("completed", "tallybook", "Tallybook.register_child_completed",
     lambda m: ledger(m, active_child_count="x").register_child_completed()),
    ("make ledger", "tallybook", "Tallybook.from_guards",
     lambda m: type("T", (m.Tallybook,), {"__init__": boom}).from_guards([])),
    ("read type", "tallybook", "Tallybook.from_guards",
     lambda m: m.Tallybook.from_guards([type("G", (), {"type": property(boom)})()])),
    ("read action", "tallybook", "Tallybook.from_guards",
     lambda m: m.Tallybook.from_guards([type("G", (), {"action": property(boom)})()])),
    ("action test", "tallybook", "Tallybook.from_guards", lambda m: m.Tallybook.from_guards([guard("cost", Raising())])),
    *[
        (f"{tag} test", "tallybook", "Tallybook.from_guards", lambda m, tag=tag: m.Tallybook.from_guards([guard(Tag(tag))]))
        for tag in ("cost", "token_count", "spawn_depth", "spawn_fanout", "spawn_concurrent", "wall_time")
    ],
    *[
        (f"{tag} limit", "tallybook", "Tallybook.from_guards",
         lambda m, tag=tag, method=method: m.Tallybook.from_guards([guard(tag, **{method: boom})]))
        for tag, method in [("cost", "limit_as_usd"), ("token_count", "limit_as_count"),
                            ("spawn_depth", "limit_as_count"), ("spawn_fanout", "limit_as_count"),
                            ("spawn_concurrent", "limit_as_count"), ("wall_time", "limit_as_seconds")]
    ],
    ("cost tightest", "tallybook", "Tallybook.from_guards",
     lambda m: m.Tallybook.from_guards([guard("cost", limit_as_usd=limit(2.0)),
                                        guard("cost", limit_as_usd=limit(Raising()))])),
    ("token tightest", "tallybook", "Tallybook.from_guards",
     lambda m: m.Tallybook.from_guards([guard("token_count", limit_as_count=limit(2)),
                                        guard("token_count", limit_as_count=limit(Raising()))])),
    ("trace round", "tallybook", "Tallybook.to_trace_data", lambda m: ledger(m, spent_cost_usd="x").to_trace_data()),
    *[
        (f"trace {name}", "tallybook", "Tallybook.to_trace_data",
         lambda m, name=name: failing_attribute(m.Tallybook, name)().to_trace_data())
        for name in ("cost_cap_usd", "token_cap", "max_spawn_depth", "max_spawn_fanout", "spent_cost_usd",
                     "spent_tokens", "current_depth", "active_child_count", "cumulative_child_count",
                     "remaining_usd", "remaining_tokens")
    ],
    # policy: its bodies only allocate.
    # spawn
    ("runner truth", "spawn", "InMemorySpawnDispatcher.__init__",
     lambda m: m.InMemorySpawnDispatcher(child_runner=Raising())),
    ("set pending", "spawn", "InMemorySpawnDispatcher.__init__",
     lambda m: refusing_assignment(m.InMemorySpawnDispatcher, "_pending")()),
    ("child stops the call", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, child_runner=runner(Stop("stop")))),
    ("label child id", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, child_runner=runner(lambda: RefusingResult("child_run_id")))),
    ("label spec", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, child_runner=runner(lambda: RefusingResult("spec")))),
    ("failure class missing", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: replaced_call(m, "ChildResult", None, lambda: enqueue(m, child_runner=runner(ValueError("v"))))),
    ("failure class refuses", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: replaced_call(m, "ChildResult", boom, lambda: enqueue(m, child_runner=runner(ValueError("v"))))),
    ("failure spec", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, specs=(Spec(to_dict=boom),), child_runner=runner(ValueError("v")))),
    ("failure text", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, child_runner=runner(Unstrable()))),
    ("first_success test", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, return_when=Raising(), child_runner=runner(lambda: {}))),
    ("first_success output", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, return_when="first_success", child_runner=runner(BrokenGet))),
    ("any test", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, return_when=Tag("any"), child_runner=runner(lambda: {}))),
    ("store results", "spawn", "InMemorySpawnDispatcher.enqueue_children",
     lambda m: enqueue(m, with_pending(m, BrokenGet()), child_runner=runner(lambda: {}))),
    ("pop results", "spawn", "InMemorySpawnDispatcher.collect_results",
     lambda m: run(with_pending(m, BrokenGet()).collect_results(parent_run_id="r", resume_key="k"))),
    ("noop result class", "spawn", "_default_noop_child_runner",
     lambda m: replaced_call(m, "ChildResult", None, lambda: run(m._default_noop_child_runner(Spec())))),
    ("noop spec", "spawn", "_default_noop_child_runner", lambda m: run(m._default_noop_child_runner(Spec(to_dict=boom)))),
    ("noop agent", "spawn", "_default_noop_child_runner",
     lambda m: run(m._default_noop_child_runner(Spec(broken=("agent",))))),
    ("default runner in a call", "spawn", "_default_noop_child_runner",
     lambda m: enqueue(m, specs=(Spec(to_dict=stop),))),
    # waiters: records
    ("name test", "waiters", "SignalWaiter.matches", lambda m: m.SignalWaiter("p", "k", Raising()).matches("s", {})),
    ("match of None", "waiters", "SignalWaiter.matches", lambda m: m.SignalWaiter("p", "k", "s", None).matches("s", {})),
    ("value test", "waiters", "SignalWaiter.matches",
     lambda m: m.SignalWaiter("p", "k", "s", {"k": Raising()}).matches("s", {})),
    # waiters: registry
    ("clock truth", "waiters", "InMemoryWaiterRegistry.__init__", lambda m: m.InMemoryWaiterRegistry(clock=Raising())),
    ("set lists", "waiters", "InMemoryWaiterRegistry.__init__",
     lambda m: refusing_assignment(m.InMemoryWaiterRegistry, "_timers")()),
    ("append signal waiter", "waiters", "InMemoryWaiterRegistry.register_signal_waiter",
     lambda m: run(registry(m, _signal_waiters=None).register_signal_waiter(1))),
    ("call matches", "waiters", "InMemoryWaiterRegistry.resolve_signal",
     lambda m: run(registry(m, _signal_waiters=[signal_waiter(matches=Boom)]).resolve_signal(signal_name="s", payload={}))),
    ("matched record", "waiters", "InMemoryWaiterRegistry.resolve_signal",
     lambda m: run(registry(m, _signal_waiters=[signal_waiter(resume_key=Boom)]).resolve_signal(
         signal_name="s", payload={}))),
    ("replace signal waiters", "waiters", "InMemoryWaiterRegistry.resolve_signal",
     lambda m: run(after_init(m.InMemoryWaiterRegistry, "_signal_waiters").resolve_signal(signal_name="s", payload={}))),
    ("user input test", "waiters", "InMemoryWaiterRegistry.resolve_user_input",
     lambda m: run(registry(m, _user_inputs=[signal_waiter(parent_run_id=Raising())]).resolve_user_input(
         parent_run_id="p", resume_key="k", response=None))),
    ("user input remove", "waiters", "InMemoryWaiterRegistry.resolve_user_input",
     lambda m: run(registry(m, _user_inputs=BrokenDelete([signal_waiter()])).resolve_user_input(
         parent_run_id="p", resume_key="k", response=None))),
    ("call clock", "waiters", "InMemoryWaiterRegistry.sweep_expired_timers",
     lambda m: run(registry(m, _clock=boom).sweep_expired_timers())),
    ("timer test", "waiters", "InMemoryWaiterRegistry.sweep_expired_timers",
     lambda m: run(registry(m, _timers=[signal_waiter(resume_at_unix=None)]).sweep_expired_timers())),
    ("timer record", "waiters", "InMemoryWaiterRegistry.sweep_expired_timers",
     lambda m: run(registry(m, _timers=[signal_waiter(parent_run_id=Boom)]).sweep_expired_timers())),
    ("replace timers", "waiters", "InMemoryWaiterRegistry.sweep_expired_timers",
     lambda m: run(after_init(m.InMemoryWaiterRegistry, "_timers").sweep_expired_timers())),
    *[
        (f"{count} list", "waiters", f"InMemoryWaiterRegistry.{count}",
         lambda m, count=count, name=name: getattr(registry(m, **{name: None}), count)())
        for count, name in [("signal_waiter_count", "_signal_waiters"), ("timer_count", "_timers"),
                            ("user_input_waiter_count", "_user_inputs")]
    ],
    # waiters: parse_duration
    ("numeric overflow", "waiters", "parse_duration", lambda m: m.parse_duration(10**400)),
    ("unsupported type", "waiters", "parse_duration", lambda m: m.parse_duration(None)),
    ("normalise", "waiters", "parse_duration", lambda m: m.parse_duration(UnstrippableStr("1h"))),
    ("empty", "waiters", "parse_duration", lambda m: m.parse_duration("  ")),
    ("unit table missing", "waiters", "parse_duration",
     lambda m: replaced_call(m, "_DURATION_UNITS", None, lambda: m.parse_duration("1h"))),
    ("unit test", "waiters", "parse_duration",
     lambda m: replaced_call(m, "_DURATION_UNITS", Containing(), lambda: m.parse_duration("1h"))),
    ("unit without number", "waiters", "parse_duration", lambda m: m.parse_duration("h")),
    ("unit amount", "waiters", "parse_duration", lambda m: m.parse_duration("1.2.3h")),
    ("unit value", "waiters", "parse_duration",
     lambda m: replaced_call(m, "_DURATION_UNITS", {"h": "x"}, lambda: m.parse_duration("1h"))),
    ("unrecognized", "waiters", "parse_duration", lambda m: m.parse_duration("2x")),
    ("trailing amount", "waiters", "parse_duration", lambda m: m.parse_duration("1.2.3")),
    ("not positive", "waiters", "parse_duration", lambda m: m.parse_duration("0s")),
]


def replaced_call(module, name, value, call):
    with replaced(module, name, value):
        return call()


def with_pending(m, pending):
    dispatcher = m.InMemorySpawnDispatcher()
    dispatcher._pending = pending
    return dispatcher


class NumberLike:
    """A difference that is above zero and is no number."""

    def __gt__(self, other):
        return True


class Subtrahend:
    def __rsub__(self, other):
        return NumberLike()


# Results of the wrong type, refused by the statement that produced them.
CASES += [
    ("remaining_tokens result", "tallybook", "Tallybook.remaining_tokens",
     lambda m: ledger(m, token_cap=5, spent_tokens=Subtrahend()).remaining_tokens()),
    ("collected results", "spawn", "InMemorySpawnDispatcher.collect_results",
     lambda m: run(with_pending(m, {"r": {"k": ["not", "a", "dict"]}}).collect_results(parent_run_id="r", resume_key="k"))),
]  # fmt: skip

# A field read that shares its line with the call after it, and the
# reduction's reads of the exception's own state.
CASES += [
    ("cost cap read", "tallybook", "Tallybook.from_guards",
     lambda m: failing_attribute(m.Tallybook, "cost_cap_usd").from_guards([guard("cost", limit_as_usd=limit(1.0))])),
    ("reduce reads args", "tallybook", "BudgetExceeded.__reduce__",
     lambda m: failing_attribute(m.BudgetExceeded, "args")("r", cap_name="c", cap_value=1, would_be=2).__reduce__()),
]  # fmt: skip


# The registry's lists themselves unreadable, where each walk or append stands.
CASES += [
    (case_id, "waiters", qualname, provoke)
    for case_id, qualname, provoke in [
        ("append timer", "InMemoryWaiterRegistry.register_timer",
         lambda m: run(registry(m, _timers=None).register_timer(1))),
        ("append user input waiter", "InMemoryWaiterRegistry.register_user_input_waiter",
         lambda m: run(registry(m, _user_inputs=None).register_user_input_waiter(1))),
        ("walk signal waiters", "InMemoryWaiterRegistry.resolve_signal",
         lambda m: run(registry(m, _signal_waiters=None).resolve_signal(signal_name="s", payload={}))),
        ("walk user inputs", "InMemoryWaiterRegistry.resolve_user_input",
         lambda m: run(registry(m, _user_inputs=None).resolve_user_input(parent_run_id="p", resume_key="k", response=0))),
        ("walk timers", "InMemoryWaiterRegistry.sweep_expired_timers",
         lambda m: run(registry(m, _timers=None).sweep_expired_timers())),
    ]
]  # fmt: skip


def case_id(case):
    return case.values[0] if isinstance(case, type(pytest.param())) else case[0]


def raised(provoke, module):
    with pytest.raises(BaseException) as info:
        provoke(module)
    return info.value


def compiled_line(error, module, qualname):
    """The line of the compiled entry named by the dotted path, which names
    the module's source file."""
    entries = [
        (entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.name == f"{PACKAGE}.{module}.{qualname}"
    ]
    assert len(entries) == 1, entries
    filename, line = entries[0]
    assert filename == f"src/kelvra_runtime/core/runtime/{module}.py"
    return line


def rendered_line(error, module, qualname):
    """The line at which the rendering's frame of `qualname` raised (its innermost one)."""
    lines = [
        tb.tb_lineno
        for tb in walk(error.__traceback__)
        if tb.tb_frame.f_code.co_filename == str(rendering.path(module))
        and tb.tb_frame.f_code.co_qualname == qualname
    ]
    assert lines, f"no frame of {qualname} in {module}.py"
    return lines[-1]


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


@pytest.mark.parametrize("case_id, module, qualname, provoke", CASES, ids=[case_id(case) for case in CASES])
def test_cited_line_is_the_failing_statement(case_id, module, qualname, provoke):
    from_compiled = raised(provoke, rendering.compiled(module))
    from_rendering = raised(provoke, rendering.load(module))
    assert (type(from_rendering).__qualname__, str(from_rendering)) == (type(from_compiled).__qualname__, str(from_compiled))
    line = compiled_line(from_compiled, module, qualname)
    assert line == rendered_line(from_rendering, module, qualname)


def defined_functions(module):
    """(qualname, function) of every function the compiled module defines."""
    m = rendering.compiled(module)
    for name, value in vars(m).items():
        if getattr(value, "__module__", None) != m.__name__:
            continue
        if isinstance(value, type):
            for attr, member in vars(value).items():
                function = member.__func__ if isinstance(member, classmethod) else member
                if type(function).__name__ == "compiled_function":
                    yield f"{name}.{attr}", getattr(value, attr)
        elif type(value).__name__ == "compiled_function":
            yield name, value


def def_lines(module):
    """The line of each `def` (not its decorators) in the rendering, by qualified name."""
    lines = {}

    def visit(node, prefix):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                qualname = prefix + child.name
                lines[qualname] = child.lineno
                visit(child, qualname + ".")

    visit(ast.parse(rendering.path(module).read_text()), "")
    return lines


DEFINED = [
    pytest.param(
        module, qualname,
        id=f"{module}.{qualname}",
    )
    for module in rendering.MODULES
    for qualname, _ in defined_functions(module)
]  # fmt: skip


@pytest.mark.parametrize("module, qualname", DEFINED)
def test_binding_errors_cite_the_def_line(module, qualname):
    function = dict(defined_functions(module))[qualname]
    with pytest.raises(TypeError) as info:
        function(__unexpected__=1)
    assert compiled_line(info.value, module, qualname) == def_lines(module)[qualname]


# The statements the compiled modules cite, each by a fragment of the
# statement that a reader finds at that line of the rendering: for faultsort
# and policy at the lines fixed for them, for the others where the rendering
# names them.
WL, TL, SL = (rendering.lines(m) for m in ("waiters", "tallybook", "spawn"))
CITED = {
    "faultsort": {15: "def classify_failure(", 36: 'envelope_data.get("last_event"', 39: "last_event.startswith(",
                  44: 'int(envelope_data.get("memory_rss_mb"', 45: "memory_mb > 0"},
    "policy": {7: "from typing import", 10: "@runtime_checkable", 11: "class PolicyProvider(", 41: "class NoOpPolicyProvider",
               49: "return {}", 52: "return {}"},
    "tallybook": {TL["import dataclasses"]: "from dataclasses import", TL["import typing"]: "from typing import",
                  TL["BudgetExceeded"]: "class BudgetExceeded(", TL["Tallybook"] - 1: "@dataclass",
                  TL["Tallybook"]: "class Tallybook", TL.make_ledger: "cls()", TL.trace_return: "return {",
                  TL.trace_first_entry: '"cost_cap_usd"', TL.trace_first_entry + 10: '"remaining_tokens"'},
    "spawn": {SL["import typing"]: "from typing import", SL["import .exceptions"]: "from .exceptions import",
              SL["ChildResult"]: "class ChildResult(", SL["SpawnDispatcher"] - 1: "@runtime_checkable",
              SL["SpawnDispatcher"]: "class SpawnDispatcher(", SL["InMemorySpawnDispatcher"]: "class InMemorySpawnDispatcher",
              SL.await_child: "await _awaitable(self._child_runner(spec))", SL.store_results: "self._pending.setdefault(",
              SL.pop_results: "self._pending.get(", SL.noop_result: "return ChildResult("},
    "waiters": {WL["import time"]: "import time", WL["import dataclasses"]: "from dataclasses import",
                WL["import typing"]: "from typing import", WL["SignalWaiter"] - 1: "@dataclass",
                WL["SignalWaiter"]: "class SignalWaiter", WL["TimerWaiter"] - 1: "@dataclass",
                WL["TimerWaiter"]: "class TimerWaiter", WL["UserInputWaiter"] - 1: "@dataclass",
                WL["UserInputWaiter"]: "class UserInputWaiter", WL["WaiterRegistry"] - 1: "@runtime_checkable",
                WL["WaiterRegistry"]: "class WaiterRegistry(", WL["InMemoryWaiterRegistry"]: "class InMemoryWaiterRegistry",
                WL["_DURATION_UNITS"]: "_DURATION_UNITS = {", WL["parse_duration"]: "def parse_duration("},
}  # fmt: skip


@pytest.mark.parametrize("module, line, fragment", [(m, n, f) for m, lines in CITED.items() for n, f in lines.items()])
def test_cited_line_reads_as_its_statement(module, line, fragment):
    assert fragment in linecache.getline(str(rendering.path(module)), line)


@pytest.fixture(scope="module")
def fresh_namespaces(run_interpreter):
    """Each compiled module's names in binding order, as a fresh import
    leaves them (tests elsewhere rebind module globals)."""
    code = f"import importlib; print([[n for n in vars(importlib.import_module('{PACKAGE}.' + m))"
    code += f" if not n.startswith('__')] for m in {rendering.MODULES!r}])"
    done = run_interpreter("-c", code, check=True)
    return dict(zip(rendering.MODULES, ast.literal_eval(done.stdout)))


@pytest.mark.parametrize("module", rendering.MODULES)
def test_rendering_binds_the_compiled_namespace(module, fresh_namespaces):
    """The same names in the same order, but for the `annotations` feature
    that the rendering's string annotations need, and then only the
    rendering's own private helper functions."""
    rendered = rendering.load(module)
    names = [n for n in vars(rendered) if not n.startswith("__") and n != "annotations"]
    expected = fresh_namespaces[module]
    assert names[: len(expected)] == expected
    helpers = names[len(expected) :]
    assert all(n.startswith("_") and type(getattr(rendered, n)).__name__ == "function" for n in helpers), helpers
