"""The benchmarked operations written in plain Python: what the compiled
modules are measured against.  Only the logic is here; argument checks,
docstrings and module details are left out, as a Python module would
leave them."""

import time
from dataclasses import dataclass, field
from typing import Any, Optional

# ---------------------------------------------------------------------------
# faultsort


def classify_failure(envelope_data: dict) -> str:
    if not envelope_data:
        return "unknown"
    last_event = envelope_data.get("last_event", "")
    if last_event.startswith("signal_"):
        return "terminated_by_signal"
    try:
        value = envelope_data.get("memory_rss_mb", 0)
        memory_mb = value if type(value) is int else int(value)
        if memory_mb > 0:
            return "suspected_oom"
    except (ValueError, TypeError):
        pass
    return "abnormal_exit"


# ---------------------------------------------------------------------------
# waiters

_DURATION_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0}


def parse_duration(value) -> float:
    if isinstance(value, (int, float)):
        return float(value)
    if not isinstance(value, str):
        raise ValueError(f"unsupported duration type: {type(value).__name__}")
    s = value.strip().lower()
    if not s:
        raise ValueError("empty duration string")
    total = 0.0
    num_buf = ""
    for ch in s:
        if ch.isdigit() or ch == ".":
            num_buf += ch
        elif ch in _DURATION_UNITS:
            if not num_buf:
                raise ValueError(f"duration unit {ch!r} with no preceding number in {value!r}")
            total += float(num_buf) * _DURATION_UNITS[ch]
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


@dataclass
class SignalWaiter:
    parent_run_id: str
    resume_key: str
    signal_name: str
    match: dict[str, Any] = field(default_factory=dict)
    timeout_at_unix: float = 0.0

    def matches(self, signal_name: str, payload: dict) -> bool:
        if signal_name != self.signal_name:
            return False
        for k, v in self.match.items():
            if payload.get(k) != v:
                return False
        return True


@dataclass
class TimerWaiter:
    parent_run_id: str
    resume_key: str
    resume_at_unix: float


class InMemoryWaiterRegistry:
    def __init__(self, *, clock=None):
        self._clock = clock or time.time
        self._signal_waiters: list[SignalWaiter] = []
        self._timers: list[TimerWaiter] = []
        self._user_inputs: list = []

    async def register_signal_waiter(self, waiter: SignalWaiter) -> None:
        self._signal_waiters.append(waiter)

    async def register_timer(self, waiter: TimerWaiter) -> None:
        self._timers.append(waiter)

    async def resolve_signal(self, *, signal_name: str, payload: dict) -> list[tuple[str, str, dict]]:
        remaining = []
        matched = []
        for w in self._signal_waiters:
            if w.matches(signal_name, payload):
                matched.append((w.parent_run_id, w.resume_key, dict(payload)))
            else:
                remaining.append(w)
        self._signal_waiters = remaining
        return matched

    async def sweep_expired_timers(self) -> list[tuple[str, str]]:
        now = self._clock()
        expired = []
        remaining = []
        for w in self._timers:
            if w.resume_at_unix <= now:
                expired.append((w.parent_run_id, w.resume_key))
            else:
                remaining.append(w)
        self._timers = remaining
        return expired


# ---------------------------------------------------------------------------
# tallybook


class BudgetExceeded(Exception):
    def __init__(self, reason: str, *, cap_name: str, cap_value: float, would_be: float):
        self.cap_name = cap_name
        self.cap_value = float(cap_value)
        self.would_be = float(would_be)
        super().__init__(reason)


@dataclass
class Tallybook:
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
        if self.cost_cap_usd <= 0:
            return 0.0
        left = self.cost_cap_usd - self.spent_cost_usd
        return left if left > 0.0 else 0.0

    def remaining_tokens(self) -> int:
        if self.token_cap <= 0:
            return 0
        left = self.token_cap - self.spent_tokens
        return left if left > 0 else 0

    def debit(self, *, cost_usd: float = 0.0, tokens: int = 0, tool_name: Optional[str] = None) -> None:
        cost_usd = cost_usd if cost_usd > 0.0 else 0.0
        tokens = tokens if tokens > 0 else 0
        self.spent_cost_usd += float(cost_usd)
        self.spent_tokens += tokens
        if tool_name:
            self.tool_call_counts[tool_name] = self.tool_call_counts.get(tool_name, 0) + 1
        if self.cost_cap_usd > 0 and self.spent_cost_usd > self.cost_cap_usd:
            raise BudgetExceeded(
                f"tree cost cap breached: spent=${self.spent_cost_usd:.4f} > cap=${self.cost_cap_usd:.4f}",
                cap_name="cost_cap_usd",
                cap_value=self.cost_cap_usd,
                would_be=self.spent_cost_usd,
            )
        if self.token_cap > 0 and self.spent_tokens > self.token_cap:
            raise BudgetExceeded(
                f"tree token cap breached: {self.spent_tokens} > {self.token_cap}",
                cap_name="token_cap",
                cap_value=self.token_cap,
                would_be=self.spent_tokens,
            )

    def check_depth(self, additional: int = 1) -> None:
        if self.max_spawn_depth <= 0:
            return
        would_be = self.current_depth + additional
        if would_be > self.max_spawn_depth:
            raise BudgetExceeded(
                f"max_spawn_depth breached: would reach depth {would_be} (cap {self.max_spawn_depth})",
                cap_name="max_spawn_depth",
                cap_value=float(self.max_spawn_depth),
                would_be=float(would_be),
            )

    def check_fanout(self, count: int) -> None:
        if self.max_spawn_fanout <= 0:
            return
        if count > self.max_spawn_fanout:
            raise BudgetExceeded(
                f"max_spawn_fanout breached: requested {count} children (cap {self.max_spawn_fanout})",
                cap_name="max_spawn_fanout",
                cap_value=float(self.max_spawn_fanout),
                would_be=float(count),
            )

    def check_concurrent(self, additional: int) -> None:
        if self.max_concurrent_spawns <= 0:
            return
        would_be = self.active_child_count + additional
        if would_be > self.max_concurrent_spawns:
            raise BudgetExceeded(
                f"max_concurrent_spawns breached: {self.active_child_count} in flight + {additional}"
                f" requested (cap {self.max_concurrent_spawns})",
                cap_name="max_concurrent_spawns",
                cap_value=float(self.max_concurrent_spawns),
                would_be=float(would_be),
            )

    def check_can_afford(self, cost_usd: float) -> None:
        if self.cost_cap_usd <= 0:
            return
        if self.spent_cost_usd + float(cost_usd) > self.cost_cap_usd:
            raise BudgetExceeded(
                f"child of ${cost_usd:.4f} wouldn't fit: remaining ${self.remaining_usd():.4f}",
                cap_name="cost_cap_usd",
                cap_value=self.cost_cap_usd,
                would_be=self.spent_cost_usd + cost_usd,
            )

    @classmethod
    def from_guards(cls, guards: list[Any]) -> "Tallybook":
        t = cls()
        for g in guards or []:
            gtype = getattr(g, "type", None)
            action = getattr(g, "action", "abort")
            if action != "abort":
                continue
            if gtype == "cost":
                t.cost_cap_usd = (
                    g.limit_as_usd() if t.cost_cap_usd == 0.0 else min(t.cost_cap_usd, g.limit_as_usd())
                )
            elif gtype == "token_count":
                limit = g.limit_as_count()
                t.token_cap = limit if t.token_cap == 0 else min(t.token_cap, limit)
            elif gtype == "spawn_depth":
                t.max_spawn_depth = g.limit_as_count()
            elif gtype == "spawn_fanout":
                t.max_spawn_fanout = g.limit_as_count()
            elif gtype == "spawn_concurrent":
                t.max_concurrent_spawns = g.limit_as_count()
            elif gtype == "wall_time":
                t.wall_time_cap_seconds = g.limit_as_seconds()
        return t

    def to_trace_data(self) -> dict[str, Any]:
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


# ---------------------------------------------------------------------------
# policy


class NoOpPolicyProvider:
    def get_runtime_configs(self) -> dict[str, Any]:
        return {}

    def get_policy(self, name: str) -> dict[str, Any]:
        return {}


# ---------------------------------------------------------------------------
# spawn


class ChildResult(dict):
    pass


async def _default_noop_child_runner(spec) -> ChildResult:
    return ChildResult(
        child_run_id="",
        spec=spec.to_dict(),
        output={"_noop": True, "agent": spec.agent},
        error=None,
        cost_usd=0.0,
        tokens=0,
        duration_ms=0.0,
    )


class InMemorySpawnDispatcher:
    def __init__(self, *, child_runner=None):
        self._child_runner = child_runner or _default_noop_child_runner
        self._pending: dict[str, dict[str, dict[str, ChildResult]]] = {}

    async def enqueue_children(
        self,
        *,
        parent_run_id: str,
        parent_resume_key: str,
        specs: tuple,
        return_when,
        timeout_seconds: float,
        group_key: str | None = None,
        tenant_id: str | None = None,
        parent_trace_id: str | None = None,
        parent_span_id: str | None = None,
        parent_sub_user_identity: dict | None = None,
    ) -> list[str]:
        results: dict[str, ChildResult] = {}
        child_ids: list[str] = []
        for idx, spec in enumerate(specs):
            cid = f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"
            child_ids.append(cid)
            try:
                result = await self._child_runner(spec)
                result["child_run_id"] = cid
                result["spec"] = spec.to_dict()
            except Exception as exc:
                result = ChildResult(
                    child_run_id=cid,
                    spec=spec.to_dict(),
                    output=None,
                    error=str(exc),
                    cost_usd=0.0,
                    tokens=0,
                    duration_ms=0.0,
                )
            results[cid] = result
            if return_when == "first_success" and result.get("output") is not None:
                break
            if return_when == "any":
                break
        self._pending.setdefault(parent_run_id, {})[parent_resume_key] = results
        return child_ids

    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        return self._pending.get(parent_run_id, {}).pop(resume_key, {})
