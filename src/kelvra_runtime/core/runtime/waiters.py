"""Phase 1.2 — waiter registry protocol + in-memory default.

Three suspension types converge on one registry:

- Signal waiters: the parent waits for a named signal whose payload
  satisfies a shallow-equality match predicate.
- Timers: the parent waits until a wall-clock time.
- User-input waiters: the parent waits for typed user input.

The runtime defines the registry shape; infra implements it with Redis
for durable state across workers, Celery Beat for timer sweeping, and
hooks into the existing signal handler. The in-memory default is for
local development and unit tests; it is not thread-safe.

See docs/RUNTIME_EMERGENCE_PLAN.md §4.2."""
from __future__ import annotations
import time
from dataclasses import dataclass, field
from typing import Any, Optional, Protocol, runtime_checkable


@dataclass
class SignalWaiter:
    """One parent run awaiting one named signal + match predicate."""

    parent_run_id: str
    resume_key: str
    signal_name: str
    match: dict[str, Any] = field(default_factory=dict)
    timeout_at_unix: float = 0.0

    def matches(self, signal_name: str, payload: dict) -> bool:
        """Shallow equality: every key in ``match`` must equal the same key in ``payload``.
        Payload may carry additional keys."""

        if signal_name != self.signal_name:  # @name_test
            return False
        for k, v in self.match.items():  # @match_items
            if payload.get(k) != v:  # @value_test
                return False
        return True


@dataclass
class TimerWaiter:
    """One parent run awaiting a deliberate timer."""

    parent_run_id: str
    resume_key: str
    resume_at_unix: float


@dataclass
class UserInputWaiter:
    """One parent run awaiting typed user input."""
    parent_run_id: str
    resume_key: str
    question: str
    choices: Optional[list[str]] = None
    timeout_at_unix: float = 0.0


@runtime_checkable
class WaiterRegistry(Protocol):
    """Registry that tracks suspended runs and resolves them.

    Infra implements this with Redis persistence, a Celery Beat timer
    sweep, and signal-handler integration. The runtime provides the
    in-memory default for local development and tests.
    """

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None: ...
    async def register_timer(self, waiter: TimerWaiter) -> None: ...
    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None: ...

    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:
        """Check every registered signal waiter for a match.

        Returns a list of (parent_run_id, resume_key, payload) tuples for
        every waiter that matched. The caller is responsible for
        triggering parent resume for each.
        """

    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Mark a user-input waiter as resolved.

        Returns True if a matching waiter existed. The caller arranges
        the parent resume with the response value.
        """


    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Return (parent_run_id, resume_key) for every timer whose
        resume_at_unix is in the past. The caller arranges parent resume.
        """


class InMemoryWaiterRegistry:
    """Synchronous, in-process registry for local dev + tests.

    Does not persist across process restarts. Production deployments
    configure the infra Redis-backed implementation instead.
    """

    def __init__(self, *, clock=None):
        self._clock = clock or time.time  # @set_clock
        self._signal_waiters, self._timers, self._user_inputs = [], [], []  # @set_lists

    # No body below awaits anything: each runs to completion in the first
    # step of its coroutine, so on one event loop every operation is atomic.
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        self._signal_waiters.append(waiter)  # @append_signal

    async def register_timer(self, waiter: TimerWaiter) -> None:
        self._timers.append(waiter)  # @append_timer

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        self._user_inputs.append(waiter)  # @append_user_input

    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:
        """Match every registered signal waiter; remove matched ones;
        return the match records so the caller can resume each parent."""
        remaining, matched = [], []  # @signal_lists
        for w in self._signal_waiters:  # @walk_signals
            if w.matches(signal_name, payload):  # @call_matches
                matched.append((w.parent_run_id, w.resume_key, dict(payload)))  # @match_record
            else:
                remaining.append(w)
        # Replaced after a complete pass: an error above leaves it as it was.
        self._signal_waiters = remaining  # @replace_signals
        return matched

    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        # The caller resumes the parent with `response`; it is not kept.
        for i, w in enumerate(self._user_inputs):  # @walk_user_inputs
            if w.parent_run_id == parent_run_id and w.resume_key == resume_key:  # @user_input_test
                del self._user_inputs[i]  # @user_input_remove
                return True
        return False

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        now = self._clock()  # @call_clock
        expired, remaining = [], []  # @timer_lists
        for w in self._timers:  # @walk_timers
            if w.resume_at_unix <= now:  # @timer_test
                expired.append((w.parent_run_id, w.resume_key))  # @timer_record
            else:
                remaining.append(w)
        self._timers = remaining  # @replace_timers
        return expired

    def signal_waiter_count(self) -> int:
        return len(self._signal_waiters)  # @count_signal_waiters

    def timer_count(self) -> int:
        return len(self._timers)  # @count_timers

    def user_input_waiter_count(self) -> int:
        return len(self._user_inputs)  # @count_user_inputs


# ---------------------------------------------------------------------------
# Duration specs
#
# A duration spec is a number of seconds, or a string of numbers each
# followed by a one-letter unit of _DURATION_UNITS, such as "2h30m"; the
# amounts are summed from left to right, and a trailing number without a
# unit counts as seconds.  The string is stripped and lower-cased first,
# so "1H" is an hour and "1M" a minute, never a month.
#
# The parser reads one character at a time:
#
# - digits (in the Unicode sense of str.isdigit) and dots collect into the
#   current number, which float() converts once a unit or the end is
#   reached, so "1.2.3" fails there with float()'s own error;
# - a unit letter adds the current number times the unit's seconds; the
#   table is looked up afresh at every character, so a caller that adds a
#   one-letter unit changes what the next call accepts, and a key of more
#   than one letter can never match;
# - whitespace is skipped without ending the number: "1 5m" is fifteen
#   minutes;
# - anything else is refused, naming the character and the text as given;
#   the first error met ends the parse, so "0x" reports the x.
#
# Numbers pass through float() whatever their sign, while a string must
# add up to more than zero.  Every refusal is a ValueError: float()'s own
# for a number it cannot read, otherwise one naming the text as given.


_DURATION_UNITS = {
    "s": 1.0,
    "m": 60.0,
    "h": 3600.0,
    "d": 86400.0,
}


def parse_duration(value) -> float:
    """Parse a duration spec into seconds.

    Accepts:
        int / float  -> seconds as-is
        "30s"        -> 30.0
        "5m"         -> 300.0
        "1h"         -> 3600.0
        "2h30m"      -> 9000.0
        "1d"         -> 86400.0

    Multi-unit strings are summed left-to-right. Raises ValueError on
    anything unparseable.
    """
    if isinstance(value, (int, float)): return float(value)  # @numeric
    if not isinstance(value, str):
        raise ValueError(f"unsupported duration type: {type(value).__name__}")  # @unsupported
    s = value.strip().lower()  # @normalise
    if not s:
        raise ValueError("empty duration string")  # @empty

    total = 0.0
    num_buf = ""
    for ch in s:
        if ch.isdigit() or ch == ".":
            num_buf += ch
        elif ch in _DURATION_UNITS:  # @unit_test
            if not num_buf:
                raise ValueError(f"duration unit {ch!r} with no preceding number in {value!r}")  # @no_number
            # The unit's seconds as the table holds them at this character,
            # whatever their type.
            total += float(num_buf) * _DURATION_UNITS[ch]  # @add_unit
            num_buf = ""
        elif ch.isspace():  # @space_test
            continue
        else:
            raise ValueError(f"unrecognized character {ch!r} in duration {value!r}")  # @unrecognized
    # A trailing number without a unit counts as seconds.
    if num_buf:
        total += float(num_buf)  # @trailing

    if total <= 0:
        raise ValueError(f"duration must be positive: {value!r}")  # @not_positive
    return total


# This file renders the compiled module of the same name in plain Python; it
# is not installed (the package ships the compiled module alone).  The
# compiled module's traceback entries cite the lines of these statements,
# and the tests and benchmarks compare the two.  Called with arguments that
# the compiled argument binding accepts, it behaves as the compiled module
# does; that binding itself (counts, keyword-only parameters, exact-type
# tests, the float and int conversions of annotated parameters) is not
# imitated.  Its own messages name types by `__name__`, where the compiled
# ones use the type's C name (which, for a type defined in C, may carry its
# module).
