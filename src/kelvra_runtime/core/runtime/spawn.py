"""Phase 1.1 — spawn dispatcher protocol + in-memory default.

Contract between runtime and infra:

- The runtime raises :class:`~kelvra_runtime.core.runtime.exceptions.SpawnAwaited`
  when ``ctx.spawn()`` / ``ctx.spawn_many()`` is called.
- The envelope catches it and persists parent state.
- Infra's :class:`SpawnDispatcher` implementation enqueues the child runs
  (typically via Celery) and arranges resume signalling.
- On resume, the parent re-enters with
  ``ctx.inputs["spawn_results"][resume_key]`` populated — a dict mapping
  child_run_id → typed child output.

Runtime ships :class:`InMemorySpawnDispatcher` as a default for local dev
and tests. It runs child specs synchronously inline (no real distribution,
no Redis). Production config (``RuntimeConfig.configure(spawn_dispatcher=...)``)
swaps in the infra implementation.

See docs/RUNTIME_EMERGENCE_PLAN.md §4.1.
"""
from __future__ import annotations
from typing import Awaitable, Callable, Optional, Protocol, runtime_checkable

from .exceptions import ChildSpec, ReturnWhen


class ChildResult(dict):
    """Dict-shaped child result. Plain dict so it serializes cleanly for resume.

    Keys:
        child_run_id (str)
        spec (dict — ChildSpec.to_dict())
        output (dict | None)
        error (str | None)
        cost_usd (float)
        tokens (int)
        duration_ms (float)
    """


@runtime_checkable
class SpawnDispatcher(Protocol):
    """Enqueue child runs and return their results on resume.

    Runtime defines the shape; infra implements against Celery + Redis.
    """

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
        parent_sub_user_identity: dict | None = None,
    ) -> list[str]:
        """Enqueue child runs; return their child_run_ids. Non-blocking.

        The parent is already suspended; the dispatcher's job is to
        (a) mint run ids, (b) start the work, (c) arrange a resume
        signal when ``return_when`` is satisfied.

        ``group_key`` — when provided, overrides the default dedup key
        derived from ``(parent_run_id, parent_resume_key)``. Two calls
        with the same ``group_key`` (even from different parent runs)
        collapse to one group, returning the original child_run_ids
        without re-dispatching.

        ``tenant_id`` — the parent's tenant. Infra implementations need
        it to look up the child agent's TenantAgent record and populate
        ``agent_id`` / ``_tenant_id`` in child inputs so the Celery
        launcher accepts them. The in-memory default ignores it.

        ``parent_trace_id`` / ``parent_span_id`` — hex-encoded OTel
        identifiers for the parent's current span. The dispatcher
        injects these into each child's inputs as ``_trace_id`` and
        ``_signal_span_id`` (same keys the signal-dispatch path uses);
        the supervisor instrumentation picks them up to nest the child
        span under the parent, so multi-level spawn chains render as a
        single trace tree in the UI.

        ``parent_sub_user_identity`` — the parent's ``_sub_user_identity``
        dict (or None). Infra implementations inject this into each
        child's inputs as ``_sub_user_identity`` so the child envelope
        rehydrates its ExecutionContext with the same end-user identity,
        and downstream domain calls emit the signed per-user-auth header
        when the tenant has ``per_user_auth_enabled=True``. Without this,
        children silently fall through to tenant-level credentials.
        """
        ...

    async def collect_results(
        self, *, parent_run_id: str, resume_key: str
    ) -> dict[str, ChildResult]:
        """Called during parent resume — return completed child results.

        Keyed by child_run_id. Contents satisfy the ``return_when``
        clause the dispatcher honored when signalling resume.
        """
        ...


class InMemorySpawnDispatcher:
    """Synchronous, in-process dispatcher. Local dev + tests only.

    Does NOT actually suspend the parent — the envelope catch still
    fires, but ``collect_results`` immediately returns the pre-computed
    child results. Production deployments configure the infra
    implementation (Celery-backed) instead.

    Takes a ``child_runner`` callable that, given a ChildSpec, returns a
    ChildResult awaitable. Tests supply fakes; real local dev could wire
    in something that runs the agent spec synchronously.
    """

    def __init__(
        self,
        *,
        child_runner: Optional[Callable[[ChildSpec], Awaitable[ChildResult]]] = None,
    ):
        self._child_runner = child_runner or _default_noop_child_runner  # @set_runner
        self._pending: dict[str, dict[str, dict[str, ChildResult]]] = {}  # @set_pending

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
        parent_sub_user_identity: dict | None = None,
    ) -> list[str]:
        results: dict[str, ChildResult] = {}  # @results
        child_ids: list[str] = []  # @child_ids
        for idx, spec in enumerate(specs):
            child_id = f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"  # @mint_id
            child_ids.append(child_id)  # @append_id
            try:
                result = await _awaitable(self._child_runner(spec))  # @await_child
                result["child_run_id"] = child_id  # @set_child_id
                result["spec"] = spec.to_dict()  # @set_spec
            except Exception as exc:
                result = ChildResult(  # @failure_result
                    child_run_id=child_id,
                    spec=spec.to_dict(),  # @failure_spec
                    output=None,
                    error=str(exc),  # @failure_error
                    cost_usd=0.0,
                    tokens=0,
                    duration_ms=0.0,
                )
            results[child_id] = result  # @store_result
            if return_when == "first_success" and result.get("output") is not None:  # @first_success
                break
            if return_when == "any":  # @any
                break
        self._pending.setdefault(parent_run_id, {})[parent_resume_key] = results  # @store_results
        return child_ids

    async def collect_results(
        self, *, parent_run_id: str, resume_key: str
    ) -> dict[str, ChildResult]:
        return _dict_or_none(self._pending.get(parent_run_id, {}).pop(resume_key, {}))  # @pop_results


async def _default_noop_child_runner(spec: ChildSpec) -> ChildResult:
    """Default fake child runner — returns an empty success.

    Overridden in tests / local dev configs.
    """
    return ChildResult(  # @noop_result
        child_run_id="",
        spec=spec.to_dict(),  # @noop_spec
        output={"_noop": True, "agent": spec.agent},  # @noop_output
        error=None,
        cost_usd=0.0,
        tokens=0,
        duration_ms=0.0,
    )


def _awaitable(obj):  # @rendering-only
    """`obj`, if `await` takes it; otherwise the dispatcher's own refusal."""
    if hasattr(type(obj), "__await__"):
        return obj
    import inspect

    if inspect.isgenerator(obj) and obj.gi_code.co_flags & inspect.CO_ITERABLE_COROUTINE:
        return obj  # a generator that types.coroutine made awaitable
    raise TypeError(f"object {type(obj).__name__} can't be used in 'await' expression")


def _dict_or_none(results):  # @rendering-only
    """The collected results, which must be exactly a dict or None."""
    if type(results) is not dict and results is not None:
        raise TypeError(f"Expected dict, got {type(results).__name__}")
    return results


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
