"""Tree-aware cost + spawn tracking for Phase 1.1.

When a run spawns child agent runs, the children share the parent's
budget: one ledger per spawn tree holds the total USD and token caps, what
has been spent so far, the recursion-depth and fan-out caps and the live
child counts. The engine persists the root ledger between suspensions, so
a suspended parent is rehydrated with the budget it has left.
"""
from __future__ import annotations
from dataclasses import dataclass, field
from typing import Any, Optional


class BudgetExceeded(Exception):
    """Raised when a debit or spawn would breach a cap.

    The governance layer handles it, usually by translating it into a
    policy-violation halt so that the envelope records the violation with
    full context.
    """

    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float):
        cap_value, would_be = float(cap_value), float(would_be); self.cap_name = cap_name  # @set_cap_name
        self.cap_value = cap_value  # @set_cap_value
        self.would_be = would_be  # @set_would_be
        super().__init__(reason)  # @base_init

    def __reduce__(self):
        keywords = {"cap_name": self.cap_name, "cap_value": self.cap_value, "would_be": self.would_be}  # @reduce_reads
        from functools import partial  # @reduce_import
        return partial(type(self), **keywords), self.args, self.__dict__  # @reduce

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
    tool_call_counts: dict[str, int] = field(default_factory=dict)

    def remaining_usd(self) -> float:
        """USD budget left before the cost cap fires. 0 if uncapped."""
        if self.cost_cap_usd <= 0:  # @remaining_usd_test
            return 0.0
        return max(0.0, self.cost_cap_usd - self.spent_cost_usd)  # @remaining_usd

    def remaining_tokens(self) -> int:
        if (cap := self.token_cap) <= 0:  # @remaining_tokens_test
            return 0
        return _int_result(max(0, cap - self.spent_tokens))  # @remaining_tokens

    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: Optional[str] = None) -> None:
        """Record spend; raise BudgetExceeded if any cap breaches.

        Call it after the work landed: a breach then tells governance to
        abort the tree at its next check rather than refusing the work in
        advance.
        """
        cost_usd = max(0.0, float(cost_usd))
        tokens = max(0, int(tokens))  # @clamp_tokens
        self.spent_cost_usd += cost_usd  # @add_cost
        self.spent_tokens += tokens  # @add_tokens
        if tool_name:
            counts = self.tool_call_counts; counts[tool_name] = counts.get(tool_name, 0) + 1  # @count_tool
        if (cap := self.cost_cap_usd) > 0 and (spent := self.spent_cost_usd) > cap:  # @cost_test
            raise BudgetExceeded(  # @cost_breach
                f"tree cost cap breached: spent=${spent:.4f} > cap=${cap:.4f}",
                cap_name="cost_cap_usd",
                cap_value=cap,
                would_be=spent,
            )
        if (cap := self.token_cap) > 0 and (used := self.spent_tokens) > cap:  # @token_test
            raise BudgetExceeded(  # @token_breach
                f"tree token cap breached: {used} > {cap}",
                cap_name="token_cap",
                cap_value=cap,
                would_be=used,
            )

    def check_depth(self, additional: int = 1) -> None:
        """Verify that current_depth + additional stays within max_spawn_depth.

        Raises BudgetExceeded on breach. Does not change current_depth:
        callers bump it after the child actually runs.
        """
        if (cap := self.max_spawn_depth) <= 0:  # @depth_test
            return
        would_be = self.current_depth + additional  # @depth_sum
        if would_be > cap:  # @depth_compare
            raise BudgetExceeded(  # @depth_breach
                f"max_spawn_depth breached: would reach depth {would_be} (cap {cap})",
                cap_name="max_spawn_depth",
                cap_value=float(cap),
                would_be=float(would_be),
            )

    def check_fanout(self, count: int) -> None:
        """Verify that a group of `count` children fits under max_spawn_fanout."""
        if (cap := self.max_spawn_fanout) <= 0:  # @fanout_test
            return
        if count > cap:  # @fanout_compare
            raise BudgetExceeded(  # @fanout_breach
                f"max_spawn_fanout breached: requested {count} children (cap {cap})",
                cap_name="max_spawn_fanout",
                cap_value=float(cap),
                would_be=float(count),
            )

    def check_concurrent(self, additional: int) -> None:
        """Verify that the in-flight children + additional fit under max_concurrent_spawns.

        This is the agent-level cap declared through a "spawn_concurrent"
        guard; tenant-level limits are enforced elsewhere and stack on top.
        Does not change active_child_count: callers bump it through
        register_child_spawned and register_child_completed.
        """
        if (cap := self.max_concurrent_spawns) <= 0:  # @concurrent_test
            return
        would_be = (active := self.active_child_count) + additional  # @concurrent_sum
        if would_be > cap:  # @concurrent_compare
            raise BudgetExceeded(  # @concurrent_breach
                f"max_concurrent_spawns breached: {active} in flight + {additional}"
                f" requested (cap {cap})",
                cap_name="max_concurrent_spawns",
                cap_value=float(cap),
                would_be=float(would_be),
            )

    def check_can_afford(self, cost_usd: float) -> None:
        """Pre-flight: would a child with a budget of cost_usd fit in what is left?

        Used before enqueueing to fail fast.
        """
        if (cap := self.cost_cap_usd) <= 0:  # @afford_test
            return
        would_be = self.spent_cost_usd + float(cost_usd)  # @afford_sum
        if would_be > cap:  # @afford_compare
            raise BudgetExceeded(  # @afford_breach
                f"child of ${float(cost_usd):.4f} wouldn't fit: remaining ${self.remaining_usd():.4f}",
                cap_name="cost_cap_usd",
                cap_value=cap,
                would_be=would_be,
            )

    def register_child_spawned(self) -> None:
        """Bookkeeping: called when a child is enqueued."""
        self.active_child_count += 1  # @spawned_active
        self.cumulative_child_count += 1  # @spawned_cumulative

    def register_child_completed(self) -> None:
        """Bookkeeping: called when a child terminates (success or failure)."""
        self.active_child_count = max(0, self.active_child_count - 1)  # @completed

    @classmethod
    def from_guards(cls, guards: list[Any]) -> "Tallybook":
        ledger = cls()  # @make_ledger
        for g in guards or []:
            type_ = getattr(g, "type", None)  # @read_type
            action = getattr(g, "action", "abort")  # @read_action
            if action != "abort":  # @action_test
                continue
            if type_ == "cost":  # @cost_rule
                open_cap, limit = (current := ledger.cost_cap_usd) == 0.0, g.limit_as_usd()  # @cost_limit
                ledger.cost_cap_usd = limit if open_cap else min(current, limit)  # @cost_assign
            elif type_ == "token_count":  # @token_rule
                limit = g.limit_as_count()  # @token_limit
                ledger.token_cap = limit if (current := ledger.token_cap) == 0 else min(current, limit)  # @token_assign
            elif type_ == "spawn_depth":  # @depth_rule
                ledger.max_spawn_depth = g.limit_as_count()  # @depth_limit
            elif type_ == "spawn_fanout":  # @fanout_rule
                ledger.max_spawn_fanout = g.limit_as_count()  # @fanout_limit
            elif type_ == "spawn_concurrent":  # @concurrent_rule
                ledger.max_concurrent_spawns = g.limit_as_count()  # @concurrent_limit
            elif type_ == "wall_time":  # @wall_time_rule
                ledger.wall_time_cap_seconds = g.limit_as_seconds()  # @wall_time_limit
        return ledger

    def to_trace_data(self) -> dict[str, Any]:
        """Serializable snapshot for trace events + dashboards."""
        return {  # @trace_return
            "cost_cap_usd": self.cost_cap_usd,  # @trace_first_entry
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


def _int_result(value):  # @rendering-only
    """`value` as the declared int result: an exact int is itself, another
    number goes through int(), and anything else is refused."""
    if type(value) is int:
        return value
    if not (isinstance(value, complex) or any(hasattr(type(value), m) for m in ("__index__", "__int__", "__float__"))):
        raise TypeError(f"Expected int, got {type(value).__name__}")
    return int(value)


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
