"""An engine's day in a few lines: what a built wheel must do on its
interpreter, native or emulated (tools/check-wheel runs it for each wheel,
with the stand-in beside it).

Durations, a budget breach, a waiter registered and resolved in
`asyncio.run`, and children enqueued through a runner that really awaits,
with the dispatch's coroutine seen through `inspect.getcoroutinestate` and
the child's task through `asyncio.format_call_graph`. Prints what it saw;
exits with a message at the first thing that is not as the engine expects.
"""

import asyncio
import inspect
import platform
import sys

from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter, parse_duration

# The functions that the call graph of a child's task, taken from inside its
# runner, must name: the runner, and the dispatch that awaits it.
CALL_GRAPH_NAMES = ["run_child", "InMemorySpawnDispatcher.enqueue_children"]


def expect(ok: bool, what: str) -> None:
    if not ok:
        sys.exit(f"engine_day: {what}")


class CostGuard:
    type = "cost"
    action = "abort"

    def limit_as_usd(self) -> float:
        return 0.50


def durations() -> None:
    seen = [parse_duration(spec) for spec in ("2h30m", "45s", "1d", 90)]
    print("durations:", seen)
    expect(seen == [9000.0, 45.0, 86400.0, 90.0], f"parse_duration gave {seen}")


def breach() -> None:
    ledger = Tallybook.from_guards([CostGuard()])
    ledger.debit(cost_usd=0.25, tokens=100, tool_name="search")
    try:
        ledger.debit(cost_usd=0.50)
    except BudgetExceeded as exceeded:
        print("breach:", exceeded)
        expect((exceeded.cap_name, exceeded.would_be) == ("cost_cap_usd", 0.75), f"the breach is {exceeded!r}")
    else:
        expect(False, "a debit past the cap passed")


async def register_resolve() -> None:
    registry = InMemoryWaiterRegistry(clock=lambda: 1_000.0)
    await registry.register_signal_waiter(SignalWaiter("run-1", "approval", "reviewed", match={"verdict": "ok"}))
    resumed = await registry.resolve_signal(signal_name="reviewed", payload={"verdict": "ok"})
    print("resumed:", resumed)
    expect(resumed == [("run-1", "approval", {"verdict": "ok"})], f"resolve_signal gave {resumed}")
    expect(registry.signal_waiter_count() == 0, "the resolved waiter is still registered")


async def spawn_children() -> None:
    release = asyncio.Event()
    graphs: list[str] = []

    async def run_child(spec: ChildSpec) -> ChildResult:
        task = asyncio.current_task()
        assert task is not None
        graphs.append(asyncio.format_call_graph(task))
        await release.wait()
        return ChildResult(output={"agent": spec.agent}, error=None, cost_usd=0.01, tokens=10, duration_ms=1.0)

    dispatcher = InMemorySpawnDispatcher(child_runner=run_child)
    enqueueing = dispatcher.enqueue_children(
        parent_run_id="run-1",
        parent_resume_key="fan-out",
        specs=(ChildSpec("search"), ChildSpec("summarize")),
        return_when=ReturnWhen.ALL,
        timeout_seconds=parse_duration("10m"),
    )
    states = [inspect.getcoroutinestate(enqueueing)]
    task = asyncio.ensure_future(enqueueing)
    await asyncio.sleep(0)
    states.append(inspect.getcoroutinestate(enqueueing))
    release.set()
    ids = await task
    states.append(inspect.getcoroutinestate(enqueueing))
    results = await dispatcher.collect_results(parent_run_id="run-1", resume_key="fan-out")
    print("enqueued:", ids, "states:", states)
    print(graphs[0])
    expect(ids == ["inmem-run-1-fan-out-0", "inmem-run-1-fan-out-1"], f"enqueue_children gave {ids}")
    expect(states == ["CORO_CREATED", "CORO_SUSPENDED", "CORO_CLOSED"], f"the dispatch went through {states}")
    expect([r["output"] for r in results.values()] == [{"agent": "search"}, {"agent": "summarize"}], f"{results}")
    missing = [name for name in CALL_GRAPH_NAMES if name not in graphs[0]]
    expect(not missing, f"the child's call graph does not name {missing}")


def main() -> None:
    print("CPython", platform.python_version(), "on", platform.machine())
    durations()
    breach()
    asyncio.run(register_resolve())
    asyncio.run(spawn_children())
    expect(NoOpPolicyProvider().get_policy("spawn_limits") == {}, "the no-op provider has a policy")
    expect(classify_failure({"last_event": "signal_SIGKILL"}) == "terminated_by_signal", "faultsort misclassified")
    print("engine_day: ok")


if __name__ == "__main__":
    main()
