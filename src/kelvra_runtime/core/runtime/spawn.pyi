"""The spawn dispatcher contract and the in-memory dispatcher."""

from collections.abc import Awaitable, Callable
from typing import Any, Protocol, runtime_checkable

from .exceptions import ChildSpec as ChildSpec, ReturnWhen as ReturnWhen

__test__: dict[str, Any]

class ChildResult(dict[str, Any]): ...

@runtime_checkable
class SpawnDispatcher(Protocol):
    async def enqueue_children(
        self,
        *,
        parent_run_id: str,
        parent_resume_key: str,
        specs: tuple[ChildSpec, ...],
        return_when: ReturnWhen,
        timeout_seconds: float,
        group_key: str | None = None,
        tenant_id: str | None = None,
        parent_trace_id: str | None = None,
        parent_span_id: str | None = None,
        parent_sub_user_identity: dict[str, Any] | None = None,
    ) -> list[str]: ...
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]: ...

class InMemorySpawnDispatcher:
    def __init__(self, *, child_runner: Callable[[ChildSpec], Awaitable[ChildResult]] | None = None) -> None: ...
    async def enqueue_children(
        self,
        *,
        parent_run_id: str,
        parent_resume_key: str,
        specs: tuple[ChildSpec, ...],
        return_when: ReturnWhen,
        timeout_seconds: float,
        group_key: str | None = None,
        tenant_id: str | None = None,
        parent_trace_id: str | None = None,
        parent_span_id: str | None = None,
        parent_sub_user_identity: dict[str, Any] | None = None,
    ) -> list[str]: ...
    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]: ...

async def _default_noop_child_runner(spec: ChildSpec) -> ChildResult: ...
