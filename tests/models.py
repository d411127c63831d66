"""What the differential tests share: drivers for coroutines, guard
doubles, and `shape` and `outcome`, which picture what the compiled
modules and their renderings (tests/rendering.py) give so that the two can
be compared."""

import asyncio
import traceback
from types import SimpleNamespace

import rendering


def traceback_lines(error, funcname):
    """(file, line) of the traceback entries named `funcname`."""
    return [
        (entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.name == funcname
    ]


def shape(value):
    """A comparable picture of a value: floats by their repr (NaN equals
    itself), types kept apart (True is not 1), test objects by their label."""
    if hasattr(type(value), "label"):
        return ("labelled", value.label)
    if isinstance(value, float):
        return (type(value).__name__, repr(value))
    if isinstance(value, dict):
        return (type(value).__name__, tuple((shape(k), shape(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(shape(v) for v in value))
    if isinstance(value, BaseException):
        extra = tuple(shape(getattr(value, a, None)) for a in ("cap_name", "cap_value", "would_be"))
        return ("raised", rendering.counterpart(type(value)), str(value), extra)
    if isinstance(value, (int, str, bytes, type(None))):
        return (type(value).__name__, value)
    return ("object", type(value).__name__)


def outcome(fn, *args, **kwargs):
    try:
        return shape(fn(*args, **kwargs))
    except Exception as e:
        return shape(e)


def complete(coro):
    """Runs a coroutine to its end, answering each suspension with None."""
    while True:
        try:
            coro.send(None)
        except StopIteration as done:
            return done.value


def run(coro):
    """Drives a coroutine that never suspends; its result.  One that does
    suspend is closed, so that it leaves nothing behind, and fails the test."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    coro.close()
    raise AssertionError(f"{coro!r} suspended")


def guard(type=None, limit=None, **attrs):
    """A duck-typed guard record; `type=None` leaves the attribute out."""
    if type is not None:
        attrs["type"] = type
    for method in ("limit_as_usd", "limit_as_count", "limit_as_seconds"):
        attrs.setdefault(method, lambda: limit)
    return SimpleNamespace(**attrs)


# The ledger's fields, but for `tool_call_counts`.
FIELDS = [
    "cost_cap_usd", "token_cap", "wall_time_cap_seconds", "max_spawn_depth", "max_spawn_fanout",
    "max_concurrent_spawns", "spent_cost_usd", "spent_tokens", "started_at_monotonic", "current_depth",
    "active_child_count", "cumulative_child_count",
]  # fmt: skip


def ledger_state(ledger):
    return shape([getattr(ledger, f) for f in FIELDS] + [ledger.tool_call_counts])


def drive(coro, throw_at):
    """Runs `coro`, answering suspensions with None, except that at the
    `throw_at`-th one a cancellation is thrown in.  What came out, in order."""
    seen = []
    step, value, thrown = 0, None, False
    while True:
        try:
            if step == throw_at and not thrown:
                thrown = True
                value = coro.throw(asyncio.CancelledError("cancelled"))
            else:
                value = coro.send(None)
        except StopIteration as done:
            seen.append(("done", shape(done.value)))
            return seen
        except BaseException as e:
            seen.append(("raised", type(e), str(e)))
            return seen
        seen.append(("yielded", value))
        step += 1
        if step > 50:
            coro.close()
            seen.append(("stopped",))
            return seen


class Pairs:
    """A match that is not a dict: `items()` gives what it was built with."""

    def __init__(self, *items):
        self._items = items

    def items(self):
        return iter(self._items)
