"""`tallybook`: the spawn-tree budget ledger and `BudgetExceeded`."""

import copy
import dataclasses
import enum
import math
import pickle
from fractions import Fraction
from types import SimpleNamespace

import pytest
import rendering
from models import guard, ledger_state, outcome

from kelvra_runtime.core.runtime import tallybook
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook

QUALNAME = "kelvra_runtime.core.runtime.tallybook"


@dataclasses.dataclass
class StrictLedger(Tallybook):
    max_spawn_depth: int = 1

    def remaining_usd(self):
        return 42.0


class QuotaExceeded(BudgetExceeded):
    pass


class Real(float):
    """A float that the ledger must treat through the general protocol."""


class Count(int):
    """An int that the ledger must treat through the general protocol."""


class Tag(enum.StrEnum):
    COST = "cost"


def breach(call):
    with pytest.raises(BudgetExceeded) as info:
        call()
    e = info.value
    return str(e), e.cap_name, e.cap_value, e.would_be


def test_namespaces():
    names = [n for n in vars(tallybook) if not n.startswith("__") or n in ("__doc__", "__test__")]
    assert names == ["__doc__", "dataclass", "field", "Any", "Optional", "BudgetExceeded", "Tallybook", "__test__"]
    assert tallybook.__doc__.startswith("Tree-aware cost + spawn tracking for Phase 1.1.\n")
    methods = [n for n, v in vars(Tallybook).items() if callable(v) or isinstance(v, classmethod)]
    assert methods[:11] == [
        "remaining_usd", "remaining_tokens", "debit", "check_depth", "check_fanout", "check_concurrent",
        "check_can_afford", "register_child_spawned", "register_child_completed", "from_guards", "to_trace_data",
    ]
    assert Tallybook.debit.__kwdefaults__ == {"cost_usd": 0.0, "tokens": 0, "tool_name": None}


# --- BudgetExceeded ----------------------------------------------------------


class _Recorder(Exception):
    def __init__(self, *args):
        self.seen = args
        super().__init__(*args)


class _Mixed(BudgetExceeded, _Recorder):
    pass


def test_budget_exceeded():
    e = BudgetExceeded("over", cap_name="token_cap", cap_value=100, would_be=Fraction(240, 2))
    assert (e.cap_name, e.cap_value, e.would_be) == ("token_cap", 100.0, 120.0)
    assert type(e.cap_value) is float and type(e.would_be) is float
    assert e.args == ("over",) and str(e) == "over"
    # The base initialiser is the class after BudgetExceeded in the MRO.
    assert _Mixed("why", cap_name="x", cap_value=1, would_be=2).seen == ("why",)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("r",), {"cap_name": "c", "cap_value": 1}, "__init__() needs keyword-only argument would_be"),
        (("r", "c"), {"cap_value": 1, "would_be": 2}, "__init__() takes exactly 2 positional arguments (3 given)"),
        ((b"r",), {"cap_name": "c", "cap_value": 1, "would_be": 2}, "expected str, got bytes"),
        (("r",), {"cap_name": "c", "cap_value": "1", "would_be": 2}, "must be real number, not str"),
    ],
)
def test_budget_exceeded_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        BudgetExceeded(*args, **kwargs)
    assert message in str(info.value)


@pytest.mark.parametrize(
    "clone", [copy.copy, copy.deepcopy] + [lambda e, p=p: pickle.loads(pickle.dumps(e, p)) for p in range(6)]
)
@pytest.mark.parametrize("cls", [BudgetExceeded, QuotaExceeded])
def test_budget_exceeded_round_trips(clone, cls):
    e = cls("over", cap_name="cost_cap_usd", cap_value=1, would_be=1.5)
    e.add_note("context")
    again = clone(e)
    assert type(again) is cls and again is not e
    assert again.args == ("over",) and vars(again) == vars(e)


# --- the record and from_guards ----------------------------------------------


def test_record_shape():
    fields = {f.name: f.type for f in dataclasses.fields(Tallybook)}
    assert list(fields) == list(Tallybook.__match_args__) and len(fields) == 13
    assert fields["tool_call_counts"] == "dict[str, int]" and fields["max_spawn_depth"] == "int"
    a, b = Tallybook(), Tallybook()
    assert (a.max_spawn_depth, a.max_spawn_fanout, a.max_concurrent_spawns) == (3, 10, 20)
    assert a.tool_call_counts == {} and a.tool_call_counts is not b.tool_call_counts
    assert Tallybook.__hash__ is None


def test_ledger_survives_pickle_and_deepcopy():
    for ledger in (Tallybook(cost_cap_usd=2.5, spent_tokens=7, tool_call_counts={"search": 2}), StrictLedger()):
        for again in (pickle.loads(pickle.dumps(ledger)), copy.deepcopy(ledger)):
            assert type(again) is type(ledger) and again == ledger
            assert again.tool_call_counts is not ledger.tool_call_counts


@pytest.mark.parametrize(
    ("guards", "expected"),
    [
        ([], {}),
        ([guard("cost", 5.0), guard("cost", 2.0)], {"cost_cap_usd": 2.0}),
        ([guard("cost", 2.0), guard("cost", 5.0)], {"cost_cap_usd": 2.0}),
        ([guard("token_count", 1000), guard("token_count", 0)], {"token_cap": 0}),
        ([guard("token_count", 1000), guard("token_count", 0), guard("token_count", 500)], {"token_cap": 500}),
        ([guard("spawn_depth", 5), guard("spawn_depth", 2)], {"max_spawn_depth": 2}),
        ([guard("spawn_depth", 2), guard("spawn_depth", 5)], {"max_spawn_depth": 5}),
        ([guard("spawn_fanout", 4), guard("spawn_concurrent", 9)], {"max_spawn_fanout": 4, "max_concurrent_spawns": 9}),
        ([guard("wall_time", 60.0), guard("wall_time", 30.0)], {"wall_time_cap_seconds": 30.0}),
        ([guard("cost", 4.0, action="warn"), guard("cost", 3.0, action="require_approval")], {}),
        ([guard(Tag.COST, 4.0, action="abort")], {"cost_cap_usd": 4.0}),
        ([guard(None, 4.0), guard("tokens", 4)], {}),
        ([guard("spawn_depth", -1)], {"max_spawn_depth": -1}),
        # Limits of any type compare as min() compares them: strs by order.
        ([guard("token_count", "9"), guard("token_count", "10")], {"token_cap": "10"}),
    ],
)
def test_from_guards(guards, expected):
    assert Tallybook.from_guards(guards) == dataclasses.replace(Tallybook(), **expected)


def test_from_guards_details():
    # A tie keeps the current cap.
    assert type(Tallybook.from_guards([guard("cost", 2.0), guard("cost", 2)]).cost_cap_usd) is float
    ledger = StrictLedger.from_guards([guard("cost", 1.0)])
    assert type(ledger) is StrictLedger and ledger.max_spawn_depth == 1


READS = []


class Logged(Tallybook):
    """A ledger that logs its reads of the caps the order tests watch."""

    def __getattribute__(self, name):
        if name in ("cost_cap_usd", "token_cap", "spent_cost_usd"):
            READS.append(name)
        return super().__getattribute__(name)


def logging_guard(type, limit):
    def fetch():
        READS.append("limit")
        return limit

    return SimpleNamespace(type=type, limit_as_usd=fetch, limit_as_count=fetch)


@pytest.mark.parametrize(
    ("tag", "limit", "order"),
    [
        # The cost rule tests the current cap before it asks for the limit;
        # the token rule asks for the limit once, first.
        ("cost", 2.0, ["cost_cap_usd", "limit"]),
        ("token_count", 5, ["limit", "token_cap"]),
    ],
)
def test_from_guards_order_of_reads(tag, limit, order):
    READS.clear()
    assert type(Logged.from_guards([logging_guard(tag, limit)])) is Logged
    assert READS == order


def test_remaining_usd_reads_both_fields_again():
    ledger = Logged(cost_cap_usd=5.0, spent_cost_usd=1.0)
    READS.clear()
    assert ledger.remaining_usd() == 4.0
    assert READS == ["cost_cap_usd", "cost_cap_usd", "spent_cost_usd"]


class _Broken:
    @property
    def type(self):
        raise ValueError("no type")


class _Vanishing:
    @property
    def type(self):
        raise AttributeError("gone")


def test_from_guards_errors():
    with pytest.raises(ValueError, match="no type"):
        Tallybook.from_guards([_Broken()])
    assert Tallybook.from_guards([_Vanishing()]) == Tallybook()
    with pytest.raises(AttributeError, match="limit_as_usd"):
        Tallybook.from_guards([SimpleNamespace(type="cost")])
    for guards, got in [((), "tuple"), (None, "NoneType"), (type("L", (list,), {})(), "L")]:
        with pytest.raises(TypeError) as info:
            Tallybook.from_guards(guards)
        assert str(info.value) == f"Argument 'guards' has incorrect type (expected list, got {got})"


@pytest.mark.parametrize("spent", [-5, "many"])
def test_an_uncapped_ledger_does_not_read_its_spend(spent):
    twin = rendering.load("tallybook").Tallybook
    for cls in (Tallybook, twin):
        ledger = cls(spent_tokens=spent, spent_cost_usd=spent)
        assert (ledger.remaining_usd(), ledger.remaining_tokens()) == (0.0, 0)


# --- debit -------------------------------------------------------------------


def test_debit_records_then_checks():
    uncapped = Tallybook()
    uncapped.debit(cost_usd=1e12, tokens=10**30, tool_name="llm")
    assert (uncapped.remaining_usd(), uncapped.remaining_tokens()) == (0.0, 0)

    ledger = Tallybook(cost_cap_usd=1.0)
    ledger.debit(cost_usd=1.0)
    assert breach(lambda: ledger.debit(cost_usd=0.5)) == (
        "tree cost cap breached: spent=$1.5000 > cap=$1.0000", "cost_cap_usd", 1.0, 1.5,
    )
    assert ledger.spent_cost_usd == 1.5

    both = Tallybook(cost_cap_usd=1.0, token_cap=10)
    assert breach(lambda: both.debit(cost_usd=2.0, tokens=11, tool_name="x"))[1] == "cost_cap_usd"
    assert (both.spent_cost_usd, both.spent_tokens, both.tool_call_counts) == (2.0, 11, {"x": 1})
    assert breach(lambda: Tallybook(token_cap=10).debit(tokens=11)) == (
        "tree token cap breached: 11 > 10", "token_cap", 10.0, 11.0,
    )


@pytest.mark.parametrize(
    ("kwargs", "spent", "tokens"),
    [
        ({"cost_usd": -1.0, "tokens": -5}, 0.0, 0),
        ({"cost_usd": math.nan}, 0.0, 0),
        ({"cost_usd": Fraction(1, 4), "tokens": 2.9}, 0.25, 2),
        ({"cost_usd": 1, "tokens": True}, 1.0, 1),
    ],
)
def test_debit_clamps_and_converts(kwargs, spent, tokens):
    ledger = Tallybook(spent_cost_usd=0)
    ledger.debit(**kwargs)
    assert type(ledger.spent_cost_usd) is float and ledger.spent_cost_usd == spent
    assert type(ledger.spent_tokens) is int and ledger.spent_tokens == tokens


def test_tool_counts():
    ledger = Tallybook()
    for name in ("search", "search", "", None):
        ledger.debit(tool_name=name)
    assert ledger.tool_call_counts == {"search": 2}

    class Counts(dict):
        def get(self, key, default=None):
            return 10

    ledger = Tallybook(tool_call_counts=Counts())
    ledger.debit(tool_name="x")
    assert ledger.tool_call_counts == {"x": 11}


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((0.5,), {}, "debit() takes exactly 1 positional argument (2 given)"),
        ((), {"tokens": "5"}, "Argument 'tokens' has incorrect type (expected int, got str)"),
        ((), {"tool_name": 5}, "Argument 'tool_name' has incorrect type (expected str, got int)"),
        ((), {"cost_usd": "1"}, "must be real number, not str"),
    ],
)
def test_debit_argument_errors(args, kwargs, message):
    ledger = Tallybook()
    with pytest.raises(TypeError) as info:
        ledger.debit(*args, **kwargs)
    assert message in str(info.value) and ledger == Tallybook()


def test_field_errors_propagate_after_earlier_updates():
    ledger = Tallybook(spent_tokens="many")
    with pytest.raises(TypeError):
        ledger.debit(cost_usd=1.0, tokens=1, tool_name="x")
    assert ledger.spent_cost_usd == 1.0 and ledger.tool_call_counts == {}


# --- pre-flight checks -------------------------------------------------------


@pytest.mark.parametrize(
    ("fields", "passing", "failing", "expected"),
    [
        ({"current_depth": 2}, lambda t: t.check_depth(), lambda t: t.check_depth(2),
         ("max_spawn_depth breached: would reach depth 4 (cap 3)", "max_spawn_depth", 3.0, 4.0)),
        ({"active_child_count": 50}, lambda t: t.check_fanout(10), lambda t: t.check_fanout(11),
         ("max_spawn_fanout breached: requested 11 children (cap 10)", "max_spawn_fanout", 10.0, 11.0)),
        ({"active_child_count": 19}, lambda t: t.check_concurrent(1), lambda t: t.check_concurrent(2),
         ("max_concurrent_spawns breached: 19 in flight + 2 requested (cap 20)", "max_concurrent_spawns", 20.0, 21.0)),
        ({"cost_cap_usd": 1.0, "spent_cost_usd": 0.75}, lambda t: t.check_can_afford(0.25),
         lambda t: t.check_can_afford(0.5),
         ("child of $0.5000 wouldn't fit: remaining $0.2500", "cost_cap_usd", 1.0, 1.25)),
        ({"cost_cap_usd": 1.0, "spent_cost_usd": 1.5}, lambda t: t.check_can_afford(-0.5),
         lambda t: t.check_can_afford(-0.25),
         ("child of $-0.2500 wouldn't fit: remaining $0.0000", "cost_cap_usd", 1.0, 1.25)),
    ],
)
def test_checks(fields, passing, failing, expected):
    ledger = Tallybook(**fields)
    passing(ledger)
    assert breach(lambda: failing(ledger)) == expected
    assert ledger == Tallybook(**fields)


@pytest.mark.parametrize("off", [0, -1, -0.0])
def test_caps_of_zero_or_less_are_off(off):
    caps = ("cost_cap_usd", "token_cap", "max_spawn_depth", "max_spawn_fanout", "max_concurrent_spawns")
    ledger = Tallybook(**dict.fromkeys(caps, off))
    ledger.debit(cost_usd=1e9, tokens=10**9)
    ledger.check_depth(10**9)
    ledger.check_fanout(10**9)
    ledger.check_concurrent(10**9)
    ledger.check_can_afford(1e9)
    assert repr((ledger.remaining_usd(), ledger.remaining_tokens())) == "(0.0, 0)"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda t: t.check_concurrent(), "check_concurrent() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t.check_depth(1, 2), "check_depth() takes at most 2 positional arguments (3 given)"),
        (lambda t: t.check_fanout("3"), "Argument 'count' has incorrect type (expected int, got str)"),
    ],
)
def test_check_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Tallybook())
    assert str(info.value) == message


# --- bookkeeping, snapshot, subclasses ---------------------------------------


def test_child_bookkeeping():
    ledger = Tallybook()
    ledger.register_child_completed()
    assert ledger.active_child_count == 0
    ledger.register_child_spawned()
    ledger.register_child_completed()
    assert (ledger.active_child_count, ledger.cumulative_child_count) == (0, 1)
    ledger.active_child_count = 0.5
    ledger.register_child_completed()
    assert type(ledger.active_child_count) is int and ledger.active_child_count == 0


def test_trace_data():
    assert list(Tallybook().to_trace_data().items()) == [
        ("cost_cap_usd", 0.0), ("token_cap", 0), ("max_spawn_depth", 3), ("max_spawn_fanout", 10),
        ("spent_cost_usd", 0.0), ("spent_tokens", 0), ("current_depth", 0), ("active_child_count", 0),
        ("cumulative_child_count", 0), ("remaining_usd", 0.0), ("remaining_tokens", 0),
    ]
    cap = 10**40
    data = Tallybook(cost_cap_usd=1.0, spent_cost_usd=0.1234567, token_cap=cap).to_trace_data()
    assert data["spent_cost_usd"] == 0.123457 and data["remaining_usd"] == 0.876543
    assert data["token_cap"] is cap and data["remaining_tokens"] == cap


def test_subclass_overrides_are_honoured():
    ledger = StrictLedger(cost_cap_usd=1.0, spent_cost_usd=1.0)
    assert breach(lambda: ledger.check_can_afford(0.5))[0] == "child of $0.5000 wouldn't fit: remaining $42.0000"
    assert ledger.to_trace_data()["remaining_usd"] == 42.0
    assert breach(lambda: ledger.check_depth(2))[0] == "max_spawn_depth breached: would reach depth 2 (cap 1)"


# --- exact-type paths agree with the general protocol ------------------------


def outcomes(kind):
    """Every operation on a ledger whose numeric fields hold `kind` values."""
    numbers = {
        "cost_cap_usd": 2, "token_cap": 10, "max_spawn_depth": 3, "max_spawn_fanout": 4,
        "max_concurrent_spawns": 5, "spent_cost_usd": 1, "spent_tokens": 4, "current_depth": 1,
        "active_child_count": 2,
    }
    ledger = Tallybook(**{name: kind(value) for name, value in numbers.items()})
    steps = [
        ledger.remaining_usd, ledger.remaining_tokens, ledger.to_trace_data,
        lambda: ledger.check_depth(2), lambda: ledger.check_depth(3), lambda: ledger.check_fanout(4),
        lambda: ledger.check_fanout(5), lambda: ledger.check_concurrent(3), lambda: ledger.check_concurrent(4),
        lambda: ledger.check_can_afford(1.0), lambda: ledger.check_can_afford(1.5),
        lambda: ledger.debit(cost_usd=0.5, tokens=6), lambda: ledger.debit(tokens=1), ledger.register_child_completed,
        lambda: ledger.debit(cost_usd=0.75), ledger.remaining_usd, ledger.to_trace_data,
    ]
    seen = []
    for step in steps:
        try:
            result = step()
            seen.append(repr((result, type(result).__name__ if type(result) in (float, int) else "")))
        except BudgetExceeded as e:
            seen.append(repr((str(e), e.cap_name, e.cap_value, e.would_be)))
    return seen


@pytest.mark.parametrize(("exact", "general"), [(float, Real), (int, Count)])
def test_exact_fields_behave_as_their_subclasses(exact, general):
    assert outcomes(exact) == outcomes(general)


def test_fields_of_another_number_type():
    ledger = Tallybook(cost_cap_usd=Fraction(2), spent_cost_usd=Fraction(1, 2), token_cap=Fraction(10))
    left = ledger.remaining_usd()
    assert type(left) is Fraction and left == Fraction(3, 2)
    assert repr(ledger.remaining_tokens()) == "10"
    assert breach(lambda: ledger.check_can_afford(2.0)) == (
        "child of $2.0000 wouldn't fit: remaining $1.5000", "cost_cap_usd", 2.0, 2.5,
    )
    ledger.debit(cost_usd=0.25)
    assert type(ledger.spent_cost_usd) is float and ledger.spent_cost_usd == 0.75


@pytest.mark.parametrize("kind", [float, Real])
def test_nan_caps_never_fire(kind):
    ledger = Tallybook(cost_cap_usd=kind(math.nan), spent_cost_usd=kind(1.0))
    assert ledger.remaining_usd() == 0.0
    ledger.check_can_afford(10.0)
    ledger.debit(cost_usd=10.0)


def test_remaining_tokens_wants_a_number():
    class Weird:
        def __sub__(self, other):
            return self

        def __gt__(self, other):
            return True

        def __le__(self, other):
            return False

    with pytest.raises(TypeError, match="^Expected int, got Weird$"):
        Tallybook(token_cap=Weird()).remaining_tokens()



# ---------------------------------------------------------------------------
# The reads an operation makes, against the rendering


def logging_ledger(cls, log, **fields):
    """A ledger of a subclass of `cls` that logs every field it gives out."""
    names = {f.name for f in dataclasses.fields(Tallybook)}

    class Logging(cls):
        def __getattribute__(self, name):
            if name in names:
                log.append(name)
            return super().__getattribute__(name)

    return Logging(**fields)


LEDGER = dict(cost_cap_usd=1.0, token_cap=10, spent_cost_usd=0.5, spent_tokens=5, current_depth=2,
              active_child_count=19, max_spawn_fanout=4)  # fmt: skip
OPERATIONS = {
    "debit within the caps": lambda l: l.debit(cost_usd=0.25, tokens=1, tool_name="t"),
    "debit over the cost cap": lambda l: l.debit(cost_usd=1.0, tokens=100, tool_name="t"),
    "debit over the token cap": lambda l: l.debit(tokens=6),
    "remaining_usd": lambda l: l.remaining_usd(),
    "remaining_tokens": lambda l: l.remaining_tokens(),
    "check_depth passes": lambda l: l.check_depth(),
    "check_depth breaches": lambda l: l.check_depth(2),
    "check_fanout breaches": lambda l: l.check_fanout(5),
    "check_concurrent breaches": lambda l: l.check_concurrent(2),
    "check_can_afford breaches": lambda l: l.check_can_afford(0.75),
    "register_child_completed": lambda l: l.register_child_completed(),
    "to_trace_data": lambda l: l.to_trace_data(),
}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_fields_read_as_the_rendering_reads_them(operation):
    def reads(module):
        log = []
        ledger = logging_ledger(module.Tallybook, log, **LEDGER)
        log.clear()
        result = outcome(operation, ledger)
        return result, log

    assert reads(tallybook) == reads(rendering.load("tallybook"))


def test_guards_read_as_the_rendering_reads_them():
    def reads(module):
        log = []

        class Guard:
            def __init__(self, type_, limit):
                self.type_, self.limit = type_, limit

            def __getattr__(self, name):
                log.append(name)
                if name == "type":
                    return self.type_
                if name.startswith("limit_as_"):
                    return lambda: log.append(f"{name}()") or self.limit
                raise AttributeError(name)

        class Ledger(module.Tallybook):
            def __getattribute__(self, name):
                if name in ("cost_cap_usd", "token_cap"):
                    log.append(name)
                return super().__getattribute__(name)

        guards = [Guard("cost", 2.0), Guard("cost", 1.0), Guard("token_count", 5), Guard("token_count", 9),
                  Guard("spawn_depth", 4), Guard("wall_time", 60.0)]  # fmt: skip
        return outcome(lambda: ledger_state(Ledger.from_guards(guards))), log

    assert reads(tallybook) == reads(rendering.load("tallybook"))
