"""The demo and the typed usage sample, run as `make demo` runs the demo:
the trace tells what the modules did."""

import json
import re
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def run_example(run_interpreter):
    def run(name):
        done = run_interpreter("-X", "dev", str(EXAMPLES / name))
        # Debug mode reports every callback (a task's step) over 0.1 s,
        # which an emulated or heavily loaded machine's steps do.
        stderr = re.sub(r"(?m)^Executing <.+> took \d+\.\d+ seconds\n", "", done.stderr)
        assert (done.returncode, stderr) == (0, "")
        return done.stdout

    return run


@pytest.fixture(scope="module")
def trace(run_example):
    return run_example("demo.py")


@pytest.mark.parametrize(
    "line",
    [
        # policies through the no-op provider
        "  NoOpPolicyProvider satisfies PolicyProvider: True",
        "  get_policy('spawn_limits') = {}: no policy, allowed",
        # the root ledger from guard records: tightest cost, warn guard ignored
        "  caps: cost $0.05 (the warn guard sets none), tokens 20000, wall time 1800s, depth 2, fan-out 4, in flight 6",
        # children through the dispatcher, some failing
        "  enqueued: inmem-run-root-spawn-1-0, inmem-run-root-spawn-1-1, inmem-run-root-spawn-1-2",
        "    inmem-run-root-spawn-1-1 (crawler): failed: child process died after signal_SIGKILL",
        "  resumed run-root with spawn_results['spawn-1']; spent $0.0220 of $0.05, 5300 tokens, remaining $0.0280",
        # a pre-flight refusal, and first_success stopping after the first success
        "  pre-flight refused a group of 5: max_spawn_fanout breached: requested 5 children (cap 4)",
        "  enqueued: inmem-run-root-spawn-2-0, inmem-run-root-spawn-2-1",
        # the breach that halts the tree
        "  governance: halting the tree: tree cost cap breached: spent=$0.0520 > cap=$0.0500",
        "    inmem-run-root-spawn-3-2 (publisher): failed: not started: the tree is halted",
        "  pre-flight refused a group of 1: child of $0.0000 wouldn't fit: remaining $0.0000",
        # signal, timer and answer, resumed through the registry
        "  signal deploy.reviewed {'verdict': 'changes_requested'}: 0 waiter(s) matched",
        "  resume run-root under 'approval' (signal matched)",
        "  sweep: [] due",
        "  resume run-root under 'cooldown' (timer due)",
        "  resume run-root under 'confirm' (user answered 'yes')",
        "  answer 'yes' for 'confirm': nobody waits for it",
        "  still waiting: 0 signal, 0 timer, 0 user input",
        # failures classified from envelope data
        "  inmem-run-root-spawn-1-1: {'last_event': 'signal_SIGKILL'} -> terminated_by_signal",
        "  inmem-run-root-spawn-1-2: {'last_event': 'tool_call', 'memory_rss_mb': '7900'} -> suspected_oom",
        "  inmem-run-root-spawn-2-0: {'last_event': 'exit_1'} -> abnormal_exit",
        "  inmem-run-root-spawn-3-2: {} -> unknown",
    ],
)
def test_the_trace_tells(trace, line):
    assert line in trace.splitlines()


def test_the_trace_ends_with_the_ledger_snapshot(trace):
    head, _, snapshot = trace.rpartition("== ledger snapshot: to_trace_data() ==\n")
    assert head
    assert json.loads(snapshot) == {
        "cost_cap_usd": 0.05,
        "token_cap": 20000,
        "max_spawn_depth": 2,
        "max_spawn_fanout": 4,
        "spent_cost_usd": 0.052,
        "spent_tokens": 11800,
        "current_depth": 0,
        "active_child_count": 0,
        "cumulative_child_count": 8,
        "remaining_usd": 0.0,
        "remaining_tokens": 8200,
    }


def test_the_typed_usage_sample_runs(run_example):
    assert run_example("typed_usage.py") == ""
