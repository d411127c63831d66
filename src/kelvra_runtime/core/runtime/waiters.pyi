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

See docs/RUNTIME_EMERGENCE_PLAN.md §4.2.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable

__test__: dict[str, Any]

_DURATION_UNITS: dict[str, float]

def parse_duration(value: float | str) -> float:
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
@dataclass
class SignalWaiter:
    """One parent run awaiting one named signal + match predicate."""
    parent_run_id: str
    resume_key: str
    signal_name: str
    match: dict[str, Any] = ...
    timeout_at_unix: float = 0.0
    def matches(self, signal_name: str, payload: dict[str, Any]) -> bool:
        """Shallow equality: every key in ``match`` must equal the same key in ``payload``.
        Payload may carry additional keys.
        """

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
    choices: list[str] | None = None
    timeout_at_unix: float = 0.0

@runtime_checkable
class WaiterRegistry(Protocol):
    """Registry that tracks suspended runs and resolves them.

    Infra implements this with Redis persistence, a Celery Beat timer
    sweep, and signal-handler integration. The runtime provides the
    in-memory default for local development and tests.
    """
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Store a signal waiter until a signal that it matches is resolved."""
    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Store a timer until a sweep finds it due."""
    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Store a user-input waiter until its answer is resolved."""
    async def resolve_signal(
        self, *, signal_name: str, payload: dict[str, Any]
    ) -> list[tuple[str, str, dict[str, Any]]]:
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
    def __init__(self, *, clock: Callable[[], float] | None = None) -> None:
        """A registry whose clock is ``clock`` (Unix seconds), or ``time.time`` when none is given."""
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Append the waiter to the signal waiters; nothing is validated or deduplicated."""
    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Append the timer to the timers; its ``resume_at_unix`` is stored unchanged."""
    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Append the waiter to the user-input waiters."""
    async def resolve_signal(
        self, *, signal_name: str, payload: dict[str, Any]
    ) -> list[tuple[str, str, dict[str, Any]]]:
        """Match every registered signal waiter; remove matched ones;
        return the match records so the caller can resume each parent.
        """
    async def resolve_user_input(self, *, parent_run_id: str, resume_key: str, response: Any) -> bool:
        """Remove the oldest user-input waiter with this run id and resume key.

        Returns True if there was one. ``response`` is neither stored nor tested:
        the caller resumes the parent with it.
        """
    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        """Remove and return (parent_run_id, resume_key) of every timer whose
        ``resume_at_unix`` is at or before the clock's time, in registration order.
        """
    def signal_waiter_count(self) -> int:
        """The number of signal waiters registered and not yet resolved."""
    def timer_count(self) -> int:
        """The number of timers registered and not yet swept."""
    def user_input_waiter_count(self) -> int:
        """The number of user-input waiters registered and not yet resolved."""
