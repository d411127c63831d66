"""The operations of `tallybook` on their success and error paths."""

import pickle
from fractions import Fraction
from types import SimpleNamespace

from leakcheck import Operation
from models import guard

from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook


class Text(str):
    pass


class Raising:
    def __eq__(self, other):
        raise KeyError("eq")

    __ne__ = __lt__ = __eq__
    __hash__ = object.__hash__


class Shapeless:
    """Subtracts and compares, but is no number."""

    def __sub__(self, other):
        return self

    def __gt__(self, other):
        return True

    __le__ = __lt__ = lambda self, other: False


class Counts(dict):
    """A tool-count mapping the ledger must update through `get`."""


def ledger(**fields):
    """A fresh ledger for each call, so that no call sees another's spend."""
    return Tallybook(**fields)


def on(method, fields=None, *args, **kwargs):
    """`Tallybook(**fields).<method>(*args, **kwargs)`, as an operation."""

    def call():
        return getattr(ledger(**(fields or {})), method)(*args, **kwargs)

    return call


def op(method, fields=None, *args, raises=None, result=None, **kwargs):
    return Operation(on(method, fields, *args, **kwargs), raises=raises, result=result)


def failing_limit():
    raise KeyError("limit")


class StrictLedger(Tallybook):
    def remaining_usd(self):
        raise KeyError("remaining")


def breach_round_trip():
    error = BudgetExceeded("r", cap_name="token_cap", cap_value=1, would_be=2)
    error.add_note("n")
    return pickle.loads(pickle.dumps(error)).args


def reduce_without(name):
    error = BudgetExceeded("r", cap_name="c", cap_value=1, would_be=2)
    delattr(error, name)
    return error.__reduce__()


def debit_twice_with_counts(counts):
    book = ledger(tool_call_counts=counts)
    book.debit(tool_name="t")
    book.debit(tool_name="t")
    return book.tool_call_counts["t"]


def children():
    book = ledger()
    book.register_child_spawned()
    book.register_child_spawned()
    book.register_child_completed()
    book.register_child_completed()
    book.register_child_completed()
    return book.active_child_count, book.cumulative_child_count


ALL_GUARDS = [
    guard("cost", 5.0),
    guard("cost", 2.0),
    guard("token_count", 100),
    guard("token_count", 0),
    guard("spawn_depth", 4),
    guard("spawn_fanout", 5),
    guard("spawn_concurrent", 6),
    guard("wall_time", 60.0),
    guard("cost", 1.0, action="warn"),
    guard("tokens", 1),
    guard(),
]

OPERATIONS = {
    # BudgetExceeded
    "BudgetExceeded": Operation(BudgetExceeded, "r", cap_name="c", cap_value=1, would_be=2.5),
    # The host's pickle module leaks when one of its own allocations fails.
    "BudgetExceeded pickled": Operation(breach_round_trip, result=("r",), sweep=False),
    "BudgetExceeded reduce": Operation(BudgetExceeded("r", cap_name="c", cap_value=1, would_be=2).__reduce__),
    "BudgetExceeded reason not str": Operation(
        BudgetExceeded, Text("r"), cap_name="c", cap_value=1, would_be=2, raises=TypeError
    ),
    "BudgetExceeded cap_value not a number": Operation(
        BudgetExceeded, "r", cap_name="c", cap_value="1", would_be=2, raises=TypeError
    ),
    "BudgetExceeded keyword missing": Operation(BudgetExceeded, "r", cap_name="c", cap_value=1, raises=TypeError),
    "BudgetExceeded reduce fails": Operation(reduce_without, "would_be", raises=AttributeError),
    # remaining
    "remaining_usd uncapped": op("remaining_usd", result=0.0),
    "remaining_usd floats": op("remaining_usd", {"cost_cap_usd": 2.0, "spent_cost_usd": 0.5}, result=1.5),
    "remaining_usd other numbers": op(
        "remaining_usd", {"cost_cap_usd": Fraction(3, 2), "spent_cost_usd": 1}, result=Fraction(1, 2)
    ),
    "remaining_usd nan": op("remaining_usd", {"cost_cap_usd": 1.0, "spent_cost_usd": float("nan")}, result=0.0),
    "remaining_usd spend not a number": op(
        "remaining_usd", {"cost_cap_usd": 1.0, "spent_cost_usd": None}, raises=TypeError
    ),
    "remaining_usd cap not comparable": op("remaining_usd", {"cost_cap_usd": Raising()}, raises=TypeError),
    "remaining_tokens capped": op("remaining_tokens", {"token_cap": 10, "spent_tokens": 3}, result=7),
    "remaining_tokens float fields": op("remaining_tokens", {"token_cap": 10.5, "spent_tokens": 3}, result=7),
    "remaining_tokens not a number": op("remaining_tokens", {"token_cap": Shapeless()}, raises=TypeError),
    # debit
    "debit": op("debit", cost_usd=0.25, tokens=3, tool_name="search"),
    "debit converted arguments": op("debit", cost_usd=1, tokens=2.9, tool_name=""),
    "debit odd amounts": op("debit", cost_usd=float("nan"), tokens=-(10**40)),
    "debit huge amounts": op(
        "debit", {"token_cap": 10**30}, cost_usd=float("inf"), tokens=10**40, raises=BudgetExceeded
    ),
    "debit counts through get": Operation(lambda: debit_twice_with_counts(Counts()), result=2),
    "debit counts not a mapping": op("debit", {"tool_call_counts": None}, tool_name="t", raises=AttributeError),
    "debit cost breach": op(
        "debit", {"cost_cap_usd": 1.0, "token_cap": 1}, cost_usd=1.5, tokens=2, raises=BudgetExceeded
    ),
    "debit bool tokens": op("debit", {"token_cap": 1}, tokens=True),
    "debit token breach, other numbers": op(
        "debit", {"token_cap": Fraction(1, 2)}, tokens=1, raises=BudgetExceeded
    ),
    "debit spend not a number": op("debit", {"spent_cost_usd": None}, cost_usd=1.0, raises=TypeError),
    "debit tokens not a number": op("debit", {"spent_tokens": None}, tokens=1, raises=TypeError),
    "debit tokens str": op("debit", tokens="3", raises=TypeError),
    "debit tokens conversion fails": op("debit", tokens=float("inf"), raises=OverflowError),
    "debit positional": op("debit", None, 1.0, raises=TypeError),
    "debit tool name subclass": op("debit", tool_name=Text("t"), raises=TypeError),
    "debit cap not comparable": op("debit", {"cost_cap_usd": Raising()}, cost_usd=1.0, raises=TypeError),
    # checks
    "check_depth passes": op("check_depth", {"current_depth": 2}),
    "check_depth breach": op("check_depth", {"current_depth": 2}, 2, raises=BudgetExceeded),
    "check_depth uncapped": op("check_depth", {"max_spawn_depth": -1}, 10**40),
    "check_depth sum fails": op("check_depth", {"current_depth": None}, raises=TypeError),
    "check_depth cap not comparable": op("check_depth", {"max_spawn_depth": Raising()}, raises=TypeError),
    "check_depth argument conversion fails": op("check_depth", None, float("nan"), raises=ValueError),
    "check_fanout passes": op("check_fanout", None, 10),
    "check_fanout breach": op("check_fanout", None, 11.5, raises=BudgetExceeded),
    "check_fanout breach, huge": op("check_fanout", None, 10**400, raises=OverflowError),
    "check_fanout argument str": op("check_fanout", None, "3", raises=TypeError),
    "check_concurrent passes": op("check_concurrent", {"active_child_count": 19}, 1),
    "check_concurrent breach": op("check_concurrent", {"active_child_count": 19}, additional=2, raises=BudgetExceeded),
    "check_concurrent sum fails": op("check_concurrent", {"active_child_count": None}, 1, raises=TypeError),
    "check_concurrent no argument": op("check_concurrent", raises=TypeError),
    "check_can_afford passes": op("check_can_afford", {"cost_cap_usd": 1.0, "spent_cost_usd": 0.75}, 0.25),
    "check_can_afford breach": op(
        "check_can_afford", {"cost_cap_usd": 1.0, "spent_cost_usd": 0.75}, 0.5, raises=BudgetExceeded
    ),
    "check_can_afford other numbers": op(
        "check_can_afford", {"cost_cap_usd": Fraction(1), "spent_cost_usd": Fraction(3, 4)}, 1, raises=BudgetExceeded
    ),
    "check_can_afford remaining fails": Operation(
        lambda: StrictLedger(cost_cap_usd=1.0).check_can_afford(2.0), raises=KeyError
    ),
    "check_can_afford argument not a number": op("check_can_afford", None, None, raises=TypeError),
    # child bookkeeping
    "child bookkeeping": Operation(children, result=(0, 2)),
    "register_child_spawned not a number": op(
        "register_child_spawned", {"cumulative_child_count": None}, raises=TypeError
    ),
    "register_child_completed not a number": op(
        "register_child_completed", {"active_child_count": "1"}, raises=TypeError
    ),
    # from_guards
    "from_guards every rule": Operation(Tallybook.from_guards, ALL_GUARDS),
    "from_guards empty": Operation(Tallybook.from_guards, [], result=Tallybook()),
    "from_guards limit fails": Operation(
        Tallybook.from_guards, [guard("cost", limit_as_usd=failing_limit)], raises=KeyError
    ),
    "from_guards no limit method": Operation(
        Tallybook.from_guards, [SimpleNamespace(type="wall_time")], raises=AttributeError
    ),
    "from_guards type comparison fails": Operation(Tallybook.from_guards, [guard(Raising())], raises=KeyError),
    "from_guards action comparison fails": Operation(
        Tallybook.from_guards, [guard("cost", 1.0, action=Raising())], raises=KeyError
    ),
    "from_guards cap comparison fails": Operation(
        Tallybook.from_guards, [guard("cost", 1.0), guard("cost", Raising())], raises=KeyError
    ),
    "from_guards tuple": Operation(Tallybook.from_guards, (), raises=TypeError),
    # to_trace_data
    "to_trace_data": Operation(
        on("to_trace_data", {"cost_cap_usd": 1.0, "spent_cost_usd": 0.1234567, "token_cap": 5}),
        lines={(("to_trace_data", 195),)},
    ),
    "to_trace_data round fails": op("to_trace_data", {"spent_cost_usd": "x"}, raises=TypeError),
    "to_trace_data remaining fails": Operation(lambda: StrictLedger().to_trace_data(), raises=KeyError),
}
