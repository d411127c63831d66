"""The coroutine protocol while the body is really suspended: the
dispatcher's `enqueue_children` awaits a child runner that awaits a gate the
test controls.  Every scenario runs through our coroutine and through the
`async def` twin of the same dispatcher; every step's outcome, the states
read between steps and what the gate saw must be the same."""

import asyncio
import gc
import inspect
import types
import weakref

import pytest
import rendering

from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher

Twin = rendering.load("spawn").InMemorySpawnDispatcher

DISPATCHERS = [InMemorySpawnDispatcher, Twin]


class Handled(Exception):
    """Thrown in, the gate catches it and waits again."""


class Gate:
    """The awaitable a child waits on, with the behaviour a scenario sets:
    what it does on close (`close_mode`: "clean", "raises", "ignores"),
    and a log of what reached it."""

    def __init__(self, close_mode="clean"):
        self.close_mode = close_mode
        self.log = []

    @types.coroutine
    def wait(self):
        while True:
            try:
                got = yield "gate"
            except Handled as e:
                self.log.append(("handled", str(e)))
                continue
            except GeneratorExit:
                self.log.append("closing")
                if self.close_mode == "raises":
                    raise ValueError("close failed") from None
                if self.close_mode == "ignores":
                    yield "ignored"
                raise
            except BaseException as e:
                self.log.append(("reraised", type(e).__name__))
                raise
            self.log.append(("sent", got))
            if got == "finish":
                return {"output": "done"}


def outcome(step):
    try:
        return ("returned", step())
    except StopIteration as e:
        return ("stopped", e.value)
    except BaseException as e:
        return ("raised", type(e).__name__, str(e))


def states(coro):
    return (
        inspect.getcoroutinestate(coro),
        coro.cr_running,
        coro.cr_suspended,
        coro.cr_frame is None,
        coro.cr_await is None,
    )


def scenario_run(dispatcher_type, close_mode, steps, nspecs=1):
    gate = Gate(close_mode)

    async def runner(spec):
        return await gate.wait()

    dispatcher = dispatcher_type(child_runner=runner)
    coro = dispatcher.enqueue_children(
        parent_run_id="p",
        parent_resume_key="k",
        specs=tuple(ChildSpec(f"c{i}") for i in range(nspecs)),
        return_when="all",
        timeout_seconds=1.0,
    )
    seen = [states(coro)]
    for action, arg in steps:
        args = () if action == "close" else (arg,)
        seen.append(outcome(lambda: getattr(coro, action)(*args)))
        seen.append(states(coro))
    coro.close()
    return seen, gate.log


START = ("send", None)
FINISH = ("send", "finish")

SCENARIOS = {
    "send None, then a value, then finish": ("clean", [START, ("send", "v"), FINISH]),
    "send a value first": ("clean", [("send", "v"), START, FINISH]),
    "two children": ("clean", [START, FINISH, ("send", 1), FINISH]),
    "send after finishing": ("clean", [START, FINISH, START]),
    "throw into the created coroutine": ("clean", [("throw", KeyError("k")), START]),
    "throw a class into the created coroutine": ("clean", [("throw", KeyError), START]),
    "throw handled by the inner awaitable": ("clean", [START, ("throw", Handled("h")), FINISH]),
    "throw an Exception: the child fails": ("clean", [START, ("throw", KeyError("k"))]),
    "throw a cancellation through": ("clean", [START, ("throw", asyncio.CancelledError("c")), START]),
    "throw GeneratorExit": ("clean", [START, ("throw", GeneratorExit())]),
    "throw into the finished coroutine": ("clean", [START, FINISH, ("throw", KeyError("k"))]),
    "throw a non-exception": ("clean", [START, ("throw", 5), FINISH]),
    "close the created coroutine": ("clean", [("close", None), START]),
    "close, inner closes cleanly": ("clean", [START, ("close", None), ("close", None), START]),
    "close, inner raises": ("raises", [START, ("close", None)]),
    "close, inner ignores GeneratorExit": ("ignores", [START, ("close", None)]),
    "close the finished coroutine": ("clean", [START, FINISH, ("close", None)]),
}


@pytest.mark.parametrize(("close_mode", "steps"), SCENARIOS.values(), ids=SCENARIOS.keys())
def test_protocol_step_by_step(close_mode, steps):
    nspecs = 2 if any(arg == 1 for _, arg in steps) else 1
    ours = scenario_run(InMemorySpawnDispatcher, close_mode, steps, nspecs)
    twin = scenario_run(Twin, close_mode, steps, nspecs)
    assert ours == twin


class Plain:
    """An awaitable whose iterator has no throw(): what is thrown in goes
    straight to the body that awaits it."""

    def __await__(self):
        return iter(["plain"])


def test_stop_iteration_thrown_past_the_iterator_is_the_awaits_result():
    def run(dispatcher_type):
        dispatcher = dispatcher_type(child_runner=lambda spec: Plain())
        coro = dispatcher.enqueue_children(
            parent_run_id="p", parent_resume_key="k", specs=(ChildSpec("a"),), return_when="all", timeout_seconds=1
        )
        steps = [outcome(lambda: coro.send(None)), outcome(lambda: coro.throw(StopIteration("thrown")))]
        results = dispatcher.collect_results(parent_run_id="p", resume_key="k")
        return steps, outcome(lambda: results.send(None))

    assert run(InMemorySpawnDispatcher) == run(Twin)


@pytest.mark.parametrize("dispatcher_type", DISPATCHERS, ids=["compiled", "twin"])
def test_running_state_seen_from_inside(dispatcher_type):
    seen = []

    async def runner(spec):
        seen.append(states(coro))
        seen.append(outcome(lambda: coro.send(None)))
        return {"output": 1}

    coro = dispatcher_type(child_runner=runner).enqueue_children(
        parent_run_id="p", parent_resume_key="k", specs=(ChildSpec("a"),), return_when="all", timeout_seconds=1
    )
    assert outcome(lambda: coro.send(None)) == ("stopped", ["inmem-p-k-0"])
    assert seen == [
        (inspect.CORO_RUNNING, True, False, False, True),
        ("raised", "ValueError", "coroutine already executing"),
    ]


def asyncio_outcomes(dispatcher_type):
    async def main():
        event = asyncio.Event()
        log = []

        async def runner(spec):
            try:
                await event.wait()
            except BaseException as e:
                log.append(type(e).__name__)
                raise
            return {"output": spec.agent}

        dispatcher = dispatcher_type(child_runner=runner)

        def enqueue(key):
            return dispatcher.enqueue_children(
                parent_run_id="p", parent_resume_key=key, specs=(ChildSpec("a"),), return_when="all",
                timeout_seconds=1,
            )  # fmt: skip

        # Awaited from two tasks: the second is refused while the first waits.
        coro = enqueue("k")
        first = asyncio.ensure_future(coro)
        await asyncio.sleep(0)

        async def await_again():
            return await coro

        second = asyncio.ensure_future(await_again())
        await asyncio.sleep(0)
        event.set()
        results = [await first, outcome(second.result) if second.done() else "pending"]
        # Re-awaiting the finished coroutine.
        try:
            await coro
        except RuntimeError as e:
            results.append(str(e))
        # Cancelled through its task while suspended.
        event.clear()
        task = asyncio.ensure_future(enqueue("c"))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            results.append(("cancelled", task.cancelled()))
        results.append(log)
        return results

    return asyncio.run(main())


def test_asyncio_tasks_match_twin():
    ours = asyncio_outcomes(InMemorySpawnDispatcher)
    assert ours == asyncio_outcomes(Twin)
    assert ours[0] == ["inmem-p-k-0"]
    assert ours[1][:2] == ("raised", "RuntimeError")
    assert ours[-1] == ["CancelledError"]


def test_trio_cancellation_matches_twin():
    trio = pytest.importorskip("trio")

    def trio_outcome(dispatcher_type):
        log = []

        async def runner(spec):
            try:
                await trio.sleep_forever()
            except BaseException as e:
                log.append(type(e).__name__)
                raise

        async def main():
            dispatcher = dispatcher_type(child_runner=runner)
            with trio.move_on_after(0.01) as scope:
                await dispatcher.enqueue_children(
                    parent_run_id="p", parent_resume_key="k", specs=(ChildSpec("a"),), return_when="all",
                    timeout_seconds=1,
                )  # fmt: skip
            return scope.cancelled_caught

        return trio.run(main), log

    assert trio_outcome(InMemorySpawnDispatcher) == trio_outcome(Twin) == (True, ["Cancelled"])


@pytest.mark.parametrize("dispatcher_type", DISPATCHERS, ids=["compiled", "twin"])
def test_suspended_coroutine_in_a_cycle_is_collected(dispatcher_type):
    gate = Gate()
    box = {}

    async def runner(spec):
        # The runner's frame holds the box, which holds the coroutine.
        held = box
        return await gate.wait() if held else None

    coro = dispatcher_type(child_runner=runner).enqueue_children(
        parent_run_id="p", parent_resume_key="k", specs=(ChildSpec("a"),), return_when="all", timeout_seconds=1
    )
    box["coro"] = coro
    assert coro.send(None) == "gate"
    alive = weakref.ref(coro)
    del coro, box
    gc.collect()
    assert alive() is None
    assert gate.log == ["closing"]


@pytest.mark.parametrize("dispatcher_type", DISPATCHERS, ids=["compiled", "twin"])
def test_cycle_through_what_the_suspended_body_holds_is_collected(dispatcher_type):
    # The first child's result, which the body keeps in `results` while it
    # waits for the second child, holds the coroutine; the second child's
    # runner holds nothing of it.
    gate = Gate()
    box = {}

    async def runner(spec):
        if spec.agent == "a":
            return {"box": box}
        return await gate.wait()

    coro = dispatcher_type(child_runner=runner).enqueue_children(
        parent_run_id="p", parent_resume_key="k", specs=(ChildSpec("a"), ChildSpec("b")), return_when="all",
        timeout_seconds=1,
    )
    box["coro"] = coro
    assert coro.send(None) == "gate"
    alive = weakref.ref(coro)
    del coro, box
    gc.collect()
    assert alive() is None
    assert gate.log == ["closing"]
