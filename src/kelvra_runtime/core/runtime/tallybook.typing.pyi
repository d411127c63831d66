# The stub of tallybook beyond its rendering tallybook.py, which tools/declare.py merges in:
# the stub's imports, types stated more precisely than the annotations that
# binding reads, what the rendering does not declare, and docstrings for what
# it leaves undocumented.

from dataclasses import dataclass
from typing import Any, Self

class BudgetExceeded:
    cap_name: str
    cap_value: float
    would_be: float

    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float) -> None: ...

class Tallybook:
    def remaining_tokens(self) -> int:
        """Tokens left before the token cap fires. 0 if uncapped."""

    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: str | None = None) -> None: ...

    @classmethod
    def from_guards(cls, guards: list[Any]) -> Self:
        """A ledger for a new spawn tree, with the caps of the agent's guard records.

        Only "abort" guards (or guards without an ``action``) become caps: "cost"
        (``limit_as_usd()``) and "token_count" (``limit_as_count()``) take the
        tightest non-zero limit; "spawn_depth", "spawn_fanout", "spawn_concurrent"
        (``limit_as_count()``) and "wall_time" (``limit_as_seconds()``) the last
        one. Other guards are skipped.
        """
