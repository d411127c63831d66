"""The lines that the compiled modules' traceback entries cite are the lines
of src/kelvra_runtime/core/runtime/<module>.py at which the same statement
fails in the plain-Python rendering: each failing statement of
tests/failing.py is made to fail in both, and the compiled entry's line must
be the line of the rendering's frame for that function."""

import linecache
import traceback

import pytest

import failing
import rendering
from failing import SL, TL, WL

PACKAGE = rendering.PACKAGE


def raised(provoke, module):
    with pytest.raises(BaseException) as info:
        provoke(module)
    return info.value


def compiled_line(error, module, qualname):
    """The line of the compiled entry named by the dotted path, which names
    the module's source file."""
    entries = [
        (entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.name == f"{PACKAGE}.{module}.{qualname}"
    ]
    assert len(entries) == 1, entries
    filename, line = entries[0]
    assert filename == f"src/kelvra_runtime/core/runtime/{module}.py"
    return line


def rendered_line(error, module, qualname):
    """The line at which the rendering's frame of `qualname` raised (its innermost one)."""
    lines = [
        tb.tb_lineno
        for tb in walk(error.__traceback__)
        if tb.tb_frame.f_code.co_filename == str(rendering.path(module))
        and tb.tb_frame.f_code.co_qualname == qualname
    ]
    assert lines, f"no frame of {qualname} in {module}.py"
    return lines[-1]


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


@pytest.mark.parametrize(("where", "line", "provoke"), failing.params(failing.CASES))
def test_cited_line_is_the_failing_statement(where, line, provoke):
    module = failing.module_of(where)
    from_compiled = raised(provoke, rendering.compiled(module))
    from_rendering = raised(provoke, rendering.load(module))
    assert (type(from_rendering).__qualname__, str(from_rendering)) == (type(from_compiled).__qualname__, str(from_compiled))
    for name, expected in failing.entries(where, line):
        qualname = name.split(".", 1)[1]
        assert compiled_line(from_compiled, module, qualname) == rendered_line(from_rendering, module, qualname) == expected


def defined_functions(module):
    """(qualname, function) of every function the compiled module defines."""
    m = rendering.compiled(module)
    for name, value in vars(m).items():
        if getattr(value, "__module__", None) != m.__name__:
            continue
        if isinstance(value, type):
            for attr, member in vars(value).items():
                function = member.__func__ if isinstance(member, classmethod) else member
                if type(function).__name__ == "compiled_function":
                    yield f"{name}.{attr}", getattr(value, attr)
        elif type(value).__name__ == "compiled_function":
            yield name, value


DEFINED = [
    pytest.param(module, qualname, id=f"{module}.{qualname}")
    for module in rendering.MODULES
    for qualname, _ in defined_functions(module)
]


@pytest.mark.parametrize("module, qualname", DEFINED)
def test_binding_errors_cite_the_def_line(module, qualname):
    function = dict(defined_functions(module))[qualname]
    with pytest.raises(TypeError) as info:
        function(__unexpected__=1)
    assert compiled_line(info.value, module, qualname) == rendering.lines(module)[qualname]


# The statements the compiled modules cite, each by a fragment of the
# statement that a reader finds at that line of the rendering: for faultsort
# and policy at the lines fixed for them, for the others where the rendering
# names them.
CITED = {
    "faultsort": {15: "def classify_failure(", 36: 'envelope_data.get("last_event"', 39: "last_event.startswith(",
                  44: 'int(envelope_data.get("memory_rss_mb"', 45: "memory_mb > 0"},
    "policy": {7: "from typing import", 10: "@runtime_checkable", 11: "class PolicyProvider(", 41: "class NoOpPolicyProvider",
               49: "return {}", 52: "return {}"},
    "tallybook": {TL["import dataclasses"]: "from dataclasses import", TL["import typing"]: "from typing import",
                  TL["BudgetExceeded"]: "class BudgetExceeded(", TL["Tallybook"] - 1: "@dataclass",
                  TL["Tallybook"]: "class Tallybook", TL.make_ledger: "cls()", TL.trace_return: "return {",
                  TL.trace_first_entry: '"cost_cap_usd"', TL.trace_first_entry + 10: '"remaining_tokens"'},
    "spawn": {SL["import typing"]: "from typing import", SL["import .exceptions"]: "from .exceptions import",
              SL["ChildResult"]: "class ChildResult(", SL["SpawnDispatcher"] - 1: "@runtime_checkable",
              SL["SpawnDispatcher"]: "class SpawnDispatcher(", SL["InMemorySpawnDispatcher"]: "class InMemorySpawnDispatcher",
              SL.await_child: "await _awaitable(self._child_runner(spec))", SL.store_results: "self._pending.setdefault(",
              SL.pop_results: "self._pending.get(", SL.noop_result: "return ChildResult("},
    "waiters": {WL["import time"]: "import time", WL["import dataclasses"]: "from dataclasses import",
                WL["import typing"]: "from typing import", WL["SignalWaiter"] - 1: "@dataclass",
                WL["SignalWaiter"]: "class SignalWaiter", WL["TimerWaiter"] - 1: "@dataclass",
                WL["TimerWaiter"]: "class TimerWaiter", WL["UserInputWaiter"] - 1: "@dataclass",
                WL["UserInputWaiter"]: "class UserInputWaiter", WL["WaiterRegistry"] - 1: "@runtime_checkable",
                WL["WaiterRegistry"]: "class WaiterRegistry(", WL["InMemoryWaiterRegistry"]: "class InMemoryWaiterRegistry",
                WL["_DURATION_UNITS"]: "_DURATION_UNITS = {", WL["parse_duration"]: "def parse_duration("},
}  # fmt: skip


@pytest.mark.parametrize("module, line, fragment", [(m, n, f) for m, lines in CITED.items() for n, f in lines.items()])
def test_cited_line_reads_as_its_statement(module, line, fragment):
    assert fragment in linecache.getline(str(rendering.path(module)), line)
