"""What the host's introspection reads of our coroutines (inspect's states,
`Task.get_stack`, the call graph), against an `async def` twin of the same
dispatcher driven through the same suspensions."""

import asyncio
import gc
import inspect
import io
import sys
import types
import weakref

import pytest
import rendering
from models import run

from kelvra_runtime.core.runtime import spawn, waiters
from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher

Twin = rendering.load("spawn").InMemorySpawnDispatcher

FILE = "src/kelvra_runtime/core/runtime/spawn.py"
ENQUEUE = "kelvra_runtime.core.runtime.spawn.InMemorySpawnDispatcher.enqueue_children"
LINES = rendering.lines("spawn")
DEF_LINE, AWAIT_LINE = LINES["InMemorySpawnDispatcher.enqueue_children"], LINES.await_child


@types.coroutine
def suspend():
    """Suspends once, with no event loop."""
    return (yield "suspended")


class Scenario:
    """A dispatcher whose runner awaits an event the test sets (or, driven
    by hand, `suspend()`)."""

    def __init__(self, dispatcher_type, by_hand=False):
        self.event = asyncio.Event()
        self.wait = suspend if by_hand else self.event.wait
        self.seen_running = None
        self.dispatcher = dispatcher_type(child_runner=self.runner)
        self.coro = self.enqueue(ChildSpec("a"))

    def enqueue(self, *specs):
        return self.dispatcher.enqueue_children(
            parent_run_id="p", parent_resume_key="k", specs=specs, return_when=ReturnWhen.ALL, timeout_seconds=1
        )

    async def runner(self, spec):
        # The outer coroutine is running while it drives us.
        self.seen_running = inspect.getcoroutinestate(self.coro), self.coro.cr_running
        await self.wait()
        return ChildResult(output={"agent": spec.agent}, error=None, cost_usd=0.0, tokens=0, duration_ms=0.0)


def introspect(coro):
    frame = coro.cr_frame
    return {
        "state": inspect.getcoroutinestate(coro),
        "frame": frame is None,
        "running": coro.cr_running,
        "suspended": coro.cr_suspended,
        "await": None if coro.cr_await is None else type(coro.cr_await).__name__,
        "origin": coro.cr_origin,
    }


def graph_lines(task):
    return [line.strip() for line in asyncio.format_call_graph(task).splitlines()[2:]]


def graph_names(task):
    """The call graph's frames by name."""
    return [entry.frame.f_code.co_name for entry in asyncio.capture_call_graph(task).call_stack]


@pytest.fixture(params=[InMemorySpawnDispatcher, Twin], ids=["compiled", "twin"])
def dispatcher_type(request):
    return request.param


def test_answers_what_the_host_coroutines_answer():
    """The attributes follow the running host: `cr_state` where its
    coroutines have one, and none that they lack."""

    async def native():
        pass

    host, ours = native(), InMemorySpawnDispatcher().collect_results(parent_run_id="p", resume_key="k")
    try:
        assert set(dir(host)) <= set(dir(ours))
        assert {name for name in dir(ours) if name.startswith("cr_")} == {
            name for name in dir(host) if name.startswith("cr_")
        }
        assert type(ours)[int] == types.GenericAlias(type(ours), int)
    finally:
        host.close()
        ours.close()


def test_states_match_twin():
    async def scenario(dispatcher_type):
        s = Scenario(dispatcher_type)
        states = [introspect(s.coro)]
        task = asyncio.ensure_future(s.coro)
        await asyncio.sleep(0)
        states.append(introspect(s.coro))
        states.append(len(task.get_stack()))
        states.append(graph_names(task)[:2])
        states.append(graph_lines(task)[:2])
        s.event.set()
        states.append(await task)
        states.append(introspect(s.coro))
        states.append(s.seen_running)
        return states

    compiled = asyncio.run(scenario(InMemorySpawnDispatcher))
    twin = asyncio.run(scenario(Twin))
    assert compiled == twin
    assert [compiled[0]["state"], compiled[1]["state"], compiled[-2]["state"]] == [
        inspect.CORO_CREATED,
        inspect.CORO_SUSPENDED,
        inspect.CORO_CLOSED,
    ]
    assert compiled[-1] == (inspect.CORO_RUNNING, True)


def test_our_entry_stands_at_the_statement():
    async def scenario():
        s = Scenario(InMemorySpawnDispatcher)
        created = s.coro.cr_frame
        assert (created.f_code.co_filename, created.f_code.co_name, created.f_lineno) == (FILE, ENQUEUE, DEF_LINE)
        assert created.f_back is None
        code = s.coro.cr_code
        assert (code.co_filename, code.co_name, code.co_firstlineno) == (FILE, ENQUEUE, DEF_LINE)
        task = asyncio.ensure_future(s.coro)
        await asyncio.sleep(0)
        frame = s.coro.cr_frame
        assert frame is s.coro.cr_frame
        assert (frame.f_code.co_name, frame.f_lineno) == (ENQUEUE, AWAIT_LINE)
        assert task.get_stack() == [frame]
        out = io.StringIO()
        task.print_stack(file=out)
        assert f'File "{FILE}", line {AWAIT_LINE}, in {ENQUEUE}' in out.getvalue()
        assert graph_lines(task)[-1] == f"|   File '{FILE}', line {AWAIT_LINE}, in {ENQUEUE}()"
        assert s.coro.cr_await.cr_code is Scenario.runner.__code__
        s.event.set()
        await task
        assert s.coro.cr_frame is None and s.coro.cr_await is None

    asyncio.run(scenario())


def test_closed_and_thrown_coroutines_have_no_frame(dispatcher_type):
    s = Scenario(dispatcher_type, by_hand=True)
    s.coro.close()
    assert introspect(s.coro)["state"] == inspect.CORO_CLOSED
    s = Scenario(dispatcher_type, by_hand=True)
    assert s.coro.send(None) == "suspended"
    assert introspect(s.coro)["state"] == inspect.CORO_SUSPENDED
    with pytest.raises(asyncio.CancelledError):
        s.coro.throw(asyncio.CancelledError())
    assert introspect(s.coro) == {
        "state": inspect.CORO_CLOSED,
        "frame": True,
        "running": False,
        "suspended": False,
        "await": None,
        "origin": None,
    }


@pytest.mark.parametrize(
    ("make", "name", "line"),
    [
        (lambda: spawn._default_noop_child_runner(ChildSpec("a")), "spawn._default_noop_child_runner", LINES["_default_noop_child_runner"]),
        (
            lambda: waiters.InMemoryWaiterRegistry().resolve_signal(signal_name="s", payload={}),
            "waiters.InMemoryWaiterRegistry.resolve_signal",
            None,
        ),
        (lambda: spawn.SpawnDispatcher.collect_results(None, parent_run_id="p", resume_key="k"), None, None),
    ],
    ids=["noop runner", "registry", "protocol stub"],
)
def test_bodies_that_never_await(make, name, line):
    coro = make()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    frame = coro.cr_frame
    assert frame.f_lineno == coro.cr_code.co_firstlineno
    if name is not None:
        assert frame.f_code.co_name == f"kelvra_runtime.core.runtime.{name}"
    if line is not None:
        assert frame.f_lineno == line
    run(coro)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    assert coro.cr_frame is None
    assert coro.cr_code.co_name == frame.f_code.co_name


def test_origin_matches_twin():
    def make(dispatcher_type):
        return Scenario(dispatcher_type, by_hand=True).coro

    previous = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        coros = [make(InMemorySpawnDispatcher), make(Twin)]
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    origins = [coro.cr_origin for coro in coros]
    for coro in coros:
        coro.close()
    assert origins[0] == origins[1]
    assert [name for _, _, name in origins[0]] == ["enqueue", "__init__", "make"]
    untracked = make(InMemorySpawnDispatcher)
    assert untracked.cr_origin is None
    untracked.close()


def test_frame_keeps_no_argument_alive():
    async def scenario():
        s = Scenario(InMemorySpawnDispatcher)
        spec = ChildSpec("kept?")
        s.coro.close()
        s.coro = s.enqueue(spec)
        task = asyncio.ensure_future(s.coro)
        await asyncio.sleep(0)
        frame = s.coro.cr_frame
        s.event.set()
        await task
        return frame, weakref.ref(spec)

    frame, spec_ref = asyncio.run(scenario())
    gc.collect()
    assert frame.f_lineno == AWAIT_LINE
    assert spec_ref() is None


def test_trio_reads_our_frames():
    trio = pytest.importorskip("trio")

    async def main():
        s = Scenario(InMemorySpawnDispatcher)
        s.coro.close()
        seen = []

        async def runner(spec):
            seen.append(inspect.getcoroutinestate(coro))
            await trio.sleep(0)
            seen.append(coro.cr_frame.f_lineno)
            return ChildResult(output={}, error=None, cost_usd=0.0, tokens=0, duration_ms=0.0)

        s.dispatcher = InMemorySpawnDispatcher(child_runner=runner)
        coro = s.enqueue(ChildSpec("a"))
        assert await coro == ["inmem-p-k-0"]
        return seen

    assert trio.run(main) == [inspect.CORO_RUNNING, AWAIT_LINE]


@pytest.mark.parametrize("method", ["send", "throw", "close"])
def test_methods_document_themselves_as_the_hosts_do(method):
    ours = Scenario(InMemorySpawnDispatcher).coro
    twin = Scenario(Twin).coro
    try:
        for mine, theirs in [(ours, twin), (ours.__await__(), twin.__await__())]:
            assert getattr(mine, method).__doc__ == getattr(theirs, method).__doc__
    finally:
        ours.close()
        twin.close()
