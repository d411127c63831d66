"""Plain-Python renderings of the modules' algorithms, which the property
and re-entrancy tests hold the compiled modules to, and the helpers that
compare what both give."""

import asyncio
import time
import traceback
from types import SimpleNamespace

from kelvra_runtime.core.runtime import spawn, waiters
from kelvra_runtime.core.runtime.spawn import ChildResult
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import SignalWaiter


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
        return ("raised", type(value), str(value), extra)
    if isinstance(value, (int, str, bytes, type(None))):
        return (type(value).__name__, value)
    return ("object", type(value).__name__)


def outcome(fn, *args, **kwargs):
    try:
        return shape(fn(*args, **kwargs))
    except Exception as e:
        return shape(e)



def duration_units():
    """The module global `_DURATION_UNITS`, read as the body reads a global."""
    try:
        return vars(waiters)["_DURATION_UNITS"]
    except KeyError:
        raise NameError("name '_DURATION_UNITS' is not defined") from None


def model_parse_duration(value):
    if isinstance(value, (int, float)):
        return float(value)
    if not isinstance(value, str):
        raise ValueError(f"unsupported duration type: {type(value).__name__}")
    s = value.strip().lower()
    if not s:
        raise ValueError("empty duration string")
    total, num_buf = 0.0, ""
    for ch in s:
        if ch.isdigit() or ch == ".":
            num_buf += ch
        elif ch in duration_units():
            if not num_buf:
                raise ValueError(f"duration unit {ch!r} with no preceding number in {value!r}")
            total += float(num_buf) * duration_units()[ch]
            num_buf = ""
        elif ch.isspace():
            continue
        else:
            raise ValueError(f"unrecognized character {ch!r} in duration {value!r}")
    if num_buf:
        total += float(num_buf)
    if total <= 0:
        raise ValueError(f"duration must be positive: {value!r}")
    return total



def model_classify(envelope_data):
    if not envelope_data:
        return "unknown"
    last_event = envelope_data.get("last_event", "")
    if last_event.startswith("signal_"):
        return "terminated_by_signal"
    try:
        memory_mb = int(envelope_data.get("memory_rss_mb", 0))
        if memory_mb > 0:
            return "suspected_oom"
    except (ValueError, TypeError):
        pass
    return "abnormal_exit"



def model_matches(waiter, signal_name, payload):
    if signal_name != waiter.signal_name:
        return False
    for k, v in waiter.match.items():
        if payload.get(k) != v:
            return False
    return True


class ModelRegistry:
    """The in-memory waiter registry, written plainly (synchronously: no
    body of it ever suspends)."""

    def __init__(self, *, clock=None):
        self._clock = clock or time.time
        self._signal_waiters, self._timers, self._user_inputs = [], [], []

    def register_signal_waiter(self, waiter):
        self._signal_waiters.append(waiter)

    def register_timer(self, waiter):
        self._timers.append(waiter)

    def register_user_input_waiter(self, waiter):
        self._user_inputs.append(waiter)

    def resolve_signal(self, *, signal_name, payload):
        remaining, matched = [], []
        for w in self._signal_waiters:
            if w.matches(signal_name, payload):
                matched.append((w.parent_run_id, w.resume_key, dict(payload)))
            else:
                remaining.append(w)
        self._signal_waiters = remaining
        return matched

    def resolve_user_input(self, *, parent_run_id, resume_key, response):
        for i, w in enumerate(self._user_inputs):
            if w.parent_run_id == parent_run_id and w.resume_key == resume_key:
                del self._user_inputs[i]
                return True
        return False

    def sweep_expired_timers(self):
        now = self._clock()
        expired, remaining = [], []
        for w in self._timers:
            if w.resume_at_unix <= now:
                expired.append((w.parent_run_id, w.resume_key))
            else:
                remaining.append(w)
        self._timers = remaining
        return expired

    def signal_waiter_count(self):
        return len(self._signal_waiters)

    def timer_count(self):
        return len(self._timers)

    def user_input_waiter_count(self):
        return len(self._user_inputs)


class ModelSignalWaiter(SignalWaiter):
    """A signal waiter whose `matches` is written plainly."""

    matches = model_matches


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



def to_int(x):
    return x if type(x) is int else int(x)


def breach(message, cap_name, cap_value, would_be):
    return BudgetExceeded(message, cap_name=cap_name, cap_value=cap_value, would_be=would_be)


class ModelLedger(SimpleNamespace):
    """The ledger's operations, written plainly."""

    def remaining_usd(self):
        if self.cost_cap_usd <= 0:
            return 0.0
        left = self.cost_cap_usd - self.spent_cost_usd
        return left if left > 0.0 else 0.0

    def remaining_tokens(self):
        if self.token_cap <= 0:
            return 0
        left = self.token_cap - self.spent_tokens
        return to_int(left if left > 0 else 0)

    def debit(self, *, cost_usd=0.0, tokens=0, tool_name=None):
        cost, tokens = float(cost_usd), to_int(tokens)
        cost = cost if cost > 0.0 else 0.0
        tokens = tokens if tokens > 0 else 0
        self.spent_cost_usd += cost
        self.spent_tokens += tokens
        if tool_name:
            self.tool_call_counts[tool_name] = self.tool_call_counts.get(tool_name, 0) + 1
        if self.cost_cap_usd > 0 and self.spent_cost_usd > self.cost_cap_usd:
            spent, cap = self.spent_cost_usd, self.cost_cap_usd
            raise breach(f"tree cost cap breached: spent=${spent:.4f} > cap=${cap:.4f}", "cost_cap_usd", cap, spent)
        if self.token_cap > 0 and self.spent_tokens > self.token_cap:
            used, cap = self.spent_tokens, self.token_cap
            raise breach(f"tree token cap breached: {used} > {cap}", "token_cap", cap, used)

    def check_depth(self, additional=1):
        additional = to_int(additional)
        cap = self.max_spawn_depth
        if cap <= 0:
            return
        would = self.current_depth + additional
        if would > cap:
            raise breach(
                f"max_spawn_depth breached: would reach depth {would} (cap {cap})",
                "max_spawn_depth", float(cap), float(would),
            )  # fmt: skip

    def check_fanout(self, count):
        count = to_int(count)
        cap = self.max_spawn_fanout
        if cap <= 0:
            return
        if count > cap:
            raise breach(
                f"max_spawn_fanout breached: requested {count} children (cap {cap})",
                "max_spawn_fanout", float(cap), float(count),
            )  # fmt: skip

    def check_concurrent(self, additional):
        additional = to_int(additional)
        cap = self.max_concurrent_spawns
        if cap <= 0:
            return
        active = self.active_child_count
        would = active + additional
        if would > cap:
            raise breach(
                f"max_concurrent_spawns breached: {active} in flight + {additional} requested (cap {cap})",
                "max_concurrent_spawns", float(cap), float(would),
            )  # fmt: skip

    def check_can_afford(self, cost_usd):
        cost = float(cost_usd)
        cap = self.cost_cap_usd
        if cap <= 0:
            return
        would = self.spent_cost_usd + cost
        if would > cap:
            message = f"child of ${cost:.4f} wouldn't fit: remaining ${self.remaining_usd():.4f}"
            raise breach(message, "cost_cap_usd", cap, would)

    def register_child_spawned(self):
        self.active_child_count += 1
        self.cumulative_child_count += 1

    def register_child_completed(self):
        fewer = self.active_child_count - 1
        self.active_child_count = fewer if fewer > 0 else 0

    def to_trace_data(self):
        return {
            "cost_cap_usd": self.cost_cap_usd,
            "token_cap": self.token_cap,
            "max_spawn_depth": self.max_spawn_depth,
            "max_spawn_fanout": self.max_spawn_fanout,
            "spent_cost_usd": round(self.spent_cost_usd, 6),
            "spent_tokens": self.spent_tokens,
            "current_depth": self.current_depth,
            "active_child_count": self.active_child_count,
            "cumulative_child_count": self.cumulative_child_count,
            "remaining_usd": round(self.remaining_usd(), 6),
            "remaining_tokens": self.remaining_tokens(),
        }



# The ledger's fields, but for `tool_call_counts`.
FIELDS = [
    "cost_cap_usd", "token_cap", "wall_time_cap_seconds", "max_spawn_depth", "max_spawn_fanout",
    "max_concurrent_spawns", "spent_cost_usd", "spent_tokens", "started_at_monotonic", "current_depth",
    "active_child_count", "cumulative_child_count",
]  # fmt: skip
def ledger_state(ledger):
    return shape([getattr(ledger, f) for f in FIELDS] + [ledger.tool_call_counts])


def model_from_guards(guards):
    ledger = ModelLedger(**(vars(Tallybook()) | {"tool_call_counts": {}}))
    rules = {
        "cost": ("cost_cap_usd", "limit_as_usd", 0.0),
        "token_count": ("token_cap", "limit_as_count", 0),
        "spawn_depth": ("max_spawn_depth", "limit_as_count", None),
        "spawn_fanout": ("max_spawn_fanout", "limit_as_count", None),
        "spawn_concurrent": ("max_concurrent_spawns", "limit_as_count", None),
        "wall_time": ("wall_time_cap_seconds", "limit_as_seconds", None),
    }
    for g in guards:
        type_, action = getattr(g, "type", None), getattr(g, "action", "abort")
        if action != "abort":
            continue
        for tag, (field_name, method, zero) in rules.items():
            if type_ == tag:
                limit = getattr(g, method)()
                current = getattr(ledger, field_name)
                if zero is not None and current != zero and not limit < current:
                    limit = current
                setattr(ledger, field_name, limit)
                break
    return ledger



async def awaited(obj):
    """`await obj`, with the dispatcher's own message for what cannot be awaited."""
    if not hasattr(type(obj), "__await__"):
        raise TypeError(f"object {type(obj).__name__} can't be used in 'await' expression")
    return await obj


class ModelDispatcher:
    """The in-memory spawn dispatcher, written plainly."""

    def __init__(self, *, child_runner=None):
        self._child_runner = child_runner or spawn._default_noop_child_runner
        self._pending = {}

    async def enqueue_children(self, *, parent_run_id, parent_resume_key, specs, return_when, timeout_seconds, **_):
        results, child_ids = {}, []
        for idx, spec in enumerate(specs):
            child_id = f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"
            child_ids.append(child_id)
            try:
                result = await awaited(self._child_runner(spec))
                result["child_run_id"] = child_id
                result["spec"] = spec.to_dict()
            except Exception as exc:
                result = ChildResult(child_run_id=child_id, spec=spec.to_dict(), output=None, error=str(exc),
                                     cost_usd=0.0, tokens=0, duration_ms=0.0)  # fmt: skip
            results[child_id] = result
            if return_when == "first_success" and result.get("output") is not None:
                break
            if return_when == "any":
                break
        self._pending.setdefault(parent_run_id, {})[parent_resume_key] = results
        return child_ids

    async def collect_results(self, *, parent_run_id, resume_key):
        return self._pending.get(parent_run_id, {}).pop(resume_key, {})


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
