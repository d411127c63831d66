"""The texts each module carries word for word: docstrings, the order of its
namespace and the annotations it stores.  One table per module; a docstring
that is only summarised is held to its first line and the words it fixes."""

import functools
import json

import pytest

import rendering
from kelvra_runtime.core.runtime import faultsort, policy, spawn, tallybook, waiters


def lines(first, *rest, indent, end):
    """A docstring laid out as the host stores a source docstring: every
    line after the first indented by `indent` spaces (blank lines stay
    empty), followed by `end`."""
    pad = " " * indent
    return "\n".join([first, *(pad + line if line else "" for line in rest)]) + end


class Exact:
    def __init__(self, text):
        self.text = text

    def check(self, doc):
        assert doc == self.text


class Summary:
    """A summarised docstring: its first line, and fragments that it holds
    word for word (newlines included where the layout is fixed)."""

    def __init__(self, first, *fragments, ends=None):
        self.first, self.fragments, self.ends = first, fragments, ends

    def check(self, doc):
        assert doc.split("\n", 1)[0] == self.first
        for fragment in self.fragments:
            assert fragment in doc
        if self.ends is not None:
            assert doc.endswith(self.ends)


NO_DOC = Exact(None)


@pytest.fixture(scope="module")
def namespaces(run_interpreter):
    """Each module's namespace order as its initialisation leaves it, read
    in a fresh interpreter (tests here rebind module globals, which moves
    them to the end)."""
    code = (
        "import importlib, json\n"
        "print(json.dumps({m: [n for n in vars(importlib.import_module('kelvra_runtime.core.runtime.' + m))"
        " if not n.startswith('__') or n in ('__doc__', '__test__')]"
        f" for m in {rendering.MODULES!r}}}))"
    )
    proc = run_interpreter("-c", code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def resolve(module, path):
    obj = functools.reduce(getattr, path.split(".") if path else [], module)
    return obj.__func__ if isinstance(obj, classmethod) else obj


def check_row(module, path, what, expected):
    obj = resolve(module, path)
    if what == "doc":
        expected.check(obj.__doc__)
    elif what == "annotations":
        assert list(obj.__annotations__.items()) == expected
    elif what == "kwdefaults":
        assert obj.__kwdefaults__ == expected
    elif what == "members":
        assert [n for n in vars(obj) if not n.startswith("__") or n in ("__module__", "__doc__", "__init__")][
            : len(expected)
        ] == expected
    else:
        raise AssertionError(what)


def table(rows):
    return [pytest.param(path, what, expected, id=f"{path or 'module'} {what}") for path, what, expected in rows]


# --- waiters --------------------------------------------------------------

REGISTRY_METHODS = [
    ("register_signal_waiter", [("waiter", "SignalWaiter"), ("return", "None")]),
    ("register_timer", [("waiter", "TimerWaiter"), ("return", "None")]),
    ("register_user_input_waiter", [("waiter", "UserInputWaiter"), ("return", "None")]),
    ("resolve_signal", [("signal_name", "str"), ("payload", "dict"), ("return", "list[tuple[str, str, dict]]")]),
    (
        "resolve_user_input",
        [("parent_run_id", "str"), ("resume_key", "str"), ("response", "Any"), ("return", "bool")],
    ),
    ("sweep_expired_timers", [("return", "list[tuple[str, str]]")]),
]
COUNTS = ["signal_waiter_count", "timer_count", "user_input_waiter_count"]

WAITERS = [
    (
        "",
        "doc",
        Summary(
            "Phase 1.2 — waiter registry protocol + in-memory default.",
            "shallow-equality match predicate",
            "Redis",
            "Celery Beat",
            "not thread-safe",
            ends="See docs/RUNTIME_EMERGENCE_PLAN.md §4.2.",
        ),
    ),
    ("SignalWaiter", "doc", Exact("One parent run awaiting one named signal + match predicate.")),
    ("TimerWaiter", "doc", Exact("One parent run awaiting a deliberate timer.")),
    ("UserInputWaiter", "doc", Exact("One parent run awaiting typed user input.")),
    (
        "SignalWaiter.matches",
        "doc",
        Exact(
            lines(
                "Shallow equality: every key in ``match`` must equal the same key in ``payload``.",
                "Payload may carry additional keys.",
                indent=8,
                end="",
            )
        ),
    ),
    (
        "WaiterRegistry",
        "doc",
        Summary(
            "Registry that tracks suspended runs and resolves them.",
            "Redis persistence",
            "Celery Beat timer",
            "in-memory default for local development and tests",
        ),
    ),
    (
        "WaiterRegistry.resolve_signal",
        "doc",
        Summary(
            "Check every registered signal waiter for a match.",
            "(parent_run_id, resume_key, payload)",
            "The caller is responsible for\n        triggering parent resume for each.",
        ),
    ),
    (
        "WaiterRegistry.resolve_user_input",
        "doc",
        Summary("Mark a user-input waiter as resolved.", "Returns True if a matching waiter existed."),
    ),
    (
        "WaiterRegistry.sweep_expired_timers",
        "doc",
        Summary("Return (parent_run_id, resume_key) for every timer whose", "The caller arranges parent resume."),
    ),
    *[(f"WaiterRegistry.{m}", "doc", NO_DOC) for m, _ in REGISTRY_METHODS[:3]],
    (
        "InMemoryWaiterRegistry",
        "doc",
        Summary(
            "Synchronous, in-process registry for local dev + tests.",
            "Does not persist across process restarts.",
            "Redis-backed implementation instead.",
        ),
    ),
    (
        "InMemoryWaiterRegistry.resolve_signal",
        "doc",
        Exact(
            lines(
                "Match every registered signal waiter; remove matched ones;",
                "return the match records so the caller can resume each parent.",
                indent=8,
                end="",
            )
        ),
    ),
    *[
        (f"InMemoryWaiterRegistry.{m}", "doc", NO_DOC)
        for m in ["__init__", *(m for m, _ in REGISTRY_METHODS if m != "resolve_signal"), *COUNTS]
    ],
    (
        "parse_duration",
        "doc",
        Summary(
            "Parse a duration spec into seconds.",
            "\n\n    Accepts:\n",
            '"2h30m"',
            "9000.0",
            "Multi-unit strings are summed left-to-right.",
            "ValueError",
        ),
    ),
    ("parse_duration", "annotations", [("return", "float")]),
    ("SignalWaiter.matches", "annotations", [("signal_name", "str"), ("payload", "dict"), ("return", "bool")]),
    (
        "SignalWaiter",
        "annotations",
        [
            ("parent_run_id", "str"),
            ("resume_key", "str"),
            ("signal_name", "str"),
            ("match", "dict[str, Any]"),
            ("timeout_at_unix", "float"),
        ],
    ),
    ("TimerWaiter", "annotations", [("parent_run_id", "str"), ("resume_key", "str"), ("resume_at_unix", "float")]),
    (
        "UserInputWaiter",
        "annotations",
        [
            ("parent_run_id", "str"),
            ("resume_key", "str"),
            ("question", "str"),
            ("choices", "Optional[list[str]]"),
            ("timeout_at_unix", "float"),
        ],
    ),
    *[
        (f"{cls}.{m}", "annotations", a)
        for cls in ("WaiterRegistry", "InMemoryWaiterRegistry")
        for m, a in REGISTRY_METHODS
    ],
    *[(f"InMemoryWaiterRegistry.{m}", "annotations", [("return", "int")]) for m in COUNTS],
    ("InMemoryWaiterRegistry.__init__", "annotations", []),
    ("InMemoryWaiterRegistry.__init__", "kwdefaults", {"clock": None}),
    (
        "WaiterRegistry",
        "members",
        ["__module__", "__doc__", *(m for m, _ in REGISTRY_METHODS)],
    ),
    (
        "InMemoryWaiterRegistry",
        "members",
        ["__module__", "__doc__", "__init__", *(m for m, _ in REGISTRY_METHODS), *COUNTS],
    ),
]


@pytest.mark.parametrize(("path", "what", "expected"), table(WAITERS))
def test_waiters_texts(path, what, expected):
    check_row(waiters, path, what, expected)


def test_waiters_namespace(namespaces):
    assert namespaces["waiters"] == [
        "__doc__", "time", "dataclass", "field", "Any", "Optional", "Protocol", "runtime_checkable",
        "SignalWaiter", "TimerWaiter", "UserInputWaiter", "WaiterRegistry", "InMemoryWaiterRegistry",
        "_DURATION_UNITS", "parse_duration", "__test__",
    ]  # fmt: skip
    assert list(waiters._DURATION_UNITS.items()) == [("s", 1.0), ("m", 60.0), ("h", 3600.0), ("d", 86400.0)]


# --- tallybook ------------------------------------------------------------

TALLYBOOK = [
    (
        "",
        "doc",
        Summary(
            "Tree-aware cost + spawn tracking for Phase 1.1.", "share the parent's\nbudget", "persists the root ledger"
        ),
    ),
    (
        "BudgetExceeded",
        "doc",
        Summary("Raised when a debit or spawn would breach a cap.", "governance layer", "policy-violation halt"),
    ),
    (
        "Tallybook",
        "doc",
        Summary("Per-spawn-tree cost + structure ledger.", "Caps of 0 mean no cap", "treated as 0", "not thread-safe"),
    ),
    ("Tallybook.remaining_usd", "doc", Exact("USD budget left before the cost cap fires. 0 if uncapped.")),
    ("Tallybook.remaining_tokens", "doc", NO_DOC),
    ("Tallybook.debit", "doc", Summary("Record spend; raise BudgetExceeded if any cap breaches.", "governance")),
    (
        "Tallybook.check_depth",
        "doc",
        Summary("Verify that current_depth + additional stays within max_spawn_depth.", "BudgetExceeded"),
    ),
    ("Tallybook.check_fanout", "doc", Summary("Verify that a group of `count` children fits under max_spawn_fanout.")),
    (
        "Tallybook.check_concurrent",
        "doc",
        Summary(
            "Verify that the in-flight children + additional fit under max_concurrent_spawns.",
            '"spawn_concurrent"',
            "active_child_count",
        ),
    ),
    (
        "Tallybook.check_can_afford",
        "doc",
        Summary("Pre-flight: would a child with a budget of cost_usd fit in what is left?", "fail fast"),
    ),
    ("Tallybook.register_child_spawned", "doc", Exact("Bookkeeping: called when a child is enqueued.")),
    (
        "Tallybook.register_child_completed",
        "doc",
        Exact("Bookkeeping: called when a child terminates (success or failure)."),
    ),
    ("Tallybook.from_guards", "doc", NO_DOC),
    ("Tallybook.to_trace_data", "doc", Exact("Serializable snapshot for trace events + dashboards.")),
    (
        "Tallybook",
        "annotations",
        [
            ("cost_cap_usd", "float"),
            ("token_cap", "int"),
            ("wall_time_cap_seconds", "float"),
            ("max_spawn_depth", "int"),
            ("max_spawn_fanout", "int"),
            ("max_concurrent_spawns", "int"),
            ("spent_cost_usd", "float"),
            ("spent_tokens", "int"),
            ("started_at_monotonic", "float"),
            ("current_depth", "int"),
            ("active_child_count", "int"),
            ("cumulative_child_count", "int"),
            ("tool_call_counts", "dict[str, int]"),
        ],
    ),
    ("Tallybook.remaining_usd", "annotations", [("return", "float")]),
    ("Tallybook.remaining_tokens", "annotations", [("return", "int")]),
    (
        "Tallybook.debit",
        "annotations",
        [("cost_usd", "float"), ("tokens", "int"), ("tool_name", "Optional[str]"), ("return", "None")],
    ),
    ("Tallybook.debit", "kwdefaults", {"cost_usd": 0.0, "tokens": 0, "tool_name": None}),
    ("Tallybook.check_depth", "annotations", [("additional", "int"), ("return", "None")]),
    ("Tallybook.check_fanout", "annotations", [("count", "int"), ("return", "None")]),
    ("Tallybook.check_concurrent", "annotations", [("additional", "int"), ("return", "None")]),
    ("Tallybook.check_can_afford", "annotations", [("cost_usd", "float"), ("return", "None")]),
    ("Tallybook.register_child_spawned", "annotations", [("return", "None")]),
    ("Tallybook.register_child_completed", "annotations", [("return", "None")]),
    ("Tallybook.from_guards", "annotations", [("guards", "list[Any]"), ("return", "'Tallybook'")]),
    ("Tallybook.to_trace_data", "annotations", [("return", "dict[str, Any]")]),
    (
        "BudgetExceeded.__init__",
        "annotations",
        [("reason", "str"), ("cap_name", "str"), ("cap_value", "float"), ("would_be", "float")],
    ),
]


@pytest.mark.parametrize(("path", "what", "expected"), table(TALLYBOOK))
def test_tallybook_texts(path, what, expected):
    check_row(tallybook, path, what, expected)


def test_tallybook_namespace(namespaces):
    assert namespaces["tallybook"] == [
        "__doc__",
        "dataclass",
        "field",
        "Any",
        "Optional",
        "BudgetExceeded",
        "Tallybook",
        "__test__",
    ]
    methods = [
        n for n in vars(tallybook.Tallybook) if callable(getattr(tallybook.Tallybook, n)) and not n.startswith("_")
    ]
    assert methods == [
        "remaining_usd", "remaining_tokens", "debit", "check_depth", "check_fanout", "check_concurrent",
        "check_can_afford", "register_child_spawned", "register_child_completed", "from_guards", "to_trace_data",
    ]  # fmt: skip


# --- spawn ----------------------------------------------------------------

ENQUEUE_ANNOTATIONS = [
    ("parent_run_id", "str"),
    ("parent_resume_key", "str"),
    ("specs", "tuple[ChildSpec, ...]"),
    ("return_when", "ReturnWhen"),
    ("timeout_seconds", "float"),
    ("group_key", "str | None"),
    ("tenant_id", "str | None"),
    ("parent_trace_id", "str | None"),
    ("parent_span_id", "str | None"),
    ("parent_sub_user_identity", "dict | None"),
    ("return", "list[str]"),
]
COLLECT_ANNOTATIONS = [("parent_run_id", "str"), ("resume_key", "str"), ("return", "dict[str, ChildResult]")]
OPTIONAL_ENQUEUE = dict.fromkeys(
    ["group_key", "tenant_id", "parent_trace_id", "parent_span_id", "parent_sub_user_identity"]
)

SPAWN = [
    (
        "",
        "doc",
        Exact(
            lines(
                "Phase 1.1 — spawn dispatcher protocol + in-memory default.",
                "",
                "Contract between runtime and infra:",
                "",
                "- The runtime raises :class:`~kelvra_runtime.core.runtime.exceptions.SpawnAwaited`",
                "  when ``ctx.spawn()`` / ``ctx.spawn_many()`` is called.",
                "- The envelope catches it and persists parent state.",
                "- Infra's :class:`SpawnDispatcher` implementation enqueues the child runs",
                "  (typically via Celery) and arranges resume signalling.",
                "- On resume, the parent re-enters with",
                '  ``ctx.inputs["spawn_results"][resume_key]`` populated — a dict mapping',
                "  child_run_id → typed child output.",
                "",
                "Runtime ships :class:`InMemorySpawnDispatcher` as a default for local dev",
                "and tests. It runs child specs synchronously inline (no real distribution,",
                "no Redis). Production config (``RuntimeConfig.configure(spawn_dispatcher=...)``)",
                "swaps in the infra implementation.",
                "",
                "See docs/RUNTIME_EMERGENCE_PLAN.md §4.1.",
                indent=0,
                end="\n",
            )
        ),
    ),
    (
        "ChildResult",
        "doc",
        Exact(
            lines(
                "Dict-shaped child result. Plain dict so it serializes cleanly for resume.",
                "",
                "Keys:",
                "    child_run_id (str)",
                "    spec (dict — ChildSpec.to_dict())",
                "    output (dict | None)",
                "    error (str | None)",
                "    cost_usd (float)",
                "    tokens (int)",
                "    duration_ms (float)",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    (
        "SpawnDispatcher",
        "doc",
        Exact(
            lines(
                "Enqueue child runs and return their results on resume.",
                "",
                "Runtime defines the shape; infra implements against Celery + Redis.",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    (
        "SpawnDispatcher.enqueue_children",
        "doc",
        Exact(
            lines(
                "Enqueue child runs; return their child_run_ids. Non-blocking.",
                "",
                "The parent is already suspended; the dispatcher's job is to",
                "(a) mint run ids, (b) start the work, (c) arrange a resume",
                "signal when ``return_when`` is satisfied.",
                "",
                "``group_key`` — when provided, overrides the default dedup key",
                "derived from ``(parent_run_id, parent_resume_key)``. Two calls",
                "with the same ``group_key`` (even from different parent runs)",
                "collapse to one group, returning the original child_run_ids",
                "without re-dispatching.",
                "",
                "``tenant_id`` — the parent's tenant. Infra implementations need",
                "it to look up the child agent's TenantAgent record and populate",
                "``agent_id`` / ``_tenant_id`` in child inputs so the Celery",
                "launcher accepts them. The in-memory default ignores it.",
                "",
                "``parent_trace_id`` / ``parent_span_id`` — hex-encoded OTel",
                "identifiers for the parent's current span. The dispatcher",
                "injects these into each child's inputs as ``_trace_id`` and",
                "``_signal_span_id`` (same keys the signal-dispatch path uses);",
                "the supervisor instrumentation picks them up to nest the child",
                "span under the parent, so multi-level spawn chains render as a",
                "single trace tree in the UI.",
                "",
                "``parent_sub_user_identity`` — the parent's ``_sub_user_identity``",
                "dict (or None). Infra implementations inject this into each",
                "child's inputs as ``_sub_user_identity`` so the child envelope",
                "rehydrates its ExecutionContext with the same end-user identity,",
                "and downstream domain calls emit the signed per-user-auth header",
                "when the tenant has ``per_user_auth_enabled=True``. Without this,",
                "children silently fall through to tenant-level credentials.",
                indent=8,
                end="\n        ",
            )
        ),
    ),
    (
        "SpawnDispatcher.collect_results",
        "doc",
        Exact(
            lines(
                "Called during parent resume — return completed child results.",
                "",
                "Keyed by child_run_id. Contents satisfy the ``return_when``",
                "clause the dispatcher honored when signalling resume.",
                indent=8,
                end="\n        ",
            )
        ),
    ),
    (
        "InMemorySpawnDispatcher",
        "doc",
        Exact(
            lines(
                "Synchronous, in-process dispatcher. Local dev + tests only.",
                "",
                "Does NOT actually suspend the parent — the envelope catch still",
                "fires, but ``collect_results`` immediately returns the pre-computed",
                "child results. Production deployments configure the infra",
                "implementation (Celery-backed) instead.",
                "",
                "Takes a ``child_runner`` callable that, given a ChildSpec, returns a",
                "ChildResult awaitable. Tests supply fakes; real local dev could wire",
                "in something that runs the agent spec synchronously.",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    *[(f"InMemorySpawnDispatcher.{m}", "doc", NO_DOC) for m in ("__init__", "enqueue_children", "collect_results")],
    (
        "_default_noop_child_runner",
        "doc",
        Exact(
            lines(
                "Default fake child runner — returns an empty success.",
                "",
                "Overridden in tests / local dev configs.",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    *[
        (f"{cls}.enqueue_children", "annotations", ENQUEUE_ANNOTATIONS)
        for cls in ("SpawnDispatcher", "InMemorySpawnDispatcher")
    ],
    *[
        (f"{cls}.enqueue_children", "kwdefaults", OPTIONAL_ENQUEUE)
        for cls in ("SpawnDispatcher", "InMemorySpawnDispatcher")
    ],
    *[
        (f"{cls}.collect_results", "annotations", COLLECT_ANNOTATIONS)
        for cls in ("SpawnDispatcher", "InMemorySpawnDispatcher")
    ],
    (
        "InMemorySpawnDispatcher.__init__",
        "annotations",
        [("child_runner", "Optional[Callable[[ChildSpec], Awaitable[ChildResult]]]")],
    ),
    ("InMemorySpawnDispatcher.__init__", "kwdefaults", {"child_runner": None}),
    ("_default_noop_child_runner", "annotations", [("spec", "ChildSpec"), ("return", "ChildResult")]),
    ("SpawnDispatcher", "members", ["__module__", "__doc__", "enqueue_children", "collect_results"]),
    (
        "InMemorySpawnDispatcher",
        "members",
        ["__module__", "__doc__", "__init__", "enqueue_children", "collect_results"],
    ),
]


@pytest.mark.parametrize(("path", "what", "expected"), table(SPAWN))
def test_spawn_texts(path, what, expected):
    check_row(spawn, path, what, expected)


def test_spawn_namespace(namespaces):
    assert namespaces["spawn"] == [
        "__doc__", "Awaitable", "Callable", "Optional", "Protocol", "runtime_checkable", "ChildSpec", "ReturnWhen",
        "ChildResult", "SpawnDispatcher", "InMemorySpawnDispatcher", "_default_noop_child_runner", "__test__",
    ]  # fmt: skip


# --- policy ---------------------------------------------------------------

CONFIGS = [("return", "Dict[str, Any]")]
ONE_POLICY = [("name", "str"), ("return", "Dict[str, Any]")]

POLICY = [
    (
        "",
        "doc",
        Exact(
            lines(
                "Policy provider protocol for runtime policy configuration.",
                "",
                "This module defines the interface for accessing policy configurations.",
                "Runtime provides no-op default; infra provides Django-model-backed policies.",
                indent=0,
                end="\n",
            )
        ),
    ),
    (
        "PolicyProvider",
        "doc",
        Exact(
            lines(
                "Provides policy configurations at runtime.",
                "",
                "Implementations provide access to policy rules and configurations",
                "that govern workflow execution.",
                "",
                "Default: NoOpPolicyProvider (returns empty config)",
                "Production: PolicyRegistry (Django model-backed)",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    (
        "PolicyProvider.get_runtime_configs",
        "doc",
        Exact(
            lines(
                "Get all active policy configurations.",
                "",
                "Returns:",
                "    Dict mapping policy names to their configurations",
                indent=8,
                end="\n        ",
            )
        ),
    ),
    (
        "PolicyProvider.get_policy",
        "doc",
        Exact(
            lines(
                "Get a specific policy configuration.",
                "",
                "Args:",
                "    name: The policy name",
                "",
                "Returns:",
                "    The policy configuration dict, or empty dict if not found",
                indent=8,
                end="\n        ",
            )
        ),
    ),
    (
        "NoOpPolicyProvider",
        "doc",
        Exact(
            lines(
                "No-op policy provider for standalone runtime.",
                "",
                "Returns empty configurations. All execution is allowed.",
                "Useful for local development and testing without governance.",
                indent=4,
                end="\n    ",
            )
        ),
    ),
    ("NoOpPolicyProvider.get_runtime_configs", "doc", NO_DOC),
    ("NoOpPolicyProvider.get_policy", "doc", NO_DOC),
    *[(f"{cls}.get_runtime_configs", "annotations", CONFIGS) for cls in ("PolicyProvider", "NoOpPolicyProvider")],
    *[(f"{cls}.get_policy", "annotations", ONE_POLICY) for cls in ("PolicyProvider", "NoOpPolicyProvider")],
    *[
        (cls, "members", ["__module__", "__doc__", "get_runtime_configs", "get_policy"])
        for cls in ("PolicyProvider", "NoOpPolicyProvider")
    ],
]


@pytest.mark.parametrize(("path", "what", "expected"), table(POLICY))
def test_policy_texts(path, what, expected):
    check_row(policy, path, what, expected)


def test_policy_namespace(namespaces):
    assert namespaces["policy"] == [
        "__doc__", "Any", "Dict", "Protocol", "runtime_checkable", "PolicyProvider", "NoOpPolicyProvider", "__test__",
    ]  # fmt: skip


# --- faultsort ------------------------------------------------------------

FAULTSORT = [
    (
        "",
        "doc",
        Exact(
            lines(
                "Pure failure classification algorithm.",
                "",
                "This module contains the algorithmic logic for classifying workflow failures",
                "based on envelope data. It has NO external dependencies (no Redis, Django, etc.)",
                "and can be used by both runtime defaults and infra's production recovery.",
                "",
                "Usage:",
                "    from kelvra_runtime.core.runtime.faultsort import classify_failure",
                "",
                "    reason = classify_failure(envelope_data)",
                '    # Returns: "terminated_by_signal", "suspected_oom", "abnormal_exit", or "unknown"',
                indent=0,
                end="\n",
            )
        ),
    ),
    (
        "classify_failure",
        "doc",
        Exact(
            lines(
                "Classify a workflow failure based on envelope data.",
                "",
                "Analyzes the envelope's last event and memory usage to determine",
                "the likely cause of failure.",
                "",
                "Args:",
                "    envelope_data: Dict containing envelope state, typically with keys like:",
                '        - last_event: str, the last recorded event (e.g., "signal_SIGTERM")',
                "        - memory_rss_mb: int/str, resident memory in MB at failure time",
                "",
                "Returns:",
                "    A classification string:",
                '    - "terminated_by_signal": Process received a signal (SIGTERM, SIGKILL, etc.)',
                '    - "suspected_oom": High memory usage suggests OOM killer',
                '    - "abnormal_exit": Process exited abnormally without clear cause',
                '    - "unknown": No envelope data available',
                indent=4,
                end="\n    ",
            )
        ),
    ),
    ("classify_failure", "annotations", [("envelope_data", "dict"), ("return", "str")]),
]


@pytest.mark.parametrize(("path", "what", "expected"), table(FAULTSORT))
def test_faultsort_texts(path, what, expected):
    check_row(faultsort, path, what, expected)


def test_faultsort_namespace(namespaces):
    assert namespaces["faultsort"] == ["__doc__", "classify_failure", "__test__"]
