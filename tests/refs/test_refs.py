"""Every public operation, on its success and error paths, leaks no
reference or memory block, also when any of its allocations fails."""

import cProfile
import warnings

import pytest

from kelvra_runtime.core.runtime import faultsort, policy, spawn, tallybook, waiters

import leakcheck
import ops_faultsort
import ops_fields
import ops_functions
import ops_policy
import ops_spawn
import ops_tallybook
import ops_waiters
import test_profiling

OPERATIONS = {
    f"{module.__name__.removeprefix('ops_')}: {name}": operation
    for module in (ops_waiters, ops_tallybook, ops_spawn, ops_policy, ops_faultsort, ops_fields, ops_functions)
    for name, operation in module.OPERATIONS.items()
}


MODULES = (waiters, tallybook, spawn, policy, faultsort)


@pytest.fixture(autouse=True)
def guarded():
    # Coroutines discarded unstarted warn, and a shown warning is
    # remembered.  An operation that replaces a module attribute restores
    # it, though not its place in the namespace, which is restored here.
    namespaces = [dict(vars(module)) for module in MODULES]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield
    for module, namespace in zip(MODULES, namespaces):
        assert vars(module) == namespace
        vars(module).clear()
        vars(module).update(namespace)


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_no_leak(operation):
    leakcheck.assert_no_leak(operation)


# The events our calls fire for a tool that listens.
@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_no_leak_while_profiled(operation):
    with cProfile.Profile():
        leakcheck.assert_no_leak(operation)


def test_no_leak_when_a_tool_fails():
    """A tool's callback failing at each event of a workload in turn."""
    modules = test_profiling.compiled()
    _, events = test_profiling.failing_tool(modules, fail_at=0)
    runs = range(1, len(events) + 1)
    leakcheck.assert_no_leak(lambda: [test_profiling.failing_tool(modules, k) for k in runs], rounds=10)


SWEPT = {name: operation for name, operation in OPERATIONS.items() if operation.sweep}


@pytest.mark.parametrize("operation", SWEPT.values(), ids=SWEPT.keys())
def test_no_leak_when_allocations_fail(operation):
    leakcheck.assert_sound_when_allocations_fail(operation)
