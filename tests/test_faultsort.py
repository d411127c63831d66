"""classify_failure: the likely cause of a failed run, from its envelope data."""

import collections
import enum
import math
import sys

import pytest
import rendering
from hypothesis import given, settings
from hypothesis import strategies as st
from models import traceback_lines

from kelvra_runtime.core.runtime import faultsort
from kelvra_runtime.core.runtime.faultsort import classify_failure

rendered = rendering.load("faultsort")

QUALNAME = "kelvra_runtime.core.runtime.faultsort"
FUNCNAME = f"{QUALNAME}.classify_failure"
SOURCE = "src/kelvra_runtime/core/runtime/faultsort.py"
RESULTS = ("terminated_by_signal", "suspected_oom", "abnormal_exit", "unknown")


def outcome(function, envelope_data):
    try:
        return ("result", function(envelope_data))
    except Exception as e:
        return ("error", type(e), str(e))


def our_lines(error):
    """The lines of the traceback entries that classify_failure added."""
    return traceback_lines(error, FUNCNAME)


class StrSub(str):
    pass


class IntSub(int):
    pass


class Level(enum.IntEnum):
    HIGH = 7


def is_error_class(value):
    return isinstance(value, type) and issubclass(value, BaseException)


class Prefixed:
    """An event whose startswith answers `answer` (an exception class is
    raised), recording its argument."""

    def __init__(self, answer):
        self.answer = answer
        self.asked = []

    def startswith(self, prefix):
        self.asked.append(prefix)
        if is_error_class(self.answer):
            raise self.answer("no answer")
        return self.answer


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if is_error_class(self.value):
            raise self.value("no reading")
        return self.value

    def __repr__(self):
        return f"IntLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class CollidingKey:
    """A key hashed like `text` whose comparison raises `error`."""

    def __init__(self, text, error):
        self.text = text
        self.error = error

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise self.error


# ---------------------------------------------------------------------------
# Worked cases

ABSENT = object()

WORKED_CASES = [
    ("signal_SIGTERM", ABSENT, "terminated_by_signal"),
    ("signal_", ABSENT, "terminated_by_signal"),
    ("signal_SIGKILL", 4096, "terminated_by_signal"),
    ("SIGNAL_TERM", ABSENT, "abnormal_exit"),
    ("exit_signal_9", ABSENT, "abnormal_exit"),
    ("signal_\u00e9t\u00e9", ABSENT, "terminated_by_signal"),
    ("aaaaaaa\u00e9", ABSENT, "abnormal_exit"),  # below the prefix, and not one byte a character
    ("completed", 0, "abnormal_exit"),
    (ABSENT, 1, "suspected_oom"),
    (ABSENT, 0, "abnormal_exit"),
    (ABSENT, -3, "abnormal_exit"),
    (ABSENT, "2048", "suspected_oom"),
    (ABSENT, " 2048 ", "suspected_oom"),
    (ABSENT, "2048.5", "abnormal_exit"),
    (ABSENT, "n/a", "abnormal_exit"),
    (ABSENT, None, "abnormal_exit"),
    (ABSENT, [512], "abnormal_exit"),
    (ABSENT, 0.9, "abnormal_exit"),
    (ABSENT, 1.5, "suspected_oom"),
    (ABSENT, True, "suspected_oom"),
]


@pytest.mark.parametrize("other_keys", [{}, {"run_id": "r-1", "memory_mb": 4096}], ids=["alone", "with-others"])
@pytest.mark.parametrize(("last_event", "memory_rss_mb", "expected"), WORKED_CASES)
def test_worked_cases(last_event, memory_rss_mb, expected, other_keys):
    envelope = dict(other_keys)
    if last_event is not ABSENT:
        envelope["last_event"] = last_event
    if memory_rss_mb is not ABSENT:
        envelope["memory_rss_mb"] = memory_rss_mb
    before = dict(envelope)
    assert classify_failure(envelope) == expected
    assert envelope == before  # read only, nothing inserted


@pytest.mark.parametrize(
    ("envelope", "expected"),
    [
        ({}, "unknown"),
        ({"memory_mb": 4096}, "abnormal_exit"),
        ({"exit_code": 137}, "abnormal_exit"),
    ],
)
def test_cases_without_the_two_keys(envelope, expected):
    assert classify_failure(envelope) == expected
    assert "last_event" not in envelope and "memory_rss_mb" not in envelope


def test_equal_results_are_one_object():
    envelopes = {
        "unknown": [{}, {}],
        "terminated_by_signal": [{"last_event": "signal_A"}, {"last_event": StrSub("signal_B")}],
        "suspected_oom": [{"memory_rss_mb": 1}, {"memory_rss_mb": " 7 "}],
        "abnormal_exit": [{"x": 1}, {"memory_rss_mb": "n/a"}],
    }
    for result, (first, second) in envelopes.items():
        assert classify_failure(first) is classify_failure(second) == result


# ---------------------------------------------------------------------------
# Binding and the argument's type


@pytest.mark.parametrize(
    ("argument", "type_name", "noted"),
    [
        (None, "NoneType", False),
        ([], "list", False),
        ((("last_event", "signal_X"),), "tuple", False),
        (collections.OrderedDict(last_event="signal_SIGTERM"), "collections.OrderedDict", True),
        (collections.defaultdict(int), "collections.defaultdict", True),
        (type("EnvelopeDict", (dict,), {})(), "EnvelopeDict", True),
    ],
)
def test_only_an_exact_dict_is_classified(argument, type_name, noted):
    with pytest.raises(TypeError) as info:
        classify_failure(argument)
    assert str(info.value) == (
        f"Argument 'envelope_data' has incorrect type (expected dict, got {type_name})"
    )
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if noted else 0)
    if noted:
        assert "ubclasses of built-in types are refused" in notes[0]
    assert our_lines(info.value) == []  # a refused type is the caller's error


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "classify_failure() takes exactly 1 positional argument (0 given)"),
        (({}, {}), {}, "classify_failure() takes exactly 1 positional argument (2 given)"),
        ((), {"data": {}}, "classify_failure() got an unexpected keyword argument 'data'"),
        (
            ({},),
            {"envelope": {}},
            "classify_failure() got an unexpected keyword argument 'envelope'",
        ),
        (
            ({},),
            {"envelope_data": {}},
            "classify_failure() got multiple values for keyword argument 'envelope_data'",
        ),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        classify_failure(*args, **kwargs)
    assert str(info.value) == message
    assert our_lines(info.value) == [(SOURCE, 15)]


def test_keyword_argument():
    assert classify_failure(envelope_data={}) == "unknown"
    assert classify_failure(envelope_data={"memory_rss_mb": 3}) == "suspected_oom"


# ---------------------------------------------------------------------------
# The signal test: the stored object's own startswith, unguarded


@pytest.mark.parametrize(
    ("last_event", "error"),
    [
        (None, AttributeError),
        (42, AttributeError),
        (["signal_"], AttributeError),
        (b"signal_SIGTERM", TypeError),
    ],
)
def test_event_without_a_str_startswith_raises(last_event, error):
    with pytest.raises(error) as info:
        classify_failure({"last_event": last_event, "memory_rss_mb": 4096})
    assert our_lines(info.value) == [(SOURCE, 39)]


@pytest.mark.parametrize(
    ("answer", "expected"),
    [
        (True, "terminated_by_signal"),
        (1, "terminated_by_signal"),
        ("yes", "terminated_by_signal"),
        (False, "suspected_oom"),
        (0, "suspected_oom"),
        ("", "suspected_oom"),
        (None, "suspected_oom"),
    ],
)
def test_event_startswith_answer_is_taken_as_truth(answer, expected):
    event = Prefixed(answer)
    assert classify_failure({"last_event": event, "memory_rss_mb": 8}) == expected
    assert event.asked == ["signal_"]


def test_errors_of_the_signal_test_propagate():
    class Unclear:
        def __bool__(self):
            raise ValueError("no truth")

    for event in (Prefixed(ValueError), Prefixed(Unclear())):
        with pytest.raises(ValueError) as info:
            classify_failure({"last_event": event})
        assert our_lines(info.value) == [(SOURCE, 39)]


def test_str_subclass_uses_its_own_startswith():
    class Always(str):
        def startswith(self, prefix):
            return True

    assert classify_failure({"last_event": Always("completed")}) == "terminated_by_signal"
    assert classify_failure({"last_event": StrSub("completed")}) == "abnormal_exit"


@pytest.mark.parametrize(
    "text",
    [
        "signal_", "signal_SIGTERM", "signal", "signa_", "Signal_x", "xsignal_", "", "s",
        "signal_\u00e9", "signal_\u20ac", "signal_\U0001f600", "\u20acsignal_", "signa\u0142_",
    ],
)
def test_exact_str_event_matches_str_startswith(text):
    expected = "terminated_by_signal" if text.startswith("signal_") else "abnormal_exit"
    assert classify_failure({"last_event": text}) == expected
    assert classify_failure({"last_event": StrSub(text)}) == expected


def test_lookup_error_of_last_event_propagates():
    envelope = {CollidingKey("last_event", KeyError("eq")): 1}
    with pytest.raises(KeyError) as info:
        classify_failure(envelope)
    assert our_lines(info.value) == [(SOURCE, 36)]


# ---------------------------------------------------------------------------
# The memory test: guarded against ValueError and TypeError only


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (float("nan"), "abnormal_exit"),
        (-0.5, "abnormal_exit"),
        (10**40, "suspected_oom"),
        (-(10**40), "abnormal_exit"),
        (IntSub(5), "suspected_oom"),
        (IntSub(0), "abnormal_exit"),
        (Level.HIGH, "suspected_oom"),
        (False, "abnormal_exit"),
        (b"64", "suspected_oom"),
        (b"x", "abnormal_exit"),
        (bytearray(b"3"), "suspected_oom"),
        (IntLike(3), "suspected_oom"),
        (IntLike(0), "abnormal_exit"),
        (IntLike("3"), "abnormal_exit"),  # __int__ returned non-int: TypeError
        (IntLike(ValueError), "abnormal_exit"),
        (IntLike(UnicodeError), "abnormal_exit"),  # a ValueError subclass
        (IndexLike(2), "suspected_oom"),
        (IndexLike(-2), "abnormal_exit"),
        (object(), "abnormal_exit"),
        ({"mb": 1}, "abnormal_exit"),
        (1 + 2j, "abnormal_exit"),
    ],
)
def test_memory_readings(value, expected):
    assert classify_failure({"memory_rss_mb": value}) == expected


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (float("inf"), OverflowError),
        (float("-inf"), OverflowError),
        (IntLike(KeyError), KeyError),
        (IntLike(RuntimeError), RuntimeError),
    ],
)
def test_other_memory_errors_propagate(value, error):
    with pytest.raises(error) as info:
        classify_failure({"last_event": "", "memory_rss_mb": value})
    assert our_lines(info.value) == [(SOURCE, 44)]


def test_lookup_errors_of_the_memory_reading_are_guarded_too():
    quiet = {CollidingKey("memory_rss_mb", TypeError("eq")): 1}
    assert classify_failure(quiet) == "abnormal_exit"
    loud = {CollidingKey("memory_rss_mb", LookupError("eq")): 1}
    with pytest.raises(LookupError) as info:
        classify_failure(loud)
    assert our_lines(info.value) == [(SOURCE, 44)]


@pytest.mark.parametrize(
    "text",
    [
        "0", "000", "0001", "2048", "9" * 30, "1" * 640, "1" * 641, "0" * 700,
        "", " ", "1_000", "_1", "1__0", "+5", "-5", "-0", " 12\n", "0x10", "1e3", "12a",
        "\u0663", "\uff12\uff10", "\u0660", "\U0001d7d9",
    ],
)
def test_str_readings_parse_as_int_does(text):
    try:
        expected = "suspected_oom" if int(text) > 0 else "abnormal_exit"
    except ValueError:
        expected = "abnormal_exit"
    assert classify_failure({"memory_rss_mb": text}) == expected
    assert classify_failure({"memory_rss_mb": StrSub(text)}) == expected


@pytest.fixture
def int_digit_limit():
    saved = sys.get_int_max_str_digits()
    yield sys.set_int_max_str_digits
    sys.set_int_max_str_digits(saved)


@pytest.mark.parametrize(("digits", "expected"), [(640, "suspected_oom"), (641, "abnormal_exit")])
def test_digit_limit_of_int_applies(int_digit_limit, digits, expected):
    int_digit_limit(640)
    assert classify_failure({"memory_rss_mb": "1" * digits}) == expected
    assert classify_failure({"memory_rss_mb": StrSub("1" * digits)}) == expected


# ---------------------------------------------------------------------------
# Against the plain model, on arbitrary dicts

odd_values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.floats(allow_nan=True, allow_infinity=True),
    st.binary(max_size=6),
    st.text(max_size=12),
    st.sampled_from(["signal_", "signal_SIGKILL", "signal", "2048", " 2048 ", "0", "-1", "1_0", "\u0663"]),
    st.text(alphabet="0123456789", min_size=1, max_size=700),
    st.builds(StrSub, st.sampled_from(["signal_x", "12", "0", "x"])),
    st.builds(IntSub, st.integers(-5, 5)),
    st.builds(IntLike, st.one_of(st.integers(-5, 5), st.just("1"), st.just(ValueError))),
    st.builds(IndexLike, st.integers(-5, 5)),
    st.builds(Prefixed, st.sampled_from([True, False, 1, 0, "", "x", None])),
    st.lists(st.integers(), max_size=2),
)
envelopes = st.dictionaries(
    st.sampled_from(["last_event", "memory_rss_mb", "memory_mb", "exit_code"]), odd_values
)


@settings(deadline=None)
@given(envelopes)
def test_agrees_with_the_model(envelope):
    assert outcome(classify_failure, envelope) == outcome(rendered.classify_failure, envelope)


# ---------------------------------------------------------------------------
# The module


def test_module_namespace():
    names = [n for n in vars(faultsort) if not n.startswith("__") or n in ("__doc__", "__test__")]
    assert names == ["__doc__", "classify_failure", "__test__"]
    assert faultsort.__test__ == {}


def test_introspection():
    f = classify_failure
    assert f.__name__ == f.__qualname__ == "classify_failure"
    assert f.__module__ == QUALNAME
    assert list(f.__annotations__.items()) == [("envelope_data", "dict"), ("return", "str")]


def test_docstrings_name_the_results_in_order():
    usage = faultsort.__doc__.splitlines()[-1]
    assert usage == '    # Returns: "terminated_by_signal", "suspected_oom", "abnormal_exit", or "unknown"'
    assert faultsort.__doc__.endswith("\n")
    doc = classify_failure.__doc__
    assert doc.startswith("Classify a workflow failure based on envelope data.\n\n    Analyzes")
    assert doc.endswith('        - "unknown": No envelope data available\n    ')
    listed = [line.split('"')[1] for line in doc.splitlines() if line.startswith('        - "')]
    assert listed == list(RESULTS)
