"""The frame's statement operations whose exact-type paths stand beside a
general path: each driven through a body that uses it, with inputs that
take either path (exact types and subclasses, ASCII and wider text, a
mapping changed under its loop, errors), against the rendering."""

from fractions import Fraction

import pytest
import rendering
from models import outcome, run

from kelvra_runtime.core.runtime import faultsort, spawn, tallybook, waiters
from kelvra_runtime.core.runtime.exceptions import ChildSpec


class Text(str):
    pass


class Mapping(dict):
    pass


rendered_faultsort = rendering.load("faultsort")
rendered_waiters = rendering.load("waiters")
rendered_spawn = rendering.load("spawn")
rendered_tallybook = rendering.load("tallybook")


def both(compiled_call, rendered_call, *args, **kwargs):
    ours, theirs = outcome(compiled_call, *args, **kwargs), outcome(rendered_call, *args, **kwargs)
    assert ours == theirs
    return ours


# `last_event.startswith("signal_")`: exact strs compared in place, of any
# width; a subclass through its method.
@pytest.mark.parametrize(
    "last_event",
    ["signal_", "signal_TERM", "signal", "", "Signal_x", "sígnal_x", "signal_é", "signal_\U0001f600",
     "\U0001f600signal_", "\u0100" * 8, Text("signal_x"), Text("exit")],
)
def test_startswith(last_event):
    data = {"last_event": last_event}
    both(faultsort.classify_failure, rendered_faultsort.classify_failure, data)


# `int(reading)`: a few plain ASCII digits read in place; everything else
# int() reads (or refuses) itself.
@pytest.mark.parametrize(
    "reading",
    ["0", "000", "7", "2048", "9" * 18, "9" * 19, "1" * 5000, " 5", "5 ", "+5", "-5", "1_000", "\u0663", "",
     "x", "0x10", Text("5"), b"5", 2.5, None],
)
def test_int_of_text(reading):
    data = {"last_event": "exit", "memory_rss_mb": reading}
    both(faultsort.classify_failure, rendered_faultsort.classify_failure, data)


class Meddling:
    """A payload value whose comparison changes the waiter's match dict."""

    def __init__(self, match, change):
        self.match, self.change = match, change

    def __ne__(self, other):
        self.change(self.match)
        return False

    __eq__ = __ne__


def grow(match):
    match["late"] = 1


def swap(match):
    match.pop(next(iter(match)))
    match["other"] = 2


# `for key, expected in self.match.items()`: an exact dict walked in place
# with the host's checks of a dict changed under the loop; any other
# mapping through its items().
@pytest.mark.parametrize("change", [grow, swap, None])
@pytest.mark.parametrize("kind", [dict, Mapping])
def test_items_loop(kind, change):
    def matches(module):
        match = kind(a=1, b=2)
        payload = {"a": Meddling(match, change) if change else 1, "b": 2}
        waiter = module.SignalWaiter(parent_run_id="p", resume_key="k", signal_name="s", match=match)
        return outcome(waiter.matches, "s", payload), dict(match)

    assert matches(waiters) == matches(rendered_waiters)


# `f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"` of exact strs of
# any width and machine ints; and `ChildResult(...)`, a class that
# constructs as a dict, of a subclass that overrides its __init__.
@pytest.mark.parametrize("names", [("r", "k"), ("rün", "κ"), ("\U0001f600", "k"), ("", "")])
def test_fstring_and_dict_construction(names):
    specs = tuple(ChildSpec(agent=str(i)) for i in range(12))

    def enqueue(module):
        dispatcher = module.InMemorySpawnDispatcher()
        ids = run(dispatcher.enqueue_children(parent_run_id=names[0], parent_resume_key=names[1], specs=specs,
                                              return_when="all", timeout_seconds=1.0))
        results = run(dispatcher.collect_results(parent_run_id=names[0], resume_key=names[1]))
        return ids, [(type(r).__name__, list(r.items())) for r in results.values()]

    assert enqueue(spawn) == enqueue(rendered_spawn)


def test_a_dict_class_with_its_own_init_is_called(monkeypatch):
    calls = []

    class Recorded(dict):
        def __init__(self, **keywords):
            calls.append(list(keywords))
            super().__init__(**keywords)

    monkeypatch.setitem(spawn.__dict__, "ChildResult", Recorded)
    result = run(spawn._default_noop_child_runner(ChildSpec(agent="a")))
    assert type(result) is Recorded and calls == [list(result)]


# `round(value, 6)`: exact floats computed exactly as float's rounding,
# anything else through the builtin.
@pytest.mark.parametrize(
    "spent",
    [0.1234565, 0.1234575, 2.5e-7, 5e-7, 1.5e-7, 123456.0000005, 9007199254.7409925, 1e300, float("inf"),
     -0.0, 7, 2**80, Fraction(1, 3)],
)
def test_round(spent):
    def snapshot(module):
        ledger = module.Tallybook()
        ledger.spent_cost_usd = spent
        return outcome(ledger.to_trace_data)

    assert snapshot(tallybook) == snapshot(rendered_tallybook)
