"""The runtime core as a type checker sees it.

`make check-stubs` runs mypy in strict mode on this file: every
`assert_type` states what the package's stubs promise, and every
`type: ignore[...]` marks a call the stubs must refuse (strict mode reports
an ignore that is not needed), which the modules refuse at run time too.
The tests run this file as well.
"""

import asyncio
from collections.abc import Callable
from typing import Any, Literal, assert_type

from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher, SpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    WaiterRegistry,
    parse_duration,
)

Reason = Literal["terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown"]


class StaticPolicies:
    """A provider of the engine's own: satisfies PolicyProvider by shape."""

    def get_runtime_configs(self) -> dict[str, Any]:
        return {"spawn_limits": {"max": 3}}

    def get_policy(self, name: str) -> dict[str, Any]:
        config: dict[str, Any] = self.get_runtime_configs().get(name, {})
        return config


def refused(call: Callable[[], object]) -> None:
    """Makes a call that the stubs refuse; the module refuses it as well."""
    try:
        call()
    except TypeError:
        return
    raise AssertionError("the call was accepted")


async def echo_runner(spec: ChildSpec) -> ChildResult:
    return ChildResult(output={"echo": spec.inputs}, error=None, cost_usd=0.0, tokens=0, duration_ms=0.0)


def ledger() -> None:
    book = Tallybook.from_guards([])
    assert_type(book, Tallybook)
    book.debit(cost_usd=0.5, tokens=10, tool_name="search")
    assert_type(book.remaining_usd(), float)
    assert_type(book.remaining_tokens(), int)
    assert_type(book.to_trace_data(), dict[str, Any])
    book.check_fanout(3)
    try:
        Tallybook(cost_cap_usd=0.1).debit(cost_usd=1.0)
    except BudgetExceeded as breach:
        assert_type(breach.cap_value, float)
    refused(lambda: book.debit(0.5))  # type: ignore[call-arg]  # the amounts are keyword-only


def records() -> None:
    waiter = SignalWaiter("run-1", "key", "done")
    assert_type(waiter.match, dict[str, Any])
    assert_type(waiter.matches("done", {}), bool)
    assert_type(UserInputWaiter("run-1", "key", "Why?").choices, list[str] | None)
    assert_type(parse_duration("2h30m"), float)
    assert_type(classify_failure({"last_event": "signal_SIGTERM"}), Reason)
    refused(lambda: TimerWaiter("run-1", "key"))  # type: ignore[call-arg]  # resume_at_unix is required


async def registry() -> None:
    registry: WaiterRegistry = InMemoryWaiterRegistry(clock=lambda: 100.0)
    await registry.register_timer(TimerWaiter("run-1", "nap", 99.0))
    assert_type(await registry.sweep_expired_timers(), list[tuple[str, str]])
    matched = await registry.resolve_signal(signal_name="go", payload={})
    assert_type(matched, list[tuple[str, str, dict[str, Any]]])
    refused(lambda: registry.resolve_signal("go", {}))  # type: ignore[call-arg]  # keyword-only


async def dispatch() -> None:
    dispatcher: SpawnDispatcher = InMemorySpawnDispatcher(child_runner=echo_runner)
    ids = await dispatcher.enqueue_children(
        parent_run_id="run-1",
        parent_resume_key="k",
        specs=(ChildSpec("child"),),
        return_when=ReturnWhen.ALL,
        timeout_seconds=30,
    )
    assert_type(ids, list[str])
    results = await dispatcher.collect_results(parent_run_id="run-1", resume_key="k")
    assert_type(results, dict[str, ChildResult])
    refused(
        lambda: dispatcher.enqueue_children(
            parent_run_id="run-1",
            parent_resume_key="k",
            specs=[ChildSpec("child")],  # type: ignore[arg-type]  # specs is a tuple
            return_when=ReturnWhen.ALL,
            timeout_seconds=30,
        )
    )


def policies() -> None:
    for provider in (NoOpPolicyProvider(), StaticPolicies()):
        checked: PolicyProvider = provider
        assert_type(checked.get_policy("spawn_limits"), dict[str, Any])


def main() -> None:
    ledger()
    records()
    asyncio.run(registry())
    asyncio.run(dispatch())
    policies()


if __name__ == "__main__":
    main()
