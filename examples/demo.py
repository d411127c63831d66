"""An engine's view of the runtime core: the modules driven as the engine
drives them, with a readable trace of what happened.

One root run reads its policies and attaches a ledger built from its guard
records. It spawns children through the in-memory dispatcher, whose child
runner debits the shared ledger (some children fail); suspends on a signal,
a timer and its user's answer and is resumed through the waiter registry;
spawns two more waves, one over the fan-out cap and one whose spend
breaches the cost cap and halts the tree; and finally has its failed
children classified from their envelope data.
"""

import asyncio
import json
from dataclasses import dataclass
from typing import Any

from kelvra_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher, SpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
    WaiterRegistry,
    parse_duration,
)

ROOT = "run-root"


def say(text: str) -> None:
    print(text)


def section(title: str) -> None:
    say("")
    say(f"== {title} ==")


# ---------------------------------------------------------------------------
# Guard records, as the authoring kit declares them on an agent.  The ledger
# reads them by duck typing: `type`, `action` and the `limit_as_...` method
# that the guard's type needs.


@dataclass
class Guard:
    type: str
    limit: float | str
    action: str = "abort"

    def limit_as_usd(self) -> float:
        return float(self.limit)

    def limit_as_count(self) -> int:
        return int(self.limit)

    def limit_as_seconds(self) -> float:
        return parse_duration(self.limit)


GUARDS: list[Any] = [
    Guard("cost", 0.10),
    Guard("cost", 0.05),
    Guard("cost", 0.01, action="warn"),
    Guard("token_count", 20_000),
    Guard("spawn_depth", 2),
    Guard("spawn_fanout", 4),
    Guard("spawn_concurrent", 6),
    Guard("wall_time", "30m"),
]


# ---------------------------------------------------------------------------
# The engine's side: governance, the child runner and a clock it controls.


class Governance:
    """Halts the tree on the first budget breach."""

    def __init__(self) -> None:
        self.breach: BudgetExceeded | None = None

    def halt(self, breach: BudgetExceeded) -> None:
        self.breach = breach
        say(f"  governance: halting the tree: {breach}")
        say(f"    cap_name={breach.cap_name!r}, cap_value={breach.cap_value:.4f}, would_be={breach.would_be:.4f}")


class LedgerRunner:
    """Runs one child inline and debits the tree's shared ledger for its work.

    A child's inputs script what its run does: what its tool call costs,
    and whether the process is killed or runs out of memory afterwards.
    Each child's envelope data is kept for the failure classification.
    """

    def __init__(self, ledger: Tallybook, governance: Governance) -> None:
        self.ledger = ledger
        self.governance = governance
        self.envelopes: dict[str, dict[str, Any]] = {}

    async def __call__(self, spec: ChildSpec) -> ChildResult:
        work = spec.inputs
        if self.governance.breach is not None:
            self.envelopes[spec.agent] = {}
            raise RuntimeError("not started: the tree is halted")
        await asyncio.sleep(0)  # the child's model or tool call
        try:
            self.ledger.debit(cost_usd=work["cost_usd"], tokens=work["tokens"], tool_name=work["tool"])
        except BudgetExceeded as breach:
            self.envelopes[spec.agent] = {"last_event": "budget_exceeded", "memory_rss_mb": 0}
            self.governance.halt(breach)
            raise
        crash = work.get("crash")
        self.envelopes[spec.agent] = crash or {"last_event": "completed", "memory_rss_mb": 0}
        if crash:
            raise RuntimeError(f"child process died after {crash['last_event']}")
        return ChildResult(
            child_run_id="",
            spec={},
            output={"summary": f"{spec.agent} done"},
            error=None,
            cost_usd=work["cost_usd"],
            tokens=work["tokens"],
            duration_ms=work["duration_ms"],
        )


class ManualClock:
    """Wall-clock time in Unix seconds that only moves when told to."""

    def __init__(self, now: float) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now

    def advance(self, spec: str) -> None:
        self.now += parse_duration(spec)
        say(f"  clock: +{spec} (now {self.now:.0f})")


def child(
    agent: str, cost_usd: float, tokens: int, tool: str = "llm", crash: dict[str, Any] | None = None
) -> ChildSpec:
    """The ChildSpec of a child whose run costs `cost_usd` and `tokens`, and then
    dies leaving `crash` as its envelope data, if given."""
    work: dict[str, Any] = {"cost_usd": cost_usd, "tokens": tokens, "tool": tool, "duration_ms": 40.0}
    if crash:
        work["crash"] = crash
    return ChildSpec(agent, work)


# ---------------------------------------------------------------------------
# The trace


def durations() -> None:
    section("durations: sleep and timeout specs from agent code")
    for spec in (90, 2.5, "30s", "5m", "2h30m", "1d 2h 3m 4s", " 1H "):
        say(f"  parse_duration({spec!r}) = {parse_duration(spec)}")
    for bad in ("-5s", "0s", None):
        try:
            parse_duration(bad)  # type: ignore[arg-type]  # None is refused at run time
        except ValueError as e:
            say(f"  parse_duration({bad!r}) refused: {e}")


def policies(provider: PolicyProvider) -> None:
    section("policy: what governance may enforce")
    say(f"  {type(provider).__name__} satisfies PolicyProvider: {isinstance(provider, PolicyProvider)}")
    say(f"  get_runtime_configs() = {provider.get_runtime_configs()}")
    for name in ("spawn_limits", "tool_allowlist"):
        config = provider.get_policy(name)
        say(f"  get_policy({name!r}) = {config}: {'enforced' if config else 'no policy, allowed'}")


def root_ledger() -> Tallybook:
    section(f"root run {ROOT}: ledger from its guard records")
    for guard in GUARDS:
        say(f"  guard {guard}")
    ledger = Tallybook.from_guards(GUARDS)
    say(
        f"  caps: cost ${ledger.cost_cap_usd:.2f} (the warn guard sets none), tokens {ledger.token_cap}, "
        f"wall time {ledger.wall_time_cap_seconds:.0f}s, depth {ledger.max_spawn_depth}, "
        f"fan-out {ledger.max_spawn_fanout}, in flight {ledger.max_concurrent_spawns}"
    )
    return ledger


class Engine:
    """The engine's loop around one spawn tree, reduced to what the modules see."""

    def __init__(self, ledger: Tallybook, dispatcher: SpawnDispatcher) -> None:
        self.ledger = ledger
        self.dispatcher = dispatcher
        self.spawn_results: dict[str, dict[str, ChildResult]] = {}

    def preflight(self, specs: tuple[ChildSpec, ...], budget_usd: float) -> bool:
        try:
            self.ledger.check_depth()
            self.ledger.check_fanout(len(specs))
            self.ledger.check_concurrent(len(specs))
            self.ledger.check_can_afford(budget_usd * len(specs))
        except BudgetExceeded as refused:
            say(f"  pre-flight refused a group of {len(specs)}: {refused}")
            return False
        return True

    async def spawn(self, resume_key: str, specs: tuple[ChildSpec, ...], return_when: ReturnWhen) -> None:
        say(f"  {ROOT} spawns {len(specs)} children (return_when={return_when}) and suspends under {resume_key!r}")
        child_ids = await self.dispatcher.enqueue_children(
            parent_run_id=ROOT,
            parent_resume_key=resume_key,
            specs=specs,
            return_when=return_when,
            timeout_seconds=parse_duration("10m"),
        )
        for _ in child_ids:
            self.ledger.register_child_spawned()
        say(f"  enqueued: {', '.join(child_ids)}")
        results = await self.dispatcher.collect_results(parent_run_id=ROOT, resume_key=resume_key)
        for child_id, result in results.items():
            self.ledger.register_child_completed()
            outcome = f"ok, {result['output']}" if result["error"] is None else f"failed: {result['error']}"
            say(f"    {child_id} ({result['spec']['agent']}): {outcome}")
        self.spawn_results[resume_key] = results
        say(
            f"  resumed {ROOT} with spawn_results[{resume_key!r}]; "
            f"spent ${self.ledger.spent_cost_usd:.4f} of ${self.ledger.cost_cap_usd:.2f}, "
            f"{self.ledger.spent_tokens} tokens, remaining ${self.ledger.remaining_usd():.4f}"
        )


def resume(resumable: list[tuple[str, str]], why: str) -> None:
    """What the engine does with the registry's answer: resume each parent."""
    for run_id, resume_key in resumable:
        say(f"  resume {run_id} under {resume_key!r} ({why})")


async def first_wave(engine: Engine) -> None:
    section("spawn wave 1: three children, two of them fail")
    dispatcher = engine.dispatcher
    say(f"  {type(dispatcher).__name__} satisfies SpawnDispatcher: {isinstance(dispatcher, SpawnDispatcher)}")
    specs = (
        child("researcher", 0.012, 3_000, tool="web_search"),
        child("crawler", 0.004, 800, tool="fetch", crash={"last_event": "signal_SIGKILL"}),
        child("embedder", 0.006, 1_500, tool="embed", crash={"last_event": "tool_call", "memory_rss_mb": "7900"}),
    )
    if engine.preflight(specs, budget_usd=0.01):
        await engine.spawn("spawn-1", specs, ReturnWhen.ALL)


async def second_wave(engine: Engine) -> None:
    section("spawn wave 2: five is over the fan-out cap; four, until the first success")
    exit_1 = {"last_event": "exit_1"}
    specs = tuple(child(f"drafter-{i}", 0.005, 1_000, crash=exit_1 if i == 0 else None) for i in range(5))
    if not engine.preflight(specs, budget_usd=0.005):
        specs = specs[:4]
    if engine.preflight(specs, budget_usd=0.005):
        await engine.spawn("spawn-2", specs, ReturnWhen.FIRST_SUCCESS)


async def third_wave(engine: Engine, governance: Governance) -> None:
    section("spawn wave 3: a child's spend breaches the cost cap and halts the tree")
    specs = (child("reviewer", 0.009, 2_000), child("translator", 0.011, 2_500), child("publisher", 0.002, 300))
    if engine.preflight(specs, budget_usd=0.003):
        await engine.spawn("spawn-3", specs, ReturnWhen.ALL)
    if governance.breach is not None:
        say(f"  {ROOT} halted by governance ({governance.breach.cap_name}); a further spawn:")
        engine.preflight((child("retry", 0.0, 0),), budget_usd=0.0)


async def waiting(registry: InMemoryWaiterRegistry, clock: ManualClock) -> None:
    section(f"waiting: {ROOT} waits for a signal, a timer and its user")
    say(f"  {type(registry).__name__} satisfies WaiterRegistry: {isinstance(registry, WaiterRegistry)}")
    await registry.register_signal_waiter(SignalWaiter(ROOT, "approval", "deploy.reviewed", {"verdict": "approved"}))
    await registry.register_timer(TimerWaiter(ROOT, "cooldown", clock() + parse_duration("5m")))
    await registry.register_user_input_waiter(UserInputWaiter(ROOT, "confirm", "Publish the report?", ["yes", "no"]))
    say(
        f"  waiting: {registry.signal_waiter_count()} signal, {registry.timer_count()} timer, "
        f"{registry.user_input_waiter_count()} user input"
    )

    for payload in ({"verdict": "changes_requested"}, {"verdict": "approved", "reviewer": "ops"}):
        matched = await registry.resolve_signal(signal_name="deploy.reviewed", payload=payload)
        say(f"  signal deploy.reviewed {payload}: {len(matched)} waiter(s) matched")
        resume([(run, key) for run, key, _ in matched], "signal matched")

    clock.advance("1m")
    say(f"  sweep: {await registry.sweep_expired_timers()} due")
    clock.advance("4m")
    resume(await registry.sweep_expired_timers(), "timer due")

    for answer in ("yes", "yes"):
        resolved = await registry.resolve_user_input(parent_run_id=ROOT, resume_key="confirm", response=answer)
        say(f"  answer {answer!r} for 'confirm': {'resolves the waiter' if resolved else 'nobody waits for it'}")
        if resolved:
            resume([(ROOT, "confirm")], f"user answered {answer!r}")
    say(
        f"  still waiting: {registry.signal_waiter_count()} signal, {registry.timer_count()} timer, "
        f"{registry.user_input_waiter_count()} user input"
    )


def failures(engine: Engine, runner: LedgerRunner) -> None:
    section("failures: each failed child classified from its envelope data")
    for results in engine.spawn_results.values():
        for child_id, result in results.items():
            if result["error"] is None:
                continue
            envelope = runner.envelopes.get(result["spec"]["agent"], {})
            say(f"  {child_id}: {envelope} -> {classify_failure(envelope)}")


async def engine_loop() -> None:
    policies(NoOpPolicyProvider())
    ledger = root_ledger()
    governance = Governance()
    runner = LedgerRunner(ledger, governance)
    clock = ManualClock(1_750_000_000.0)
    registry = InMemoryWaiterRegistry(clock=clock)
    engine = Engine(ledger, InMemorySpawnDispatcher(child_runner=runner))

    await first_wave(engine)
    await waiting(registry, clock)
    await second_wave(engine)
    await third_wave(engine, governance)
    failures(engine, runner)

    section("ledger snapshot: to_trace_data()")
    say(json.dumps(ledger.to_trace_data(), indent=2))


def main() -> None:
    durations()
    asyncio.run(engine_loop())


if __name__ == "__main__":
    main()
