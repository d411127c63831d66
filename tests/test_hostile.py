"""Hostile input and conditions: whatever comes in, the modules raise the
documented exception (or return the documented result) and the objects'
invariants hold afterwards."""

import pytest


def test_a_failed_allocation_in_a_builtins_lookup_is_not_remembered(run_python):
    # The first lookup that falls through to the builtins makes the key it
    # needs; when that fails for want of memory, the next lookup tries again.
    proc = run_python(
        """
        import _testcapi
        from kelvra_runtime.core.runtime import spawn
        del spawn._default_noop_child_runner
        for k in range(64):
            _testcapi.set_nomemory(k, k + 1)
            try:
                spawn.InMemorySpawnDispatcher()
            except (MemoryError, NameError):
                pass
            finally:
                _testcapi.remove_mem_hooks()
        try:
            spawn.InMemorySpawnDispatcher()
        except NameError as e:
            print(e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "name '_default_noop_child_runner' is not defined"
