"""The shared module frame, seen through `waiters`: the module object,
argument binding, introspection and traceback entries (import behaviour is
tests/test_import.py's, for all five modules)."""

import importlib
import inspect
import pickle
import sys
import traceback

import pytest

import rendering
from kelvra_runtime.core.runtime import waiters

QUALNAME = "kelvra_runtime.core.runtime.waiters"


def test_import_twice_gives_one_module():
    again = importlib.import_module(QUALNAME)
    assert again is waiters
    assert sys.modules[QUALNAME] is waiters
    assert waiters.__name__ == QUALNAME
    assert waiters.__file__.endswith(".so")
    assert waiters.__package__ == "kelvra_runtime.core.runtime"
    assert waiters.__test__ == {}


def test_traceback_entry_names_the_function():
    with pytest.raises(ValueError) as info:
        waiters.parse_duration("2x")
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.name == f"{QUALNAME}.parse_duration"
    assert last.filename == "src/kelvra_runtime/core/runtime/waiters.py"
    assert last.lineno > 0


def test_binding_error_reported_at_the_def_line():
    with pytest.raises(TypeError) as info:
        waiters.parse_duration()
    entries = traceback.extract_tb(info.value.__traceback__)
    assert entries[-1].name == f"{QUALNAME}.parse_duration"
    assert entries[-1].lineno == rendering.lines("waiters")["parse_duration"]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "parse_duration() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "parse_duration() takes exactly 1 positional argument (2 given)"),
        ((1,), {"value": 2}, "parse_duration() got multiple values for keyword argument 'value'"),
        ((), {"value": 1, "other": 2}, "parse_duration() got an unexpected keyword argument 'other'"),
        ((), {"other": 2}, "parse_duration() got an unexpected keyword argument 'other'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        waiters.parse_duration(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_binding():
    assert waiters.parse_duration(value="1h") == 3600.0


def test_function_introspection():
    f = waiters.parse_duration
    assert f.__name__ == f.__qualname__ == "parse_duration"
    assert f.__module__ == QUALNAME
    assert f.__doc__.startswith("Parse a duration spec into seconds.\n")
    assert f.__annotations__ == {"return": "float"}
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    sig = inspect.signature(f)
    assert str(sig) == "(value) -> 'float'"
    assert not inspect.iscoroutinefunction(f)
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    assert pickle.loads(pickle.dumps(f)) is f


def test_namespace_order():
    names = [n for n in vars(waiters) if not n.startswith("__") or n in ("__doc__", "__test__")]
    assert names[0] == "__doc__" and names[-1] == "__test__"
    assert names.index("time") < names.index("dataclass") < names.index("runtime_checkable")
    assert names.index("_DURATION_UNITS") < names.index("parse_duration")
