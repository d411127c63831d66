"""What profilers see of one workload run through the compiled modules and
through their renderings.  cProfile, which listens through sys.monitoring,
must list the same functions (name, file, first line) with the same calls
and callers; the tools on the legacy hooks (profile, sys.setprofile,
sys.settrace) get no events of ours, and must see the rest as with the
renderings: the callers' counts unchanged, nothing more."""

import cProfile
import collections
import gc
import os
import pstats
import sys
import types
import warnings

import pytest
import rendering
from models import complete

from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

with warnings.catch_warnings():
    # Deprecated from CPython 3.15 on, and still the legacy hook's profiler.
    warnings.simplefilter("ignore", DeprecationWarning)
    import profile

MODULES = ("waiters", "tallybook", "spawn")
SOURCES = {f"{module}.py" for module in rendering.MODULES}


def compiled():
    return [rendering.compiled(module) for module in MODULES]


def renderings():
    return [rendering.load(module) for module in MODULES]


@types.coroutine
def suspend():
    """Suspends once."""
    return (yield "suspended")


async def runner(spec):
    await suspend()
    if spec.agent == "flaky":
        raise RuntimeError("tool timed out")
    return {"output": spec.agent, "error": None}


def enqueue(dispatcher, *agents):
    return dispatcher.enqueue_children(
        parent_run_id="p", parent_resume_key="k", specs=tuple(ChildSpec(a) for a in agents),
        return_when=ReturnWhen.ALL, timeout_seconds=1.0,
    )  # fmt: skip


def workload(modules, calls=1000, pairs=100):
    # No collection meanwhile: it would run other code under the profilers,
    # such as the callback that hypothesis installs.
    collecting = gc.isenabled()
    gc.disable()
    try:
        steps(modules, calls, pairs)
    finally:
        if collecting:
            gc.enable()


def steps(modules, calls, pairs):
    waiters, tallybook, spawn = modules
    for _ in range(calls):
        waiters.parse_duration("2h30m")
    for refused in [("soon",), ()]:  # a failing body, then a failing binding
        try:
            waiters.parse_duration(*refused)
        except (ValueError, TypeError):
            pass
    ledger = tallybook.Tallybook()
    for _ in range(calls):
        ledger.debit(cost_usd=0.001, tokens=10, tool_name="search")
    registry = waiters.InMemoryWaiterRegistry()
    for i in range(pairs):
        complete(registry.register_signal_waiter(waiters.SignalWaiter("run", f"key-{i}", "go")))
        complete(registry.resolve_signal(signal_name="go", payload={}))
    dispatcher = spawn.InMemorySpawnDispatcher(child_runner=runner)
    complete(enqueue(dispatcher, "search", "flaky"))
    # Thrown in while the body awaits the first child: the child fails,
    # and the second one runs.
    coro = enqueue(dispatcher, "search", "search")
    coro.send(None)
    coro.throw(RuntimeError("cancelled"))
    complete(coro)
    complete(spawn.InMemorySpawnDispatcher().enqueue_children(
        parent_run_id="p", parent_resume_key="n", specs=(ChildSpec("a"),), return_when=ReturnWhen.ALL,
        timeout_seconds=1.0,
    ))  # fmt: skip


def rendering_only():
    """(file, line) of the renderings' own helpers, which the compiled modules lack."""
    return {
        (file.name, number)
        for file in map(rendering.path, rendering.MODULES)
        for number, text in enumerate(file.read_text().splitlines(), 1)
        if "# @rendering-only" in text
    }


def key(label):
    file, line, name = label
    return os.path.basename(file), line, name


def table(stats, with_callers):
    """{(file, line, name): calls, or (calls, callers)} of the Python
    functions that `stats` lists, by the file's name: not the built-in ones,
    whose names differ (our coroutine's `send` is not the host's), nor the
    data classes' generated ones, whose labels coincide, nor the
    renderings' own helpers."""
    skipped = rendering_only()

    def listed(label):
        file = label[0]
        return file != "" and not file.startswith(("~", "<")) and key(label)[:2] not in skipped

    found = {}
    for label, (primitive, calls, _, _, callers) in stats.stats.items():
        if not listed(label):
            continue
        if with_callers:
            found[key(label)] = (primitive, calls, {key(c): v[:2] for c, v in callers.items() if listed(c)})
        else:
            found[key(label)] = calls
    return found


def tools():
    return [sys.monitoring.get_tool(tool) for tool in range(6)]


def cprofiled(modules):
    before = tools()
    profiler = cProfile.Profile()
    profiler.runcall(workload, modules)
    assert tools() == before
    return table(pstats.Stats(profiler), with_callers=True)


def test_cprofile_lists_ours_as_the_renderings():
    ours = cprofiled(compiled())
    assert ours == cprofiled(renderings())
    lines = {module: rendering.lines(module) for module in MODULES}
    for module, qualname, calls in [
        ("waiters", "parse_duration", 1001),
        ("tallybook", "Tallybook.debit", 1000),
        ("waiters", "InMemoryWaiterRegistry.register_signal_waiter", 100),
        ("waiters", "InMemoryWaiterRegistry.resolve_signal", 100),
    ]:
        name = qualname.rpartition(".")[2]
        assert ours[f"{module}.py", lines[module][qualname], name][1] == calls


def test_calls_from_a_hook_fire_nothing():
    """A profile function's own calls run while the host fires no event: ours
    fire none either, and cProfile, beside it, counts only the workload's."""

    def counted(modules):
        waiters = modules[0]
        profiler = cProfile.Profile()
        sys.setprofile(lambda frame, event, arg: waiters.parse_duration("1s"))
        try:
            profiler.runcall(workload, modules)
        finally:
            sys.setprofile(None)
        return table(pstats.Stats(profiler), with_callers=True)

    assert counted(compiled()) == counted(renderings())


EVENTS = {
    sys.monitoring.events.PY_START: "start",
    sys.monitoring.events.PY_RESUME: "resume",
    sys.monitoring.events.PY_THROW: "throw",
    sys.monitoring.events.PY_RETURN: "return",
    sys.monitoring.events.PY_YIELD: "yield",
    sys.monitoring.events.PY_UNWIND: "unwind",
}


def failing_tool(modules, fail_at, calls=2, pairs=2):
    """The workload's outcome, and the events of the modules' functions, when
    the tool's callback for the `fail_at`-th of them raises."""
    seen, skipped = [], rendering_only()

    def callback(event):
        def record(code, offset, *rest):
            where = os.path.basename(code.co_filename), code.co_firstlineno
            if where[0] in SOURCES and where not in skipped:
                seen.append((EVENTS[event], code.co_name))
                if len(seen) == fail_at:
                    raise LookupError("the tool failed")

        return record

    tool = 3
    sys.monitoring.use_tool_id(tool, "failing")
    for event in EVENTS:
        sys.monitoring.register_callback(tool, event, callback(event))
    sys.monitoring.set_events(tool, sum(EVENTS))
    try:
        workload(modules, calls, pairs)
        outcome = None
    except Exception as e:  # the tool's error, or what it made of the workload
        outcome = type(e).__name__, str(e)
    finally:
        sys.monitoring.set_events(tool, 0)
        sys.monitoring.free_tool_id(tool)
    return outcome, seen


def test_a_failing_callback_fails_where_it_fails_the_renderings():
    if hasattr(sys, "gettotalrefcount"):
        pytest.skip("the debug interpreter asserts in its own frames on some of these failures")
    _, events = failing_tool(compiled(), fail_at=0)
    for fail_at in range(1, len(events) + 1):
        assert failing_tool(compiled(), fail_at) == failing_tool(renderings(), fail_at), fail_at


def profiled(modules):
    profiler = profile.Profile()
    profiler.runcall(workload, modules)
    return table(pstats.Stats(profiler), with_callers=False)


def hooked(install, modules):
    """{(file, line, name): calls} of the frames the hook saw called."""
    seen = collections.Counter()

    def hook(frame, event, arg):
        if event == "call":
            code = frame.f_code
            seen[os.path.basename(code.co_filename), code.co_firstlineno, code.co_name] += 1
        return hook

    install(hook)
    try:
        workload(modules)
    finally:
        install(None)
    return dict(seen)


def setprofile(modules):
    return hooked(sys.setprofile, modules)


def settrace(modules):
    return hooked(sys.settrace, modules)


# Beside cProfile, our calls fire their events, and the hooks must still
# get none.  The profile module cannot run beside cProfile, even on Python
# code alone.
@pytest.mark.parametrize(
    ("run", "beside_cprofile"),
    [(profiled, False), (setprofile, False), (settrace, False), (setprofile, True), (settrace, True)],
    ids=["profile", "setprofile", "settrace", "setprofile beside cProfile", "settrace beside cProfile"],
)
def test_legacy_hooks_see_only_the_callers(run, beside_cprofile):
    def seen(modules):
        if not beside_cprofile:
            return run(modules)
        with cProfile.Profile():
            return run(modules)

    rendered = seen(renderings())
    assert ("waiters.py", rendering.lines("waiters")["parse_duration"], "parse_duration") in rendered
    assert seen(compiled()) == {k: v for k, v in rendered.items() if k[0] not in SOURCES}
