"""The spawn dispatcher protocol, the child result shape and the in-memory dispatcher."""

import asyncio
import collections
import gc
import inspect
import sys
import traceback
import types
import typing
import warnings

import pytest
import rendering
import trio

from kelvra_runtime.core.runtime import exceptions, spawn
from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher, SpawnDispatcher
from models import complete as run
from models import shape

MODULE = "kelvra_runtime.core.runtime.spawn"
SOURCE = "src/kelvra_runtime/core/runtime/spawn.py"
ENQUEUE = f"{MODULE}.InMemorySpawnDispatcher.enqueue_children"
LINES = rendering.lines("spawn")


def enqueue(dispatcher, specs, return_when="all", /, **overrides):
    args = {"parent_run_id": "r1", "parent_resume_key": "k", "specs": tuple(specs), "return_when": return_when}
    return dispatcher.enqueue_children(**(args | {"timeout_seconds": 5.0} | overrides))


def stored(dispatcher, run_id="r1", key="k"):
    return dispatcher._pending[run_id][key]


def our_entries(error):
    """(name, line) of the traceback entries of this module."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__) if e.filename == SOURCE]


class Spec:
    """A child spec whose `to_dict` calls fail in turn as listed, and whose
    `agent` may fail."""

    def __init__(self, agent="a", to_dict_errors=(), agent_error=None):
        self._agent, self.to_dict_errors, self.agent_error = agent, list(to_dict_errors), agent_error
        self.to_dict_calls = 0

    def to_dict(self):
        self.to_dict_calls += 1
        error = self.to_dict_errors.pop(0) if self.to_dict_errors else None
        if error is not None:
            raise error
        return {"agent": self._agent}

    @property
    def agent(self):
        if self.agent_error is not None:
            raise self.agent_error
        return self._agent


class AwaitOnce:
    """An awaitable that is not a coroutine: it suspends once, then returns."""

    def __init__(self, result):
        self.result = result

    def __await__(self):
        yield
        return self.result


def via_coroutine(spec):
    """The default runner behind a wrapper: its coroutine is awaited as any
    other runner's is."""
    return spawn._default_noop_child_runner(spec)


def failure(child_run_id, spec, error):
    keys = ("child_run_id", "spec", "output", "error", "cost_usd", "tokens", "duration_ms")
    return dict(zip(keys, (child_run_id, spec, None, error, 0.0, 0, 0.0)))


# --- the module and its classes ---------------------------------------------


def test_namespace():
    names = [n for n in vars(spawn) if not n.startswith("__")]
    assert names == [
        "Awaitable", "Callable", "Optional", "Protocol", "runtime_checkable", "ChildSpec", "ReturnWhen",
        "ChildResult", "SpawnDispatcher", "InMemorySpawnDispatcher", "_default_noop_child_runner",
    ]  # fmt: skip
    assert spawn.Optional is typing.Optional and spawn.ChildSpec is exceptions.ChildSpec
    assert ReturnWhen.ANY == "any" and ReturnWhen.FIRST_SUCCESS == "first_success"
    assert '  ``ctx.inputs["spawn_results"][resume_key]`` populated — a dict mapping' in spawn.__doc__.split("\n")
    assert "\n        spec (dict — ChildSpec.to_dict())\n" in ChildResult.__doc__
    for name in ("__init__", "enqueue_children", "collect_results"):
        assert getattr(InMemorySpawnDispatcher, name).__doc__ is None


@pytest.mark.parametrize(
    ("obj", "first", "count", "indent"),
    [
        (spawn, "Phase 1.1 — spawn dispatcher protocol + in-memory default.", 20, 0),
        (ChildResult, "Dict-shaped child result. Plain dict so it serializes cleanly for resume.", 11, 4),
        (SpawnDispatcher, "Enqueue child runs and return their results on resume.", 4, 4),
        (SpawnDispatcher.enqueue_children, "Enqueue child runs; return their child_run_ids. Non-blocking.", 33, 8),
        (SpawnDispatcher.collect_results, "Called during parent resume — return completed child results.", 5, 8),
        (InMemorySpawnDispatcher, "Synchronous, in-process dispatcher. Local dev + tests only.", 11, 4),
        (spawn._default_noop_child_runner, "Default fake child runner — returns an empty success.", 4, 4),
    ],
)
def test_docstring_layout(obj, first, count, indent):
    lines = obj.__doc__.split("\n")
    assert lines[0] == first and len(lines) == count and lines[-1] == " " * indent
    assert all(line == "" or line.startswith(" " * indent) and line == line.rstrip() for line in lines[1:-1])


ENQUEUE_ANNOTATIONS = {
    "parent_run_id": "str", "parent_resume_key": "str", "specs": "tuple[ChildSpec, ...]",
    "return_when": "ReturnWhen", "timeout_seconds": "float", "group_key": "str | None",
    "tenant_id": "str | None", "parent_trace_id": "str | None", "parent_span_id": "str | None",
    "parent_sub_user_identity": "dict | None", "return": "list[str]",
}  # fmt: skip


@pytest.mark.parametrize("cls", [SpawnDispatcher, InMemorySpawnDispatcher])
def test_method_shapes(cls):
    assert list(cls.enqueue_children.__annotations__.items()) == list(ENQUEUE_ANNOTATIONS.items())
    assert cls.enqueue_children.__kwdefaults__ == dict.fromkeys(list(ENQUEUE_ANNOTATIONS)[5:10])
    assert list(cls.enqueue_children.__kwdefaults__) == list(ENQUEUE_ANNOTATIONS)[5:10]
    assert list(cls.collect_results.__annotations__) == ["parent_run_id", "resume_key", "return"]
    assert cls.collect_results.__kwdefaults__ is None and cls.enqueue_children.__defaults__ is None
    assert inspect.iscoroutinefunction(cls.enqueue_children) and inspect.iscoroutinefunction(cls.collect_results)


def test_classes():
    assert ChildResult.__bases__ == (dict,) and ChildResult.__module__ == MODULE
    assert type(ChildResult(child_run_id="c")) is ChildResult and ChildResult(child_run_id="c") == {"child_run_id": "c"}
    assert ChildResult() == {}
    assert SpawnDispatcher.__bases__ == (typing.Protocol,) and InMemorySpawnDispatcher.__bases__ == (object,)
    assert isinstance(InMemorySpawnDispatcher(), SpawnDispatcher)
    assert not isinstance(type("EnqueueOnly", (), {"enqueue_children": print})(), SpawnDispatcher)
    init = InMemorySpawnDispatcher.__init__
    assert init.__annotations__ == {"child_runner": "Optional[Callable[[ChildSpec], Awaitable[ChildResult]]]"}
    assert init.__kwdefaults__ == {"child_runner": None}
    assert str(inspect.signature(spawn._default_noop_child_runner)) == "(spec: 'ChildSpec') -> 'ChildResult'"
    # The protocol's own bodies bind like the real ones and do nothing.
    assert run(enqueue(SpawnDispatcher, [], self=object())) is None


# --- argument binding -------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize(
    ("overrides", "error", "message"),
    [
        ({"specs": [ChildSpec("a")]}, TypeError, "Argument 'specs' has incorrect type (expected tuple, got list)"),
        ({"parent_run_id": None}, TypeError, "Argument 'parent_run_id' has incorrect type (expected str, got NoneType)"),
        ({"parent_sub_user_identity": collections.OrderedDict()}, TypeError, "(expected dict, got collections.OrderedDict)"),
        # Typed parameters are tested in order, after the float conversion.
        ({"parent_run_id": 1, "specs": []}, TypeError, "Argument 'parent_run_id'"),
        ({"parent_run_id": 1, "timeout_seconds": None}, TypeError, "must be real number, not NoneType"),
        ({"timeout_seconds": 10**400}, OverflowError, "int too large to convert to float"),
        ({"extra": 1}, TypeError, "enqueue_children() got an unexpected keyword argument 'extra'"),
    ],
)
def test_enqueue_refuses_at_the_call(overrides, error, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine is made, so none is left unawaited
        with pytest.raises(error) as info:
            enqueue(InMemorySpawnDispatcher(child_runner=pytest.fail), [ChildSpec("a")], **overrides)
        gc.collect()
    assert message in str(info.value)
    # A refused type is the caller's error; other binding errors name the def line.
    assert our_entries(info.value) == ([] if "incorrect type" in str(info.value) else [(ENQUEUE, LINES["InMemorySpawnDispatcher.enqueue_children"])])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda d: d.enqueue_children(), "enqueue_children() needs keyword-only argument parent_run_id"),
        (
            lambda d: d.enqueue_children(parent_run_id="r", parent_resume_key="k", specs=(), timeout_seconds=1),
            "enqueue_children() needs keyword-only argument return_when",
        ),
        (lambda d: d.collect_results("r", "k"), "collect_results() takes exactly 1 positional argument (3 given)"),
        (lambda d: type(d)(print), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda d: spawn._default_noop_child_runner(), "_default_noop_child_runner() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call(InMemorySpawnDispatcher())
    assert str(info.value) == message


@pytest.mark.parametrize(("name", "value"), [("parent_run_id", Text("r")), ("parent_sub_user_identity", type("M", (dict,), {})())])
def test_subclasses_refused_with_a_note(name, value):
    with pytest.raises(TypeError) as info:
        enqueue(InMemorySpawnDispatcher(), [], **{name: value})
    assert f"Argument '{name}'" in str(info.value) and "ubclasses" in info.value.__notes__[0]


def test_accepted_argument_forms():
    converted = []

    class Seconds:
        def __float__(self):
            converted.append(True)
            return 2.5

    d = InMemorySpawnDispatcher()
    coro = enqueue(d, [], timeout_seconds=Seconds(), parent_sub_user_identity={}, group_key=None, tenant_id="t")
    assert converted == [True]  # converted at the call, before the body runs
    assert run(coro) == [] and run(enqueue(d, [], timeout_seconds=5)) == []


# --- construction -------------------------------------------------------------


@pytest.mark.parametrize("runner", [None, 0, "", ()])
def test_false_runner_means_the_default(runner):
    d = InMemorySpawnDispatcher(child_runner=runner)
    assert d._child_runner is spawn._default_noop_child_runner and d._pending == {}


def test_default_runner_is_looked_up_at_construction(monkeypatch):
    monkeypatch.setattr(spawn, "_default_noop_child_runner", print)
    assert InMemorySpawnDispatcher()._child_runner is print
    monkeypatch.delattr(spawn, "_default_noop_child_runner")
    with pytest.raises(NameError, match="_default_noop_child_runner"):
        InMemorySpawnDispatcher()


# --- dispatching --------------------------------------------------------------

SPECS = [ChildSpec("a"), ChildSpec("b", {"n": 1}), ChildSpec("c")]


@pytest.mark.parametrize(
    ("return_when", "count"),
    [("first_success", 1), (ReturnWhen.FIRST_SUCCESS, 1), (ReturnWhen.ANY, 1), (ReturnWhen.ALL, 3), (None, 3), ("ANY", 3)],
)
def test_default_runner_and_stop_rules(return_when, count):
    d = InMemorySpawnDispatcher()
    ids = run(enqueue(d, SPECS, return_when))
    assert ids == [f"inmem-r1-k-{i}" for i in range(count)]
    results = run(d.collect_results(parent_run_id="r1", resume_key="k"))
    assert list(results) == ids and type(results[ids[-1]]) is ChildResult
    spec = SPECS[count - 1]
    assert list(results[ids[-1]].items()) == [
        ("child_run_id", ids[-1]), ("spec", spec.to_dict()), ("output", {"_noop": True, "agent": spec.agent}),
        ("error", None), ("cost_usd", 0.0), ("tokens", 0), ("duration_ms", 0.0),
    ]  # fmt: skip
    assert [type(v) for v in results[ids[-1]].values()][4:] == [float, int, float]
    assert run(d.collect_results(parent_run_id="r1", resume_key="k")) == {} and d._pending == {"r1": {}}
    assert run(enqueue(d, [])) == [] and stored(d) == {}


def test_failures_are_recorded_and_first_success_waits_for_an_output():
    outcomes = iter([ValueError("no 0"), {"output": None}, {"output": {}, "error": "counts anyway"}, {"output": 1}])

    async def runner(spec):
        outcome = next(outcomes)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    d = InMemorySpawnDispatcher(child_runner=runner)
    assert run(enqueue(d, [ChildSpec(str(i)) for i in range(4)], "first_success"))[-1] == "inmem-r1-k-2"
    first = stored(d)["inmem-r1-k-0"]
    assert type(first) is ChildResult and first == failure("inmem-r1-k-0", ChildSpec("0").to_dict(), "no 0")
    assert [r.get("error") for r in stored(d).values()] == ["no 0", None, "counts anyway"]


def test_runner_result_is_labelled_in_place():
    spec, own = Spec("x"), {"child_run_id": "theirs", "extra": 1}
    d = InMemorySpawnDispatcher(child_runner=lambda s: AwaitOnce(own))
    coro = enqueue(d, [spec])
    assert coro.send(None) is None  # the child's suspension goes out to the driver
    run(coro)
    assert stored(d)["inmem-r1-k-0"] is own and spec.to_dict_calls == 1
    assert own == {"child_run_id": "inmem-r1-k-0", "extra": 1, "spec": {"agent": "x"}}


async def returns_none(spec):
    return None


async def raises_stop_iteration(spec):
    raise StopIteration("inner")


def plain_stop_iteration(spec):
    raise StopIteration("plain")


@pytest.mark.parametrize(
    ("runner", "error"),
    [
        (lambda spec: 5, "object int can't be used in 'await' expression"),
        (lambda spec: ChildResult(), "object ChildResult can't be used in 'await' expression"),
        (object(), "'object' object is not callable"),
        (returns_none, "'NoneType' object does not support item assignment"),
        (lambda spec: asyncio.sleep(0, "text"), "'str' object does not support item assignment"),
        (raises_stop_iteration, "coroutine raised StopIteration"),
        (plain_stop_iteration, "plain"),
    ],
)
def test_runner_failures_are_recorded(runner, error):
    d = InMemorySpawnDispatcher(child_runner=runner)
    run(enqueue(d, [Spec(), Spec()]))
    assert list(stored(d).values()) == [failure(f"inmem-r1-k-{i}", {"agent": "a"}, error) for i in (0, 1)]


def test_runner_attribute_is_read_for_each_child():
    d = InMemorySpawnDispatcher()

    async def replacing(spec):
        del d._child_runner
        return {}

    d._child_runner = replacing
    run(enqueue(d, SPECS[:2]))
    assert stored(d)["inmem-r1-k-1"]["error"] == "'InMemorySpawnDispatcher' object has no attribute '_child_runner'"


@pytest.mark.parametrize(
    ("run_id", "key", "expected"),
    [("a-b", "c", "inmem-a-b-c-"), ("a", "b-c", "inmem-a-b-c-"), ("rün", "κ", "inmem-rün-κ-"), ("", "", "inmem---")],
)
def test_child_ids(run_id, key, expected):
    d = InMemorySpawnDispatcher()
    ids = run(enqueue(d, [ChildSpec(str(i)) for i in range(11)], parent_run_id=run_id, parent_resume_key=key))
    assert ids == [f"{expected}{i}" for i in range(11)] and list(stored(d, run_id, key)) == ids
    # Equal ids of other pairs are kept apart.
    run(enqueue(d, [ChildSpec("other")], parent_run_id=run_id + "/", parent_resume_key=key))
    assert stored(d, run_id, key)[f"{expected}0"]["spec"]["agent"] == "0"


def test_repeated_call_dispatches_again_and_replaces():
    calls = []

    async def runner(spec):
        calls.append(spec.agent)
        return {"output": len(calls)}

    d = InMemorySpawnDispatcher(child_runner=runner)
    first = run(enqueue(d, SPECS[:2], group_key="g"))
    assert run(enqueue(d, SPECS[:2], group_key="g")) == first
    assert calls == ["a", "b", "a", "b"] and [r["output"] for r in stored(d).values()] == [3, 4]


@pytest.mark.parametrize(
    ("popped", "message"),
    [(None, None), ([], "Expected dict, got list"), (ChildResult(), "Expected dict, got ChildResult")],
)
def test_collect_results_type_check(popped, message):
    d = InMemorySpawnDispatcher()
    d._pending = {"r1": {"k": popped}}
    if message is None:
        assert run(d.collect_results(parent_run_id="r1", resume_key="k")) is None
        return
    with pytest.raises(TypeError, match=message) as info:
        run(d.collect_results(parent_run_id="r1", resume_key="k"))
    assert our_entries(info.value) == [(f"{MODULE}.InMemorySpawnDispatcher.collect_results", LINES.pop_results)]


def test_pending_of_other_types():
    d = InMemorySpawnDispatcher()
    assert run(d.collect_results(parent_run_id="nobody", resume_key="k")) == {} and d._pending == {}
    d._pending = collections.OrderedDict(r1=collections.UserDict(k={"c": 1}))
    run(enqueue(d, [ChildSpec("x")], parent_run_id="r2"))
    assert list(d._pending["r2"]["k"]) == ["inmem-r2-k-0"]
    assert run(d.collect_results(parent_run_id="r1", resume_key="k")) == {"c": 1}
    del d._pending
    for coro in (enqueue(d, [ChildSpec("x")]), d.collect_results(parent_run_id="r1", resume_key="k")):
        with pytest.raises(AttributeError, match="_pending"):
            run(coro)


# --- errors that end the call -------------------------------------------------


class Touchy:
    def __eq__(self, other):
        raise RuntimeError("eq")


class NoGet:
    def __setitem__(self, key, value):
        pass


@pytest.mark.parametrize(
    ("runner", "spec", "return_when", "error", "line"),
    [
        # to_dict fails again while the failure mapping is built
        (lambda s: 5, Spec(to_dict_errors=[ValueError("again")]), "all", ValueError, LINES.failure_spec),
        (None, Spec(agent_error=KeyboardInterrupt()), "all", KeyboardInterrupt, LINES.await_child),
        (lambda s: AwaitOnce(NoGet()), Spec(), "first_success", AttributeError, LINES.first_success),
        (None, Spec(), Touchy(), RuntimeError, LINES.first_success),
    ],
)
def test_errors_propagate_and_nothing_is_stored(runner, spec, return_when, error, line):
    d = InMemorySpawnDispatcher(child_runner=runner)
    with pytest.raises(error) as info:
        run(enqueue(d, [ChildSpec("ok"), spec], return_when))
    assert d._pending == {} and our_entries(info.value)[0] == (ENQUEUE, line)


def test_failure_mapping_is_built_while_the_child_error_is_handled():
    seen = []

    class Explaining(ValueError):
        def __str__(self):
            seen.append(sys.exception())
            raise LookupError("str")

    explaining = Explaining()

    async def raising(spec):
        raise explaining

    with pytest.raises(LookupError, match="str") as info:
        run(enqueue(InMemorySpawnDispatcher(child_runner=raising), [Spec()]))
    assert seen == [explaining] and info.value.__context__ is explaining
    assert sys.exception() is None


def test_child_result_is_looked_up_and_called_with_its_keywords(monkeypatch):
    calls = []

    class Recording(dict):
        def __init__(self, **kwargs):
            calls.append(list(kwargs))
            super().__init__(**kwargs)

    monkeypatch.setattr(spawn, "ChildResult", Recording)
    d = InMemorySpawnDispatcher(child_runner=lambda s: 1)
    run(enqueue(d, [ChildSpec("a")]))
    run(via_coroutine(ChildSpec("b")))
    assert calls == [list(failure("", {}, ""))] * 2 and type(stored(d)["inmem-r1-k-0"]) is Recording
    # Without the class, the default runner fails, and so does the failure
    # mapping built for it.
    monkeypatch.delattr(spawn, "ChildResult")
    with pytest.raises(NameError, match="'ChildResult' is not defined"):
        run(enqueue(InMemorySpawnDispatcher(), [ChildSpec("a")]))


# --- the default runner's direct path ------------------------------------------


@pytest.mark.parametrize(
    "make_spec",
    [
        lambda: ChildSpec("a", {"n": [1]}),
        lambda: Spec(to_dict_errors=[ValueError("bad")]),
        lambda: Spec(to_dict_errors=[StopIteration("stop")]),
        lambda: Spec(agent_error=AttributeError("no agent")),
    ],
)
def test_direct_path_gives_the_coroutine_path_results(make_spec):
    direct, awaited = InMemorySpawnDispatcher(), InMemorySpawnDispatcher(child_runner=via_coroutine)
    run(enqueue(direct, [make_spec()]))
    run(enqueue(awaited, [make_spec()]))
    direct_result, awaited_result = stored(direct)["inmem-r1-k-0"], stored(awaited)["inmem-r1-k-0"]
    assert list(direct_result.items()) == list(awaited_result.items())
    assert list(map(type, direct_result.values())) == list(map(type, awaited_result.values()))
    assert type(direct_result) is type(awaited_result) is ChildResult
    assert sys.getsizeof(direct_result) == sys.getsizeof(awaited_result) == sys.getsizeof(ChildResult(**direct_result))


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_direct_path_error_leaves_as_from_the_coroutine(error):
    def entries(runner):
        with pytest.raises(error) as info:
            run(enqueue(InMemorySpawnDispatcher(child_runner=runner), [Spec(agent_error=error())]))
        return our_entries(info.value)

    assert entries(None) == entries(via_coroutine) == [
        (ENQUEUE, LINES.await_child),
        (f"{MODULE}._default_noop_child_runner", LINES.noop_output),
    ]


# --- suspension, concurrency and cancellation ----------------------------------


def test_children_that_suspend_run_one_after_another():
    log = []

    async def runner(spec):
        log.append(spec.agent)
        await asyncio.sleep(0.001 if spec.agent == "slow" else 0)
        log.append(spec.agent + "!")
        return {"output": spec.agent}

    async def main():
        d = InMemorySpawnDispatcher(child_runner=runner)
        first = enqueue(d, [ChildSpec("a0"), ChildSpec("a1")], parent_resume_key="a")
        second = enqueue(d, [ChildSpec("b0"), ChildSpec("b1")], parent_resume_key="b")
        ids = await asyncio.gather(first, second)
        # Two calls for one pair: the one that ends last is stored.
        await asyncio.gather(enqueue(d, [ChildSpec("slow")]), enqueue(d, [ChildSpec("fast")]))
        return d, ids

    d, ids = asyncio.run(main())
    assert log[:8] == ["a0", "b0", "a0!", "a1", "b0!", "b1", "a1!", "b1!"]
    assert ids == [["inmem-r1-a-0", "inmem-r1-a-1"], ["inmem-r1-b-0", "inmem-r1-b-1"]]
    assert [r["output"] for r in stored(d, key="b").values()] == ["b0", "b1"]
    assert stored(d)["inmem-r1-k-0"]["output"] == "slow"


def test_cancellation_while_a_child_awaits():
    seen = []

    async def runner(spec):
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            seen.append(spec.agent)
            raise

    async def main():
        d = InMemorySpawnDispatcher(child_runner=runner)
        task = asyncio.create_task(enqueue(d, SPECS))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return d

    assert asyncio.run(main())._pending == {} and seen == ["a"]


def watching_runner(seen):
    """A child runner that suspends once and records what is thrown in there."""

    async def runner(spec):
        try:
            await AwaitOnce(None)
        except BaseException as exc:
            seen.append(type(exc))
            raise
        return {}

    return runner


@pytest.mark.parametrize("started", [False, True])
def test_a_dropped_coroutine_closes_its_awaiting_child(started):
    seen = []
    coro = enqueue(InMemorySpawnDispatcher(child_runner=watching_runner(seen)), SPECS[:1])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if started:
            coro.send(None)
        del coro
        gc.collect()
    # Suspended: closed through its await; never started: only the warning.
    assert seen == ([GeneratorExit] if started else [])
    assert [str(w.message).endswith("was never awaited") for w in caught] == ([] if started else [True])


def test_close_and_throw_reach_the_awaiting_child():
    seen = []
    d = InMemorySpawnDispatcher(child_runner=watching_runner(seen))
    coro = enqueue(d, SPECS[:2])
    coro.send(None)
    assert coro.close() is None and seen == [GeneratorExit] and d._pending == {}
    # An exception thrown in at the await is the child's failure.
    coro = enqueue(d, SPECS[:2])
    coro.send(None)
    assert coro.throw(ValueError("thrown")) is None  # the second child suspends
    assert run(coro) == ["inmem-r1-k-0", "inmem-r1-k-1"] and seen[1:] == [ValueError]
    assert stored(d)["inmem-r1-k-0"]["error"] == "thrown"


def test_under_trio():
    async def runner(spec):
        await trio.sleep(0)
        return {"output": spec.agent}

    async def main():
        d, default = InMemorySpawnDispatcher(child_runner=runner), InMemorySpawnDispatcher()
        ids = await enqueue(d, SPECS)
        await enqueue(default, SPECS, "any")
        return ids, await d.collect_results(parent_run_id="r1", resume_key="k"), stored(default)

    ids, results, default_results = trio.run(main)
    assert ids == list(results) and [r["output"] for r in results.values()] == ["a", "b", "c"]
    assert list(default_results) == ["inmem-r1-k-0"]


def test_import_fails_without_the_engine_names(run_python):
    proc = run_python(
        f"""
        import sys, traceback, types
        import kelvra_runtime.core.runtime.exceptions as real
        stub = types.ModuleType(real.__name__)
        stub.ChildSpec = real.ChildSpec
        sys.modules[real.__name__] = stub
        try:
            import {MODULE}
        except ImportError as e:
            print(type(e).__name__, "ReturnWhen" in str(e), traceback.extract_tb(e.__traceback__)[-1].lineno)
        assert {MODULE!r} not in sys.modules
        sys.modules[real.__name__] = real
        from kelvra_runtime.core.runtime import spawn
        print(spawn.ReturnWhen is real.ReturnWhen)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["ImportError", "True", str(LINES["import .exceptions"]), "True"]


class AwaitableResult:
    def __await__(self):
        yield "suspended"
        return {"output": "awaitable"}


@types.coroutine
def generator_coroutine(spec):
    yield "suspended"
    return {"output": "generator coroutine"}


def plain_generator(spec):
    yield "suspended"


RUNNER_RESULTS = {
    "coroutine": lambda spec: asyncio.sleep(0, {"output": "coroutine"}),
    "__await__": lambda spec: AwaitableResult(),
    "types.coroutine": generator_coroutine,
    "plain generator": plain_generator,
    "int": lambda spec: 5,
    "None": lambda spec: None,
}


@pytest.mark.parametrize("runner", RUNNER_RESULTS.values(), ids=RUNNER_RESULTS.keys())
def test_what_is_awaited_as_the_rendering_awaits_it(runner):
    def results(module):
        dispatcher = module.InMemorySpawnDispatcher(child_runner=runner)
        assert run(enqueue(dispatcher, [ChildSpec("a")])) == ["inmem-r1-k-0"]
        return shape(stored(dispatcher))

    assert results(spawn) == results(rendering.load("spawn"))


def test_closing_a_suspended_dispatch_closes_the_child_quietly(capfd):
    # As for a native coroutine: the awaited iterator is closed, and nothing
    # is reported as ignored.
    closed = []

    class Pending:
        def __await__(self):
            try:
                yield
            finally:
                closed.append(True)
            return {}

    coro = enqueue(InMemorySpawnDispatcher(child_runner=lambda spec: Pending()), [ChildSpec("a")])
    coro.send(None)
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        assert coro.close() is None
    finally:
        sys.unraisablehook = hook
    assert (closed, unraisable, capfd.readouterr().err) == ([True], [], "")
