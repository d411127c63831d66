#!/usr/bin/env python3
"""Soak: a million register/resolve and debit/check cycles, with flat memory.

Each cycle registers a signal waiter, a timer and a user-input waiter and
resolves all three (a matching signal, the answer, a due sweep), then
debits a ledger and runs its four pre-flight checks and child bookkeeping;
the ledger is capped, so past its cap every debit and affordability check
raises BudgetExceeded, and a fresh ledger is built from guard records every
thousand cycles.  Memory is read after a warm-up and at every tenth of the
run: the Python allocators' live bytes (tracemalloc, which sees the
modules' own objects) and the process's resident set size.

    .venv/bin/python tools/soak.py [--cycles N]

Exits non-zero when either figure grew by more than its allowance.
"""

import argparse
import gc
import os
import sys
import tracemalloc
from types import SimpleNamespace

from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
)

WARM_UP = 20_000
TRACED_ALLOWANCE = 256 * 1024  # bytes
RSS_ALLOWANCE = 8 * 1024 * 1024

GUARDS = [
    SimpleNamespace(type="cost", action="abort", limit_as_usd=lambda: 0.5),
    SimpleNamespace(type="token_count", action="abort", limit_as_count=lambda: 50_000),
    SimpleNamespace(type="spawn_fanout", action="abort", limit_as_count=lambda: 4),
]
TOOLS = ("search", "fetch", "summarise", "")


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("suspended")


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cycle(registry, ledger, i):
    run_id = f"run-{i}"
    drive(registry.register_signal_waiter(SignalWaiter(run_id, "k", "approved", {"n": i % 7})))
    drive(registry.register_timer(TimerWaiter(run_id, "k", float(i))))
    drive(registry.register_user_input_waiter(UserInputWaiter(run_id, "k", "proceed?", ["yes", "no"])))
    assert len(drive(registry.resolve_signal(signal_name="approved", payload={"n": i % 7, "by": "me"}))) == 1
    assert drive(registry.resolve_user_input(parent_run_id=run_id, resume_key="k", response="yes"))
    assert len(drive(registry.sweep_expired_timers())) == 1

    try:
        ledger.debit(cost_usd=0.0007, tokens=17, tool_name=TOOLS[i % 4])
    except BudgetExceeded:
        pass
    for check, argument in ((ledger.check_depth, 1), (ledger.check_fanout, i % 6), (ledger.check_concurrent, 1),
                            (ledger.check_can_afford, 0.001)):  # fmt: skip
        try:
            check(argument)
        except BudgetExceeded:
            pass
    ledger.register_child_spawned()
    ledger.register_child_completed()


def measure():
    gc.collect()
    return tracemalloc.get_traced_memory()[0], rss_bytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=1_000_000)
    cycles = parser.parse_args().cycles

    registry = InMemoryWaiterRegistry(clock=lambda: 1e18)
    tracemalloc.start()
    ledger = None
    for i in range(WARM_UP):
        if i % 1000 == 0:
            ledger = Tallybook.from_guards(GUARDS)
        cycle(registry, ledger, i)
    traced_before, rss_before = measure()
    print(f"after {WARM_UP:,} warm-up cycles: traced {traced_before:,} B, RSS {rss_before / 2**20:.1f} MiB")

    checkpoint = max(cycles // 10, 1)
    for i in range(cycles):
        if i % 1000 == 0:
            ledger = Tallybook.from_guards(GUARDS)
        cycle(registry, ledger, i)
        if (i + 1) % checkpoint == 0:
            traced, rss = measure()
            print(f"{i + 1:>10,} cycles: traced {traced:,} B ({traced - traced_before:+,}), "
                  f"RSS {rss / 2**20:.1f} MiB ({(rss - rss_before) / 2**20:+.1f})")  # fmt: skip
    counts = registry.signal_waiter_count(), registry.timer_count(), registry.user_input_waiter_count()
    traced_after, rss_after = measure()
    tracemalloc.stop()

    print(f"waiters left: {counts}; last ledger: {ledger.to_trace_data()}")
    grew = traced_after - traced_before > TRACED_ALLOWANCE or rss_after - rss_before > RSS_ALLOWANCE
    print(f"memory {'GREW' if grew else 'flat'}: traced {traced_before:,} -> {traced_after:,} B, "
          f"RSS {rss_before / 2**20:.1f} -> {rss_after / 2**20:.1f} MiB")  # fmt: skip
    return 1 if grew or counts != (0, 0, 0) else 0


if __name__ == "__main__":
    sys.exit(main())
