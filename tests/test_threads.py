"""Threads hammering one registry, one ledger and one dispatcher (each
thread driving its own coroutines) and the pure functions.  The objects
are documented as not thread-safe, so only safety is asserted: the
interpreter survives, and nothing but the operations' own documented
errors comes out."""

import sys
import threading
import time

import pytest
from models import complete as drive

from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider
from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    parse_duration,
)

THREADS = 4
ROUNDS = 1000


class Yielding(SignalWaiter):
    """A signal waiter that lets other threads run inside `matches`."""

    def matches(self, signal_name, payload):
        time.sleep(0)
        return super().matches(signal_name, payload)


class AwaitOnce:
    def __init__(self, result):
        self.result = result

    def __await__(self):
        time.sleep(0)
        yield
        return self.result


async def runner(spec):
    return await AwaitOnce({"output": spec.agent})


def registry_round(registry, me, i):
    name = f"{me}-{i}"
    drive(registry.register_signal_waiter(Yielding(name, "k", "s", {"n": i % 3})))
    drive(registry.register_timer(TimerWaiter(name, "k", float(i % 2))))
    drive(registry.register_user_input_waiter(UserInputWaiter(name, "k", "?")))
    drive(registry.resolve_signal(signal_name="s", payload={"n": i % 3}))
    drive(registry.resolve_user_input(parent_run_id=name, resume_key="k", response=i))
    drive(registry.sweep_expired_timers())
    registry.signal_waiter_count(), registry.timer_count(), registry.user_input_waiter_count()


def ledger_round(ledger, me, i):
    try:
        ledger.debit(cost_usd=0.001, tokens=3, tool_name=f"tool-{i % 4}")
    except BudgetExceeded:
        pass
    for check, arg in ((ledger.check_depth, 1), (ledger.check_fanout, i % 12), (ledger.check_concurrent, 1),
                       (ledger.check_can_afford, 0.01)):  # fmt: skip
        try:
            check(arg)
        except BudgetExceeded:
            pass
    ledger.register_child_spawned()
    ledger.register_child_completed()
    ledger.to_trace_data()


def dispatcher_round(dispatcher, me, i):
    specs = (ChildSpec(f"{me}"), ChildSpec(f"{i}"))
    drive(dispatcher.enqueue_children(parent_run_id=str(me), parent_resume_key=str(i), specs=specs,
                                      return_when="all", timeout_seconds=1.0))  # fmt: skip
    drive(dispatcher.collect_results(parent_run_id=str(me), resume_key=str(i)))


PROVIDER = NoOpPolicyProvider()


def pure_round(_, me, i):
    parse_duration(f"{i + 1}h{me}m")
    classify_failure({"memory_rss_mb": str(i), "last_event": "exit"})
    PROVIDER.get_policy(str(i))


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize(
    ("make", "round_"),
    [
        (InMemoryWaiterRegistry, registry_round),
        (lambda: Tallybook(cost_cap_usd=0.5, token_cap=2000), ledger_round),
        (lambda: InMemorySpawnDispatcher(child_runner=runner), dispatcher_round),
        (lambda: None, pure_round),
    ],
    ids=["registry", "ledger", "dispatcher", "pure functions"],
)
def test_threads_share_one_object(frequent_switches, make, round_):
    shared = make()
    errors = []

    def work(me):
        try:
            for i in range(ROUNDS):
                round_(shared, me, i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_everything_at_once(frequent_switches):
    shared = [
        (InMemoryWaiterRegistry(), registry_round),
        (Tallybook(cost_cap_usd=0.5, token_cap=2000), ledger_round),
        (InMemorySpawnDispatcher(child_runner=runner), dispatcher_round),
        (None, pure_round),
    ]
    errors = []

    def work(me):
        try:
            for i in range(ROUNDS // 2):
                for obj, round_ in shared:
                    round_(obj, me, i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS * 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
