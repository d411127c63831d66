"""`waiters.parse_duration` and its live unit table."""

import pytest

from kelvra_runtime.core.runtime import waiters
from kelvra_runtime.core.runtime.waiters import parse_duration


@pytest.fixture
def units():
    saved = dict(waiters._DURATION_UNITS)
    yield waiters._DURATION_UNITS
    waiters._DURATION_UNITS = saved


@pytest.mark.parametrize(
    ("spec", "seconds"),
    [
        ("30s", 30.0),
        ("5m", 300.0),
        ("1h", 3600.0),
        ("2h30m", 9000.0),
        ("1d", 86400.0),
        ("1.5h", 5400.0),
        ("90", 90.0),
        ("5m5", 305.0),
        (" 1H ", 3600.0),
        ("1M", 60.0),
        ("1h 30m", 5400.0),
        ("1 5m", 900.0),
        ("\u0663s", 3.0),  # an Arabic-Indic digit is a digit
        ("1d 2h 3m 4s", 93784.0),
        ("\t2H30M\n", 9000.0),
    ],
)
def test_strings(spec, seconds):
    result = parse_duration(spec)
    assert type(result) is float and result == seconds


@pytest.mark.parametrize(("value", "seconds"), [(5, 5.0), (2.5, 2.5), (True, 1.0), (False, 0.0), (-3, -3.0), (0, 0.0)])
def test_numbers_pass_through(value, seconds):
    result = parse_duration(value)
    assert type(result) is float and result == seconds


def test_exact_float_is_returned_itself():
    value = 12.5
    assert parse_duration(value) is value


def test_numeric_subclasses():
    class Seconds(int):
        pass

    class Real(float):
        pass

    assert type(parse_duration(Seconds(4))) is float
    assert parse_duration(Real(1.5)) == 1.5 and type(parse_duration(Real(1.5))) is float


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("", "empty duration string"),
        ("   ", "empty duration string"),
        ("\t", "empty duration string"),
        ("h", "duration unit 'h' with no preceding number in 'h'"),
        ("1hh", "duration unit 'h' with no preceding number in '1hh'"),
        ("-5s", "unrecognized character '-' in duration '-5s'"),
        ("1e3", "unrecognized character 'e' in duration '1e3'"),
        ("2x", "unrecognized character 'x' in duration '2x'"),
        ("0x", "unrecognized character 'x' in duration '0x'"),
        ("2X", "unrecognized character 'x' in duration '2X'"),
        ("0", "duration must be positive: '0'"),
        ("0s", "duration must be positive: '0s'"),
        (" 0.0h ", "duration must be positive: ' 0.0h '"),
        (None, "unsupported duration type: NoneType"),
        (b"5s", "unsupported duration type: bytes"),
        ([1], "unsupported duration type: list"),
    ],
)
def test_errors(value, message):
    with pytest.raises(ValueError) as info:
        parse_duration(value)
    assert str(info.value) == message


@pytest.mark.parametrize("spec", ["1.2.3s", ".", "\u00b2s", "1..5"])
def test_number_text_the_host_cannot_convert(spec):
    with pytest.raises(ValueError, match="could not convert string to float"):
        parse_duration(spec)


def test_huge_int_overflows():
    with pytest.raises(OverflowError):
        parse_duration(10**400)


def test_added_unit_is_used_at_once(units):
    units["w"] = 604800.0
    assert parse_duration("1w2d") == 604800.0 + 2 * 86400.0
    units["ww"] = 1.0
    with pytest.raises(ValueError, match="unrecognized character 'x'"):
        parse_duration("1x")


def test_replaced_table_is_read_by_name(units):
    waiters._DURATION_UNITS = {"s": 2.0}
    assert parse_duration("3s") == 6.0
    with pytest.raises(ValueError, match="unrecognized character 'm'"):
        parse_duration("1m")


def test_table_values_of_other_numeric_types(units):
    from fractions import Fraction

    units["t"] = Fraction(1, 4)
    units["i"] = 7
    assert parse_duration("2t") == 0.5
    assert parse_duration("2i") == 14.0 and type(parse_duration("2i")) is float


def test_table_replaced_during_a_parse(units):
    class Swapping:
        """A key equal to 'm' that replaces the table when it is compared."""

        def __hash__(self):
            return hash("m")

        def __eq__(self, other):
            waiters._DURATION_UNITS = {"m": 1.0, "s": 1.0}
            return other == "m"

    waiters._DURATION_UNITS = {Swapping(): 60.0, "s": 1.0}
    # The membership test sees the old table, the lookup the new one.
    assert parse_duration("2m") == 2.0


def test_missing_table_raises_name_error(units):
    del waiters._DURATION_UNITS
    try:
        with pytest.raises(NameError):
            parse_duration("1s")
        assert parse_duration("12") == 12.0  # digits never consult the table
    finally:
        waiters._DURATION_UNITS = {}


class Spec(str):
    """A str subclass whose own methods take part in normalisation."""

    def strip(self):
        return Spec(str.strip(self).replace("_", ""))


def test_str_subclass_uses_its_own_strip():
    assert parse_duration(Spec(" 1_0s ")) == 10.0


def test_str_subclass_strip_returning_a_list_walks_its_items():
    class Listed(str):
        def strip(self):
            return Pieces(["1", "h"])

    class Pieces(list):
        def lower(self):
            return self

    assert parse_duration(Listed("ignored")) == 3600.0


def test_message_uses_the_argument_as_passed():
    with pytest.raises(ValueError) as info:
        parse_duration(Spec(" 2Q "))
    assert str(info.value) == "unrecognized character 'q' in duration ' 2Q '"


class _Table(dict):
    """A unit table that is not exactly a dict: parse_duration reads it through the general path."""


def _outcome(parse, spec):
    try:
        result = parse(spec)
    except Exception as error:
        return type(error), str(error)
    return type(result), repr(result)


@pytest.mark.parametrize(
    "spec",
    ["30s", " 1H ", "2h30m", "1 5m", "\x1c5s\x1f", "5", "5m5", "0s", "s5", "5x", ".", "1.2.3s", "1..5", "   ", "9" * 400 + "z"],
)
@pytest.mark.parametrize("table", [dict, _Table])
def test_exact_ascii_text_parses_as_the_rendering_does(units, monkeypatch, spec, table):
    import rendering

    rendered = rendering.load("waiters")
    entries = {**units, "z": 0.0}  # inf seconds of a zero unit make a NaN total
    waiters._DURATION_UNITS = table(entries)
    monkeypatch.setattr(rendered, "_DURATION_UNITS", table(entries))
    assert _outcome(parse_duration, spec) == _outcome(rendered.parse_duration, spec)
