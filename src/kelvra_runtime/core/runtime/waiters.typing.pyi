# The stub of waiters beyond its rendering waiters.py, which tools/declare.py merges in:
# the stub's imports, types stated more precisely than the annotations that
# binding reads, what the rendering does not declare, and docstrings for what
# it leaves undocumented.

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable
_DURATION_UNITS: dict[str, float]

def parse_duration(value: float | str) -> float: ...

class SignalWaiter:
    def matches(self, signal_name: str, payload: dict[str, Any]) -> bool: ...

class UserInputWaiter:
    choices: list[str] | None

class WaiterRegistry:
    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Store a signal waiter until a signal that it matches is resolved."""

    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Store a timer until a sweep finds it due."""

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Store a user-input waiter until its answer is resolved."""

    async def resolve_signal(self, *, signal_name: str, payload: dict[str, Any]) -> list[tuple[str, str, dict[str, Any]]]: ...

class InMemoryWaiterRegistry:
    def __init__(self, *, clock: Callable[[], float] | None = None) -> None:
        """A registry whose clock is ``clock`` (Unix seconds), or ``time.time`` when none is given."""

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        """Append the waiter to the signal waiters; nothing is validated or deduplicated."""

    async def register_timer(self, waiter: TimerWaiter) -> None:
        """Append the timer to the timers; its ``resume_at_unix`` is stored unchanged."""

    async def register_user_input_waiter(self, waiter: UserInputWaiter) -> None:
        """Append the waiter to the user-input waiters."""

    async def resolve_signal(self, *, signal_name: str, payload: dict[str, Any]) -> list[tuple[str, str, dict[str, Any]]]: ...

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
