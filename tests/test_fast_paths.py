"""The exact-type fast paths give what the general protocol gives.

Each test runs an operation once on values that take a fast path and once
on equal values that cannot (subclasses, non-interned names, numbers beyond
machine size, patched tables and classes), or against the host's own
operation."""

import math
import sys
import traceback

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvra_runtime.core.runtime import waiters
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter, parse_duration
import rendering
from models import run as drive


class Count(int):
    """An int that takes the general protocol."""


class Real(float):
    """A float that takes the general protocol."""


def unshared(name):
    """An equal copy of `name` that is not the interned object."""
    copy = "".join(list(name))
    assert copy == name and copy is not name
    return copy


def outcome(call):
    try:
        result = call()
    except (BudgetExceeded, TypeError, ValueError, OverflowError) as e:
        return type(e).__name__, str(e), getattr(e, "cap_value", None), getattr(e, "would_be", None)
    return result, type(result)


# --- binding -----------------------------------------------------------------


@pytest.mark.parametrize("value", [0, 2, 11, True, 2.9, Count(3), 2**70, "2", None])
def test_positional_arguments_bind_as_keywords_do(value):
    book = Tallybook(current_depth=1, active_child_count=5)
    for check, name in [("check_depth", "additional"), ("check_fanout", "count"), ("check_concurrent", "additional")]:
        method = getattr(book, check)
        assert outcome(lambda: method(value)) == outcome(lambda: method(**{unshared(name): value}))
    assert outcome(lambda: book.check_can_afford(value)) == outcome(lambda: book.check_can_afford(cost_usd=value))


def test_a_positional_float_is_converted_once():
    calls = []

    class Amount:
        def __float__(self):
            calls.append(1)
            return 0.5

    Tallybook(cost_cap_usd=1.0).check_can_afford(Amount())
    assert len(calls) == 1


def test_keywords_that_are_not_the_interned_names_bind_the_same():
    interned, copied = Tallybook(), Tallybook()
    interned.debit(cost_usd=0.25, tokens=3, tool_name="search")
    copied.debit(**{unshared("tool_name"): "search", unshared("tokens"): 3, unshared("cost_usd"): 0.25})
    assert interned == copied
    registry = InMemoryWaiterRegistry()
    drive(registry.register_signal_waiter(SignalWaiter("r", "k", "go")))
    assert drive(registry.resolve_signal(**{unshared("signal_name"): "go", unshared("payload"): {}})) == [
        ("r", "k", {})
    ]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Tallybook().debit(cost_usd=1.0, cost=2), "debit() got an unexpected keyword argument 'cost'"),
        (lambda: BudgetExceeded("r", cap_name="c", cap_value=1), "__init__() needs keyword-only argument would_be"),
        (lambda: Tallybook().check_depth(1, additional=2),
         "check_depth() got multiple values for keyword argument 'additional'"),
    ],
)
def test_keyword_errors_after_identical_names(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# --- ledger arithmetic -------------------------------------------------------

MACHINE_EDGES = [0, 1, 2**30 - 1, 2**30, -(2**30), 2**62, 2**64, -(2**64)]


@pytest.mark.parametrize("big", MACHINE_EDGES)
def test_ints_near_machine_size_count_as_the_general_path_does(big):
    def run(kind):
        book = Tallybook(
            token_cap=kind(big + 10), spent_tokens=kind(big), max_spawn_depth=kind(big + 1),
            current_depth=kind(big), max_concurrent_spawns=kind(big + 2), active_child_count=kind(big),
            max_spawn_fanout=kind(big + 3), cumulative_child_count=kind(big),
        )
        book.tool_call_counts["t"] = kind(big)
        seen = [outcome(book.remaining_tokens), outcome(lambda: book.check_depth(1)),
                outcome(lambda: book.check_depth(2)), outcome(lambda: book.check_concurrent(3)),
                outcome(lambda: book.check_fanout(big + 4))]
        for _ in range(2):
            seen.append(outcome(lambda: book.debit(tokens=6, tool_name="t")))
        book.register_child_spawned()
        book.register_child_completed()
        seen += [book.spent_tokens, book.tool_call_counts["t"], book.active_child_count, book.cumulative_child_count]
        return [repr(s) for s in seen]

    assert run(int) == run(Count)


def test_an_int_subclass_keeps_its_own_arithmetic():
    class Odd(int):
        def __add__(self, other):
            return Odd(int(self) + other + 100)

    assert outcome(lambda: Tallybook(current_depth=Odd(0)).check_depth(1))[0] == "BudgetExceeded"


@pytest.mark.parametrize("spent", [0.75, 1.0, math.nan, math.inf, -math.inf, 1e308])
def test_affordability_of_exact_floats(spent):
    def run(kind):
        return outcome(lambda: Tallybook(cost_cap_usd=kind(1.0), spent_cost_usd=kind(spent)).check_can_afford(0.25))

    assert repr(run(float)) == repr(run(Real))


# --- the snapshot's rounding -------------------------------------------------


def rounded_spend(value):
    return Tallybook(spent_cost_usd=value).to_trace_data()["spent_cost_usd"]


def same_float(a, b):
    return type(a) is type(b) is float and (a == b or (math.isnan(a) and math.isnan(b))) and (
        math.copysign(1, a) == math.copysign(1, b)
    )


@given(st.floats(allow_nan=True, allow_infinity=True) | st.integers(-10**12, 10**12).map(lambda n: n / 2**20))
def test_snapshot_rounds_as_round_does(value):
    assert same_float(rounded_spend(value), round(value, 6))
    assert same_float(rounded_spend(Real(value)), round(value, 6))


@pytest.mark.parametrize(
    "value",
    [0.0078125, -0.0078125, 2.5e-7, 5e-7, 1.5e-6, -1e-30, -0.0, 0.1234565, 8.999999999e9, 9.1e9, 5e-324,
     sys.float_info.max, 0.1 + 0.2],
)
def test_snapshot_rounds_ties_and_extremes_as_round_does(value):
    assert same_float(rounded_spend(value), round(value, 6))


def test_snapshots_are_separate_dicts_in_key_order():
    book = Tallybook()
    first = book.to_trace_data()
    first["extra"] = 1
    first["cost_cap_usd"] = "changed"
    second = book.to_trace_data()
    assert "extra" not in second and second["cost_cap_usd"] == 0.0
    assert list(second) == [k for k in first if k != "extra"]


# --- parse_duration ----------------------------------------------------------


@given(st.text("0123456789", min_size=1, max_size=22), st.sampled_from(["", "s", "m", "h", "d"]))
def test_digit_runs_convert_as_float_does(digits, unit):
    seconds = float(digits) * waiters._DURATION_UNITS.get(unit, 1.0)
    if seconds > 0:
        assert parse_duration(digits + unit) == seconds


@pytest.mark.parametrize(
    ("spec", "seconds"),
    [("\u0661\u0665m", 900.0), ("007s", 7.0), ("123456789012345678", 123456789012345678.0),
     ("9007199254740993", 9007199254740992.0), ("1234567890123456789s", 1234567890123456789.0),
     ("9999999999999999999s", 1e19)],
)
def test_other_digits_and_leading_zeros(spec, seconds):
    assert parse_duration(spec) == seconds


@pytest.mark.parametrize("whole", [*MACHINE_EDGES, -1, -(2**30) - 1, 2**53 + 1, -(2**63)])
def test_ints_convert_as_float_does(whole):
    seconds = parse_duration(whole)
    assert type(seconds) is float and seconds == float(whole) and math.copysign(1, seconds) == math.copysign(1, whole)


def test_int_subclasses_convert_through_their_own_float():
    class Seconds(int):
        def __float__(self):
            return 7.0

    assert parse_duration(Seconds(3)) == 7.0
    with pytest.raises(OverflowError):
        parse_duration(2**1024)


def test_a_table_of_another_mapping_type_is_asked_itself(monkeypatch):
    class Doubling(dict):
        def __getitem__(self, key):
            return 2.0

    monkeypatch.setattr(waiters, "_DURATION_UNITS", Doubling(s=1.0, x=1.0))
    assert parse_duration("3s 1x") == 8.0


# --- signal matching ---------------------------------------------------------

VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.sampled_from(["ok", "", "\u00e9"])
)


class MatchDict(dict):
    """A match that is not exactly a dict, walked through its items()."""


@given(st.dictionaries(st.sampled_from("abc"), VALUES), st.dictionaries(st.sampled_from("abcd"), VALUES))
def test_matches_compares_as_python_does(match, payload):
    expected = all(not (payload.get(k) != v) for k, v in match.items())
    copied = {k: (int(str(v)) if type(v) is int else v) for k, v in payload.items()}  # equal, other objects
    for waiter in SignalWaiter("r", "k", "go", match), SignalWaiter("r", "k", "go", MatchDict(match)):
        assert waiter.matches("go", payload) is expected
        assert waiter.matches("go", copied) is expected


@pytest.mark.parametrize(
    ("expected", "given"),
    [(1000, 2000), (2000, 1000), (-5, 5), (2**40, 2**40 + 1), (2**40, 2**40), (2**30, 2**30), (1, True), (2, 2.0)],
)
def test_matches_compares_ints_as_python_does(expected, given):
    given = int(str(given)) if type(given) is int else given  # not the object in the match
    assert SignalWaiter("r", "k", "go", {"n": expected}).matches("go", {"n": given}) is (given == expected)


def test_registry_calls_matches_as_patched(monkeypatch):
    registry = InMemoryWaiterRegistry()
    plain, own = SignalWaiter("r1", "k", "go"), SignalWaiter("r2", "k", "go")
    own.matches = lambda name, payload: False
    for waiter in (plain, own):
        drive(registry.register_signal_waiter(waiter))
    assert [r[0] for r in drive(registry.resolve_signal(signal_name="go", payload={}))] == ["r1"]
    monkeypatch.setattr(SignalWaiter, "matches", lambda self, name, payload: True)
    del own.matches
    assert [r[0] for r in drive(registry.resolve_signal(signal_name="other", payload={}))] == ["r2"]


# --- pending results ---------------------------------------------------------


class Recording(dict):
    """A dict whose `get` is called, and whose default is then popped from."""

    def get(self, key, default=None):
        self.default = default
        return super().get(key, default)


@pytest.mark.parametrize("pending", [dict, Recording])
def test_results_of_an_unknown_parent_are_a_fresh_dict(pending):
    from kelvra_runtime.core.runtime.spawn import InMemorySpawnDispatcher

    dispatcher = InMemorySpawnDispatcher()
    dispatcher._pending = pending()
    first = drive(dispatcher.collect_results(parent_run_id="nobody", resume_key="k"))
    second = drive(dispatcher.collect_results(parent_run_id="nobody", resume_key="k"))
    assert first == second == {} and type(first) is dict and first is not second
    assert dispatcher._pending == {} and getattr(dispatcher._pending, "default", {}) == {}


# Keyword calls are bound through a mapping kept per keyword-names tuple;
# the same calls with names that are not the interned ones (which the
# general rule binds) and in every order give the same ledger.
DEBIT_KEYWORDS = [
    {"cost_usd": 0.5, "tokens": 7, "tool_name": "search"},
    {"tool_name": "search", "cost_usd": 0.5, "tokens": 7},
    {"tokens": 7},
    {"tool_name": None},
    {},
]


@pytest.mark.parametrize("keywords", DEBIT_KEYWORDS)
def test_keyword_calls_bind_in_any_order(keywords):
    quick, general = Tallybook(), Tallybook()
    for _ in range(3):
        quick.debit(**keywords)
        general.debit(**{unshared(name): value for name, value in keywords.items()})
    assert quick == general


def test_a_changing_keyword_tuple_rebinds():
    book = Tallybook()
    for keywords in [*DEBIT_KEYWORDS, *DEBIT_KEYWORDS[::-1]]:
        before = (book.spent_cost_usd, book.spent_tokens)
        book.debit(**keywords)
        assert book.spent_tokens == before[1] + keywords.get("tokens", 0)
    assert book.tool_call_counts == {"search": 4}


def test_the_same_keyword_tuple_with_more_positional_arguments():
    from test_binding_order import vectorcall

    book = Tallybook(max_spawn_depth=1)
    names = ("additional",)
    assert vectorcall(Tallybook.check_depth, (book,), names, (0,)) is None
    with pytest.raises(TypeError, match=r"^check_depth\(\) got multiple values for keyword argument 'additional'$"):
        vectorcall(Tallybook.check_depth, (book, 0), names, (0,))
    with pytest.raises(BudgetExceeded):
        vectorcall(Tallybook.check_depth, (book,), names, (5,))


@pytest.mark.parametrize(
    ("call", "result"),
    [
        (lambda book: book.check_depth(), None),
        (lambda book: book.check_depth(1), None),
        (lambda book: book.check_depth(additional=1), None),
        (lambda book: book.check_depth(2), "max_spawn_depth breached: would reach depth 3 (cap 2)"),
        (lambda book: book.check_depth(additional=2), "max_spawn_depth breached: would reach depth 3 (cap 2)"),
        (lambda book: book.check_depth(True), None),
        (lambda book: book.check_depth("1"), "Argument 'additional' has incorrect type (expected int, got str)"),
    ],
)
def test_defaults_filled_or_overridden(call, result):
    book = Tallybook(max_spawn_depth=2, current_depth=1)
    try:
        assert call(book) is result
    except (BudgetExceeded, TypeError) as e:
        assert str(e) == result


class TypeName(str):
    """A guard type that takes the general comparison."""


@pytest.mark.parametrize("spell", [str, unshared, TypeName])
def test_guard_types_match_however_they_are_spelled(spell):
    from models import guard

    types = ["cost", "token_count", "spawn_depth", "spawn_fanout", "spawn_concurrent", "wall_time", "other"]
    guards = [guard(spell(name), 3) for name in types]
    assert Tallybook.from_guards(guards) == Tallybook.from_guards([guard(name, 3) for name in types])


def test_a_failed_field_read_carries_what_the_host_suggests_from():
    from types import SimpleNamespace

    book = SimpleNamespace(max_spawn_dept=1)
    with pytest.raises(AttributeError) as info:
        Tallybook.check_depth(book)
    with pytest.raises(AttributeError) as host:
        book.max_spawn_depth  # noqa: B018
    assert (info.value.name, info.value.obj) == ("max_spawn_depth", book)
    # The host words the suggestion itself, differently from one version to the next.
    suggested = traceback.format_exception_only(info.value)
    assert suggested == traceback.format_exception_only(host.value)
    assert "max_spawn_dept" in "".join(suggested)


def test_an_unexpected_keyword_spelled_afresh_is_named():
    with pytest.raises(TypeError, match=r"^debit\(\) got an unexpected keyword argument 'tokenz'$"):
        Tallybook().debit(**{unshared("tokenz"): 1})



@pytest.mark.parametrize("value", [0.5, -0.0, math.inf, Real(0.5), 3, True, 2**70])
def test_breach_fields_are_what_float_gives(value):
    rendered = rendering.load("tallybook").BudgetExceeded("r", cap_name="c", cap_value=value, would_be=value)
    error = BudgetExceeded("r", cap_name="c", cap_value=value, would_be=value)
    for field in ("cap_value", "would_be"):
        made, model = getattr(error, field), getattr(rendered, field)
        assert (type(made), made) == (type(model), model)
        # float() hands an exact float back as it is, and makes a new one
        # of anything else.
        assert (made is value) == (type(value) is float)


class Marked(int):
    """An int whose format() is text of any width."""

    def __format__(self, spec):
        return f"{self.mark}{int(self)}"


@pytest.mark.parametrize("mark", ["", "é", "≈", "😀"])
def test_breach_messages_join_text_of_any_width(mark):
    messages = []
    for module in (rendering.compiled("tallybook"), rendering.load("tallybook")):
        cap = type("Cap", (Marked,), {"mark": mark})(5)
        with pytest.raises(module.BudgetExceeded) as caught:
            module.Tallybook(token_cap=cap).debit(tokens=10)
        messages.append(str(caught.value))
    assert messages[0] == messages[1] == f"tree token cap breached: 10 > {mark}5"


# The interpreter's static objects, some of them placed before None.
STATIC_OBJECTS = [Ellipsis, NotImplemented, True, False, 0, (), b"", int]


@pytest.mark.parametrize("value", STATIC_OBJECTS)
def test_an_optional_str_refuses_every_other_object(value):
    expected = f"Argument 'tool_name' has incorrect type (expected str, got {type(value).__name__})"
    with pytest.raises(TypeError) as info:
        Tallybook().debit(tool_name=value)
    assert str(info.value) == expected
