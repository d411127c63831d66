"""Reference and memory-block leak checks for the debug interpreter.

An operation is run after a warm-up for `rounds` and then `2 * rounds`
calls, with `sys.gettotalrefcount()` and `sys.getallocatedblocks()` read
around each run.  What a run leaves behind once (a cache filled, a name
interned, a free list grown) is the same for both runs; a leak of one
reference or block per call makes the longer run grow by `rounds` more
(and a reference released once too often, shrink by as much).  So the
check fails when the difference reaches half a reference or block per
call either way, and only when it does so in each of ten tries: what the
host fills in slowly (its specialising interpreter backs off exponentially
when an allocation fails) settles within a few.

The allocation-failure sweep runs an operation with its k-th allocation
failing, for k from 0 until 32 calls in a row no longer notice the
failure: every exception raised must be a proper one (never SystemError,
which is how the host reports a null result without an error, or a result
with one set), and a whole sweep, repeated, must leak nothing.  Where an
operation declares `lines`, the statements that only an allocation failure
can make fail are checked too: the traceback entries of our modules that
the sweep's MemoryErrors carry must be exactly those.
"""

import gc
import sys
import traceback

import _testcapi

TRIES = 10
QUIET_CALLS = 32  # a sweep ends after this many calls that ran normally
MAX_SWEEP = 2000


class Operation:
    """One public operation on one path: `fn(*args, **kwargs)` and the
    result or exception type it must give.  `sweep=False` leaves it out of
    the allocation-failure sweep, for operations that go through host code
    which itself leaks when an allocation fails; `cleanup` undoes what the
    operation changes outside its own objects (a module attribute it
    replaces), after each call of the sweep, where the operation's own
    restoring may have failed.  `lines`: the set of what the sweep's
    MemoryErrors report, each as the tuple of our traceback entries
    (function name without the module, line), outermost first.  `setup`
    makes the first argument of each call afresh, before the call and so
    outside the sweep's failing allocation: an object whose first use
    caches what it makes, such as a function whose signature is kept."""

    def __init__(self, fn, *args, raises=None, result=None, sweep=True, cleanup=None, lines=None, setup=None, **kwargs):
        self.fn, self.args, self.kwargs = fn, args, kwargs
        self.raises, self.result, self.sweep, self.cleanup = raises, result, sweep, cleanup
        self.lines, self.setup, self.first = lines, setup, None

    def prepare(self):
        """Makes the first argument of the next call, where `setup` is given."""
        if self.setup is not None:
            self.first = self.setup()

    def raw(self):
        if self.setup is None:
            return self.fn(*self.args, **self.kwargs)
        if self.first is None:
            self.prepare()
        first, self.first = self.first, None
        return self.fn(first, *self.args, **self.kwargs)

    def __call__(self):
        """Runs the operation once; True when it ended as declared."""
        try:
            value = self.raw()
        except SystemError:
            raise
        except BaseException as e:
            if self.raises is not None and isinstance(e, self.raises):
                return True
            raise
        if self.raises is not None:
            raise AssertionError(f"{self.fn!r} returned {value!r}, expected {self.raises.__name__}")
        if self.result is not None and value != self.result:
            raise AssertionError(f"{self.fn!r} returned {value!r}, expected {self.result!r}")
        return True


def _growth(fn, calls):
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(calls):
        fn()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def assert_no_leak(fn, rounds=100, blocks=True):
    """Fails when `fn` leaks (or over-releases) half a reference or memory
    block per call; `blocks=False` counts references only."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            fn()
        # What exists by now is left out of the collections that follow,
        # which then only look at what the calls made.
        gc.collect()
        gc.freeze()
        for _ in range(TRIES):
            refs_once, blocks_once = _growth(fn, rounds)
            refs_twice, blocks_twice = _growth(fn, 2 * rounds)
            extra_refs, extra_blocks = refs_twice - refs_once, blocks_twice - blocks_once
            if abs(extra_refs) < rounds / 2 and (abs(extra_blocks) < rounds / 2 or not blocks):
                return
    finally:
        gc.unfreeze()
        if enabled:
            gc.enable()
    raise AssertionError(
        f"{rounds} more calls left {extra_refs} more references and {extra_blocks} more memory blocks"
    )


SOURCES = "src/kelvra_runtime/core/runtime/"


def reported(error):
    """Our traceback entries of `error`, outermost first."""
    return tuple(
        (entry.name.split(".", 4)[-1].split(".", 1)[-1], entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename.startswith(SOURCES)
    )


def _call_failing(operation, k, seen=None):
    """Runs `operation` with its k-th allocation failing; True when the
    failure went unnoticed (the declared outcome).  What a MemoryError
    reports is added to `seen`."""
    # Called as it is, without arguments: what the host's free lists serve,
    # and so which allocations fail inside our statements, moves with the
    # shape of this call.
    operation.prepare()
    _testcapi.set_nomemory(k, k + 1)
    try:
        operation()
    except SystemError:
        raise
    except Exception as e:
        if seen is not None and isinstance(e, MemoryError):
            _testcapi.remove_mem_hooks()
            entries = reported(e)
            if entries:
                seen.add(entries)
        return False
    finally:
        _testcapi.remove_mem_hooks()
        if operation.cleanup is not None:
            operation.cleanup()
    return True


def sweep_length(operation, seen=None):
    """How many allocations the failure sweep of `operation` covers."""
    quiet = 0
    for k in range(MAX_SWEEP):
        quiet = quiet + 1 if _call_failing(operation, k, seen) else 0
        if quiet == QUIET_CALLS:
            return k + 1
    return MAX_SWEEP


def assert_sound_when_allocations_fail(operation, rounds=8):
    """Every allocation of `operation` failing in turn raises a proper
    exception and leaks nothing."""
    # A finalizer that fails for want of memory reports it as unraisable;
    # the default hook (and pytest's) would keep every report.
    saved_hook, sys.unraisablehook = sys.unraisablehook, lambda report: None
    try:
        seen = set()
        length = sweep_length(operation, seen)
        if operation.lines is not None:
            assert seen == operation.lines, f"allocation failures reported {seen}"

        def sweep():
            for k in range(length):
                _call_failing(operation, k)

        assert_no_leak(sweep, rounds)
    finally:
        sys.unraisablehook = saved_hook
