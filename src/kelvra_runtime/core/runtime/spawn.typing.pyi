# The stub of spawn beyond its rendering spawn.py, which tools/declare.py merges in:
# the stub's imports, types stated more precisely than the annotations that
# binding reads, what the rendering does not declare, and docstrings for what
# it leaves undocumented.

from collections.abc import Awaitable, Callable
from typing import Any, Protocol, runtime_checkable
from .exceptions import ChildSpec as ChildSpec, ReturnWhen as ReturnWhen

class ChildResult(dict[str, Any]): ...

class SpawnDispatcher:
    async def enqueue_children(self, *, parent_run_id: str, parent_resume_key: str, specs: tuple[ChildSpec, ...], return_when: ReturnWhen, timeout_seconds: float, group_key: str | None = None, tenant_id: str | None = None, parent_trace_id: str | None = None, parent_span_id: str | None = None, parent_sub_user_identity: dict[str, Any] | None = None) -> list[str]: ...

class InMemorySpawnDispatcher:
    def __init__(self, *, child_runner: Callable[[ChildSpec], Awaitable[ChildResult]] | None = None) -> None:
        """A dispatcher that runs each child through ``child_runner``, or through
        ``_default_noop_child_runner`` when none is given.
        """

    async def enqueue_children(self, *, parent_run_id: str, parent_resume_key: str, specs: tuple[ChildSpec, ...], return_when: ReturnWhen, timeout_seconds: float, group_key: str | None = None, tenant_id: str | None = None, parent_trace_id: str | None = None, parent_span_id: str | None = None, parent_sub_user_identity: dict[str, Any] | None = None) -> list[str]:
        """Run the children inline, one after another; return their child_run_ids.

        A runner that raises gives a failed child (``output`` None, ``error`` the
        exception's ``str()``). With ``return_when`` "any" only the first child
        runs; with "first_success" they run until one has an ``output``. The
        results are kept for ``collect_results``; ``group_key``, ``tenant_id``
        and the trace and identity arguments are ignored.
        """

    async def collect_results(self, *, parent_run_id: str, resume_key: str) -> dict[str, ChildResult]:
        """Remove and return the results kept for this parent run and resume key,
        keyed by child_run_id; an empty dict when there are none (or on a
        second call).
        """
