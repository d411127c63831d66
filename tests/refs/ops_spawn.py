"""The operations of `spawn` on their success and error paths, through
every state of the dispatcher's coroutine."""

import asyncio
import contextlib
import sys

from leakcheck import Operation
from models import complete as drive

from kelvra_runtime.core.runtime import spawn
from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher, SpawnDispatcher

SPECS = (ChildSpec("a", {"n": 1}), ChildSpec("b"), ChildSpec("c"))


class Stop(BaseException):
    """Not an Exception: it ends the whole call."""


class Raising:
    def __eq__(self, other):
        raise KeyError("eq")

    __hash__ = object.__hash__

    def __bool__(self):
        raise KeyError("bool")


class Spec:
    """A child spec whose `to_dict` or `agent` raise a new `error`."""

    def __init__(self, to_dict_error=None, agent_error=None):
        self.to_dict_error, self.agent_error = to_dict_error, agent_error

    def to_dict(self):
        if self.to_dict_error:
            raise self.to_dict_error("to_dict")
        return {"agent": "x"}

    @property
    def agent(self):
        if self.agent_error:
            raise self.agent_error("agent")
        return "x"


class Unprintable(Exception):
    def __str__(self):
        raise KeyError("str")


class AwaitOnce:
    """Suspends once, then returns its result."""

    def __init__(self, result):
        self.result = result

    def __await__(self):
        yield "suspended"
        return self.result


class Bare:
    """An awaitable whose iterator has neither `throw` nor `close`."""

    def __await__(self):
        return iter(["suspended"])


class BadAwait:
    """An awaitable whose `__await__` gives what `make()` returns."""

    def __init__(self, make):
        self.make = make

    def __await__(self):
        return self.make()


async def native():
    return {}


def compiled_runner(spec):
    """The default runner's coroutine, awaited as any runner's is."""
    return spawn._default_noop_child_runner(spec)


def nested_dispatch_runner(spec):
    """Another dispatcher's coroutine, which suspends in its own child."""
    return enqueue(dispatcher(suspending_runner), SPECS[:1])


class NoGet(dict):
    """A result that takes item assignment but has no `get`."""

    get = None


class Pending(dict):
    """A `_pending` that the dispatcher must use through its methods."""


def dispatcher(runner=None):
    return InMemorySpawnDispatcher(child_runner=runner)


def enqueue(d, specs=SPECS, return_when="all", **overrides):
    args = {"parent_run_id": "r", "parent_resume_key": "k", "specs": tuple(specs), "return_when": return_when}
    return d.enqueue_children(**(args | {"timeout_seconds": 5.0} | overrides))


def dispatched(runner=None, specs=SPECS, return_when="all", **overrides):
    """enqueue_children then collect_results, on a fresh dispatcher."""
    d = dispatcher(runner)
    ids = drive(enqueue(d, specs, return_when, **overrides))
    results = drive(d.collect_results(parent_run_id="r", resume_key="k"))
    return ids, list(results)


async def dict_runner(spec):
    return {"output": spec.agent}


async def suspending_runner(spec):
    return await AwaitOnce({"output": spec.agent})


async def raising_runner(spec):
    raise ValueError(spec.agent)


async def stopping_runner(spec):
    raise Stop()


async def none_runner(spec):
    return None


async def unprintable_runner(spec):
    raise Unprintable()


async def no_get_runner(spec):
    return NoGet()


def awaitable_runner(result):
    return lambda spec: AwaitOnce(result)


def reentrant_runner(spec):
    """Runs a whole nested dispatch before answering."""
    nested = dispatcher()
    drive(enqueue(nested, SPECS[:1]))
    return AwaitOnce(drive(nested.collect_results(parent_run_id="r", resume_key="k"))["inmem-r-k-0"])


def self_touching_dispatch():
    """A runner that replaces the dispatcher's runner and store as it runs."""
    d = dispatcher()

    async def runner(spec):
        d._pending = {}
        d._child_runner = dict_runner
        return {"output": None}

    d._child_runner = runner
    return drive(enqueue(d))


def resending_dispatch():
    """A runner that drives the coroutine awaiting it: the re-entry is refused
    and recorded as the child's failure."""
    d = dispatcher()
    coro = None

    def runner(spec):
        coro.send(None)

    d._child_runner = runner
    # A cell, not a list: the host's list.append fails an assertion when a
    # failed append releases an object whose finalizer runs code.
    coro = enqueue(d, SPECS[:1])
    drive(coro)
    return drive(d.collect_results(parent_run_id="r", resume_key="k"))["inmem-r-k-0"]["error"]


def introspected(origin_depth=0):
    """Reads the frame, code and origin of a dispatch in every state."""
    previous = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(origin_depth)
    try:
        coro = enqueue(dispatcher(suspending_runner), SPECS[:1])
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    seen = [coro.cr_frame.f_lineno, coro.cr_code.co_firstlineno, coro.cr_origin is None]
    coro.send(None)
    seen += [coro.cr_frame.f_lineno, coro.cr_frame.f_lineno, type(coro.cr_await).__name__]
    drive(coro)
    seen.append(coro.cr_frame)
    return seen


def await_suspended():
    """`await` of a coroutine that another caller is driving."""
    coro = enqueue(dispatcher(suspending_runner), SPECS[:1])
    coro.send(None)
    try:
        coro.__await__()
    finally:
        drive(coro)


def with_child_result(cls, runner=None):
    with patched("ChildResult", cls):
        return dispatched(runner, SPECS[:1])


ORIGINALS = {name: getattr(spawn, name) for name in ("ChildResult", "_default_noop_child_runner")}


def restore_module():
    for name, value in ORIGINALS.items():
        setattr(spawn, name, value)


@contextlib.contextmanager
def patched(name, value):
    saved = getattr(spawn, name)
    if value is None:
        delattr(spawn, name)
    else:
        setattr(spawn, name, value)
    try:
        yield
    finally:
        setattr(spawn, name, saved)


def construct_without_default():
    with patched("_default_noop_child_runner", None):
        return InMemorySpawnDispatcher()


def with_pending(value, method="enqueue"):
    d = dispatcher()
    if value is None:
        del d._pending
    else:
        d._pending = value
    if method == "enqueue":
        return drive(enqueue(d))
    return drive(d.collect_results(parent_run_id="r", resume_key="k"))


def popped(stored):
    d = dispatcher()
    d._pending = {"r": {"k": stored}}
    return drive(d.collect_results(parent_run_id="r", resume_key="k"))


class Recording(ChildResult):
    pass


class Explicit(SpawnDispatcher):
    pass


def protocol_round():
    d = Explicit()
    return [drive(enqueue(d)), drive(d.collect_results(parent_run_id="r", resume_key="k"))]


# The coroutine in each of its states.


def suspended(runner=suspending_runner, specs=SPECS[:2]):
    coro = enqueue(dispatcher(runner), specs)
    assert coro.send(None) == "suspended"
    return coro


def closed_while_suspended(runner=suspending_runner):
    return suspended(runner).close()


def thrown_while_suspended(error, runner=suspending_runner):
    coro = suspended(runner)
    try:
        coro.throw(error("thrown"))
    except StopIteration as done:
        return done.value
    return drive(coro)


def sent_while_suspended():
    coro = suspended()
    coro.send("value")
    return drive(coro)


def discarded_while_suspended():
    suspended()


def collected_in_a_cycle():
    """A suspended coroutine that its own runner's awaitable refers to."""
    holder = AwaitOnce(None)
    coro = enqueue(dispatcher(lambda spec: holder), SPECS[:1])
    holder.result = coro
    coro.send(None)


def awaiting_twice():
    """A runner that hands out one coroutine, suspended, to a second await."""
    shared = enqueue(dispatcher(suspending_runner), SPECS[:1])
    shared.send(None)
    try:
        return dispatched(lambda spec: shared, SPECS[:1])
    finally:
        shared.close()


def cancelled_under_asyncio():
    async def forever(spec):
        await asyncio.sleep(3600)

    async def main():
        task = asyncio.ensure_future(enqueue(dispatcher(forever)))
        await asyncio.sleep(0)
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    asyncio.run(main())


def through_the_wrapper(action):
    coro = enqueue(dispatcher(suspending_runner), SPECS[:1])
    wrapper = coro.__await__()
    next(wrapper)
    if action == "send":
        with contextlib.suppress(StopIteration):
            wrapper.send(None)
    elif action == "throw":
        with contextlib.suppress(StopIteration):
            wrapper.throw(ValueError("thrown"))
    else:
        wrapper.close()
    return coro.cr_suspended


def created_then(action):
    coro = enqueue(dispatcher())
    if action == "close":
        return coro.close()
    if action == "throw":
        return coro.throw(KeyError("k"))
    return coro.send(1)


def finished_then(action):
    coro = enqueue(dispatcher(), SPECS[:1])
    drive(coro)
    if action == "close":
        return coro.close()
    return coro.send(None)


def ignoring_generator_exit():
    class Stubborn:
        def __await__(self):
            try:
                yield "suspended"
            except GeneratorExit:
                yield "suspended"  # once: ignoring it for ever is reported as unraisable

    coro = suspended(lambda spec: Stubborn())
    try:
        coro.close()
    except RuntimeError as refused:
        with contextlib.suppress(Stop):
            coro.throw(Stop())
        return str(refused)


OPERATIONS = {
    "construct": Operation(InMemorySpawnDispatcher),
    "construct with a runner": Operation(InMemorySpawnDispatcher, child_runner=dict_runner),
    "construct runner truth raises": Operation(InMemorySpawnDispatcher, child_runner=Raising(), raises=KeyError),
    "construct without default runner": Operation(construct_without_default, raises=NameError, cleanup=restore_module),
    "construct positional": Operation(InMemorySpawnDispatcher, None, raises=TypeError),
    # dispatch
    "default runner, all": Operation(dispatched, result=(["inmem-r-k-0", "inmem-r-k-1", "inmem-r-k-2"],) * 2),
    "default runner, any": Operation(dispatched, return_when="any"),
    "default runner, first success": Operation(dispatched, return_when="first_success"),
    "no specs": Operation(dispatched, specs=(), result=([], [])),
    "non-ASCII ids": Operation(dispatched, parent_run_id="r\u00e9", specs=SPECS[:1]),
    "every optional argument": Operation(
        dispatched, group_key="g", tenant_id="t", parent_trace_id="a", parent_span_id="b", parent_sub_user_identity={}
    ),
    "dict runner": Operation(dispatched, dict_runner, return_when="first_success"),
    "suspending runner": Operation(dispatched, suspending_runner),
    "awaitable runner": Operation(dispatched, awaitable_runner(ChildResult(output=1))),
    "runner raises": Operation(dispatched, raising_runner, return_when="first_success"),
    "runner returns a non-awaitable": Operation(dispatched, lambda spec: 5),
    "runner call raises": Operation(dispatched, lambda: None),
    "runner result refuses assignment": Operation(dispatched, none_runner),
    "runner awaitable without throw": Operation(dispatched, lambda spec: Bare()),
    "await of a suspended coroutine": Operation(await_suspended, raises=RuntimeError),
    "frame, code and origin read": Operation(introspected, result=[129, 129, True, 149, 149, "coroutine", None]),
    "origin tracked": Operation(introspected, 3, result=[129, 129, False, 149, 149, "coroutine", None]),
    "runner returns a compiled coroutine": Operation(dispatched, compiled_runner),
    "runner returns a suspending compiled coroutine": Operation(dispatched, nested_dispatch_runner),
    "__await__ returns a non-iterator": Operation(dispatched, lambda spec: BadAwait(lambda: 5)),
    # The refused coroutine warns that it was never awaited: the host's
    # warning fails a debug assertion when one of its allocations fails.
    "__await__ returns a coroutine": Operation(dispatched, lambda spec: BadAwait(native), sweep=False),
    "__await__ raises": Operation(dispatched, lambda spec: BadAwait(dict)),
    "runner returns a coroutine being awaited": Operation(awaiting_twice),
    "runner re-enters another dispatch": Operation(dispatched, reentrant_runner),
    "runner replaces the dispatcher's state": Operation(self_touching_dispatch),
    "runner re-enters its own coroutine": Operation(resending_dispatch, result="coroutine already executing"),
    "ChildResult subclass": Operation(with_child_result, Recording, lambda spec: 1, cleanup=restore_module),
    # errors that propagate
    "runner raises BaseException": Operation(dispatched, stopping_runner, raises=Stop),
    "failure message raises": Operation(dispatched, unprintable_runner, raises=KeyError),
    "failure spec raises": Operation(dispatched, lambda spec: 1, specs=[Spec(KeyError)], raises=KeyError),
    "default runner spec raises": Operation(dispatched, specs=[Spec(to_dict_error=Stop)], raises=Stop),
    "default runner agent raises": Operation(dispatched, specs=[Spec(agent_error=Stop)], raises=Stop),
    "ChildResult missing": Operation(with_child_result, None, raises=NameError, cleanup=restore_module),
    "first_success without get": Operation(dispatched, no_get_runner, return_when="first_success", raises=TypeError),
    "return_when comparison raises": Operation(dispatched, return_when=Raising(), raises=KeyError),
    "pending missing": Operation(with_pending, None, raises=AttributeError),
    "pending of another type": Operation(with_pending, Pending()),
    "pending refuses storing": Operation(with_pending, {"r": ()}, raises=TypeError),
    # binding
    "specs a list": Operation(lambda: enqueue(dispatcher(), [], specs=[]), raises=TypeError),
    "timeout not a number": Operation(lambda: enqueue(dispatcher(), timeout_seconds=None), raises=TypeError),
    "timeout too large": Operation(lambda: enqueue(dispatcher(), timeout_seconds=10**400), raises=OverflowError),
    "identity a dict subclass": Operation(
        lambda: enqueue(dispatcher(), parent_sub_user_identity=Pending()), raises=TypeError
    ),
    "return_when missing": Operation(
        lambda: dispatcher().enqueue_children(parent_run_id="r", parent_resume_key="k", specs=(), timeout_seconds=1),
        raises=TypeError,
    ),
    "enqueue positional": Operation(lambda: dispatcher().enqueue_children("r"), raises=TypeError),
    "collect positional": Operation(lambda: dispatcher().collect_results("r", "k"), raises=TypeError),
    # collect_results
    "collect missing": Operation(with_pending, {}, "collect", result={}),
    "collect of another type": Operation(with_pending, Pending(r=Pending(k={})), "collect", result={}),
    "collect None": Operation(popped, None),
    "collect not a dict": Operation(popped, [], raises=TypeError),
    "collect pending missing": Operation(with_pending, None, "collect", raises=AttributeError),
    # the default runner itself
    "noop runner": Operation(lambda: drive(spawn._default_noop_child_runner(SPECS[0]))),
    "noop runner spec raises": Operation(
        lambda: drive(spawn._default_noop_child_runner(Spec(to_dict_error=KeyError))), raises=KeyError
    ),
    "noop runner arity": Operation(spawn._default_noop_child_runner, raises=TypeError),
    "protocol methods": Operation(protocol_round, result=[None, None]),
    # the coroutine's states
    "created: close": Operation(created_then, "close"),
    "created: throw": Operation(created_then, "throw", raises=KeyError),
    "created: send a value": Operation(created_then, "send", raises=TypeError),
    "created: discarded": Operation(lambda: enqueue(dispatcher())),
    "suspended: send a value": Operation(sent_while_suspended),
    "suspended: close": Operation(closed_while_suspended),
    "suspended: close a bare iterator": Operation(closed_while_suspended, lambda spec: Bare()),
    "suspended: throw into the child": Operation(thrown_while_suspended, ValueError),
    "suspended: throw into a bare iterator": Operation(thrown_while_suspended, ValueError, lambda spec: Bare()),
    "suspended: throw BaseException": Operation(thrown_while_suspended, Stop, raises=Stop),
    "suspended: throw GeneratorExit": Operation(thrown_while_suspended, GeneratorExit, raises=GeneratorExit),
    "suspended: discarded": Operation(discarded_while_suspended),
    "suspended: collected in a cycle": Operation(collected_in_a_cycle),
    "suspended: close ignored": Operation(ignoring_generator_exit, result="coroutine ignored GeneratorExit"),
    "suspended: cancelled under asyncio": Operation(cancelled_under_asyncio, sweep=False),
    "wrapper: send": Operation(through_the_wrapper, "send"),
    "wrapper: throw": Operation(through_the_wrapper, "throw"),
    "wrapper: close": Operation(through_the_wrapper, "close"),
    "finished: close": Operation(finished_then, "close"),
    "finished: send": Operation(
        finished_then,
        "send",
        raises=RuntimeError,
        lines={(("enqueue_children", 129),), (("enqueue_children", 146),), (("enqueue_children", 147),)},
    ),
}
