"""Tree-aware cost + spawn tracking for Phase 1.1.

When a run spawns child agent runs, the children share the parent's
budget: one ledger per spawn tree holds the total USD and token caps, what
has been spent so far, the recursion-depth and fan-out caps and the live
child counts. The engine persists the root ledger between suspensions, so
a suspended parent is rehydrated with the budget it has left.
"""

from dataclasses import dataclass
from typing import Any, Self

__test__: dict[str, Any]

class BudgetExceeded(Exception):
    """Raised when a debit or spawn would breach a cap.

    The governance layer handles it, usually by translating it into a
    policy-violation halt so that the envelope records the violation with
    full context.
    """
    cap_name: str
    cap_value: float
    would_be: float
    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float) -> None: ...

@dataclass
class Tallybook:
    """Per-spawn-tree cost + structure ledger.

    Caps of 0 mean no cap; negative values are treated as 0. The ledger is
    not thread-safe: the engine serialises access per workflow, and the
    persistence layer coordinates spawned children that run elsewhere.
    """
    cost_cap_usd: float = 0.0
    token_cap: int = 0
    wall_time_cap_seconds: float = 0.0
    max_spawn_depth: int = 3
    max_spawn_fanout: int = 10
    max_concurrent_spawns: int = 20
    spent_cost_usd: float = 0.0
    spent_tokens: int = 0
    started_at_monotonic: float = 0.0
    current_depth: int = 0
    active_child_count: int = 0
    cumulative_child_count: int = 0
    tool_call_counts: dict[str, int] = ...
    def remaining_usd(self) -> float:
        """USD budget left before the cost cap fires. 0 if uncapped."""
    def remaining_tokens(self) -> int:
        """Tokens left before the token cap fires. 0 if uncapped."""
    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: str | None = None) -> None:
        """Record spend; raise BudgetExceeded if any cap breaches.

        Call it after the work landed: a breach then tells governance to
        abort the tree at its next check rather than refusing the work in
        advance.
        """
    def check_depth(self, additional: int = 1) -> None:
        """Verify that current_depth + additional stays within max_spawn_depth.

        Raises BudgetExceeded on breach. Does not change current_depth:
        callers bump it after the child actually runs.
        """
    def check_fanout(self, count: int) -> None:
        """Verify that a group of `count` children fits under max_spawn_fanout."""
    def check_concurrent(self, additional: int) -> None:
        """Verify that the in-flight children + additional fit under max_concurrent_spawns.

        This is the agent-level cap declared through a "spawn_concurrent"
        guard; tenant-level limits are enforced elsewhere and stack on top.
        Does not change active_child_count: callers bump it through
        register_child_spawned and register_child_completed.
        """
    def check_can_afford(self, cost_usd: float) -> None:
        """Pre-flight: would a child with a budget of cost_usd fit in what is left?

        Used before enqueueing to fail fast.
        """
    def register_child_spawned(self) -> None:
        """Bookkeeping: called when a child is enqueued."""
    def register_child_completed(self) -> None:
        """Bookkeeping: called when a child terminates (success or failure)."""
    @classmethod
    def from_guards(cls, guards: list[Any]) -> Self:
        """A ledger for a new spawn tree, with the caps of the agent's guard records.

        Only "abort" guards (or guards without an ``action``) become caps: "cost"
        (``limit_as_usd()``) and "token_count" (``limit_as_count()``) take the
        tightest non-zero limit; "spawn_depth", "spawn_fanout", "spawn_concurrent"
        (``limit_as_count()``) and "wall_time" (``limit_as_seconds()``) the last
        one. Other guards are skipped.
        """
    def to_trace_data(self) -> dict[str, Any]:
        """Serializable snapshot for trace events + dashboards."""
