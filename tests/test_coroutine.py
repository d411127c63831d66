"""The coroutine object of asynchronous functions, against native coroutines.

The compiled coroutine is `InMemoryWaiterRegistry.resolve_signal`, whose body
calls each registered waiter's `matches()`: a probe waiter runs a callback
inside the body.  Each behaviour test also runs on a native `async def` twin,
so the expected states and messages are the host's own.
"""

import asyncio
import collections.abc
import gc
import sys
import traceback
import warnings

import pytest

from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry
import rendering
from models import run

QUALNAME = "kelvra_runtime.core.runtime.waiters.InMemoryWaiterRegistry.resolve_signal"
LINES = rendering.lines("waiters")
RECORD = [("p", "k", {})]


class Probe:
    """A signal waiter whose `matches` calls `fn` inside the body."""

    parent_run_id = "p"
    resume_key = "k"

    def __init__(self, fn):
        self.fn = fn

    def matches(self, signal_name, payload):
        return self.fn()


def compiled(fn=lambda: True):
    registry = InMemoryWaiterRegistry()
    run(registry.register_signal_waiter(Probe(fn)))
    return registry.resolve_signal(signal_name="s", payload={})


def native(fn=lambda: True):
    async def resolve_signal():
        return RECORD if fn() else []

    return resolve_signal()


@pytest.fixture(params=[compiled, native], ids=["compiled", "native"])
def make(request):
    return request.param


def test_protocol_surface():
    coro = compiled()
    try:
        assert isinstance(coro, collections.abc.Coroutine)
        assert type(coro).__name__ == "coroutine"
        assert repr(coro).startswith("<coroutine object InMemoryWaiterRegistry.resolve_signal at 0x")
        # Not an iterator itself.
        assert not hasattr(coro, "__next__")
        with pytest.raises(TypeError):
            iter(coro)
        with pytest.raises(TypeError):
            type(coro)()
        wrapper = coro.__await__()
        assert type(wrapper).__name__ == "coroutine_wrapper"
        assert iter(wrapper) is wrapper
    finally:
        coro.close()


@pytest.mark.parametrize(
    ("action", "message"),
    [
        (lambda c: c.send(1), "can't send non-None value to a just-started coroutine"),
        (lambda c: c.throw(1), "exceptions must be classes or instances deriving from BaseException, not int"),
        (lambda c: c.throw(), "throw expected at least 1 argument, got 0"),
        (lambda c: c.throw(1, 2, 3, 4), "throw expected at most 3 arguments, got 4"),
        (lambda c: c.throw(ValueError(), 1), "instance exception may not have a separate value"),
        (lambda c: c.throw(ValueError, None, 1), "throw() third argument must be a traceback object"),
    ],
)
def test_refusal_leaves_a_new_coroutine_new(make, action, message):
    coro = make()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as info:
            action(coro)
    assert str(info.value) == message
    assert run(coro) == RECORD


@pytest.mark.parametrize(
    "arguments",
    [lambda: (KeyError("k"),), lambda: (KeyError,), lambda: (KeyError, KeyError("k")), lambda: (KeyError, None, None)],
)
def test_throw_warns_of_the_old_signature_only(make, arguments):
    # Exceptions made afresh: a shared one would keep this call's frames.
    args = arguments()
    coro = make()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(KeyError):
            coro.throw(*args)
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.")
    ] * (len(args) > 1)


@pytest.mark.parametrize(
    "action",
    [lambda c: c.send(None), lambda c: c.throw(KeyError("k")), lambda c: c.__await__().send(None)],
    ids=["send", "throw", "wrapper-send"],
)
def test_finished_coroutine_cannot_be_reused(make, action):
    coro = make()
    run(coro)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        action(coro)
    assert coro.close() is None


@pytest.mark.parametrize(
    "action",
    [lambda c: c.send(None), lambda c: c.throw(KeyError), lambda c: c.close()],
    ids=["send", "throw", "close"],
)
def test_reentry_while_running(make, action):
    box = []
    coro = make(lambda: action(box[0]))
    box.append(coro)
    with pytest.raises(ValueError, match="^coroutine already executing$"):
        coro.send(None)
    assert (coro.cr_running, coro.cr_suspended) == (False, False)


def test_flags_through_the_states(make):
    seen = []
    box = []
    coro = make(lambda: seen.append((box[0].cr_running, box[0].cr_suspended, box[0].cr_await)) or True)
    box.append(coro)
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await) == (False, False, None)
    assert run(coro) == RECORD
    assert seen == [(True, False, None)]
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await) == (False, False, None)


@pytest.mark.parametrize("finish", ["throw", "close", "wrapper-throw"])
def test_finishing_a_new_coroutine_runs_nothing_and_does_not_warn(make, finish):
    calls = []
    coro = make(lambda: calls.append(1))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if finish == "close":
            assert coro.close() is None
        else:
            target = coro if finish == "throw" else coro.__await__()
            with pytest.raises(KeyError):
                target.throw(KeyError("k"))
            del target
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
        del coro
        gc.collect()
    assert calls == []
    assert not [w for w in caught if w.category is RuntimeWarning]


def test_thrown_stopiteration_into_a_new_coroutine_is_not_converted(make):
    if make is native and hasattr(sys, "gettotalrefcount"):
        pytest.skip("a debug build of the host asserts on this")
    with pytest.raises(StopIteration):
        make().throw(StopIteration("s"))


@pytest.mark.parametrize("exc", [StopIteration("s"), StopIteration()], ids=["value", "bare"])
def test_stopiteration_leaving_the_body_becomes_runtimeerror(make, exc):
    def raise_it():
        raise exc

    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as info:
        make(raise_it).send(None)
    assert info.value.__cause__ is exc
    assert info.value.__context__ is exc
    assert info.value.__suppress_context__


def test_result_through_each_driver(make):
    assert run(make()) == RECORD
    with pytest.raises(StopIteration) as info:
        next(make().__await__())
    assert info.value.value == RECORD
    assert asyncio.run(make()) == RECORD


def test_empty_result_ends_the_wrapper_without_a_value(make):
    with pytest.raises(StopIteration) as info:
        next(make(lambda: False).__await__())
    assert info.value.value == []


def test_error_leaving_the_body_gets_one_traceback_entry():
    def fail():
        raise KeyError("k")

    with pytest.raises(KeyError) as info:
        compiled(fail).send(None)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)][1:]
    assert [name for name, _ in entries] == [QUALNAME, "matches", "fail"]
    assert entries[0][1] == LINES.call_matches


def test_thrown_into_a_new_coroutine_is_reported_at_the_def_line():
    with pytest.raises(KeyError) as info:
        compiled().throw(KeyError("k"))
    assert traceback.extract_tb(info.value.__traceback__)[-1][1:3] == (LINES["InMemoryWaiterRegistry.resolve_signal"], QUALNAME)
