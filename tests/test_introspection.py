"""The modules as Python's own tools see them: signatures against the
installed stubs, help(), data-class fields, resolved type hints, pickling."""

import ast
import asyncio
import dataclasses
import importlib
import inspect
import io
import pickle
import pydoc
import typing
from pathlib import Path
from typing import Any, Optional

import pytest

import rendering
from kelvra_runtime.core.runtime.exceptions import ChildSpec
from kelvra_runtime.core.runtime.faultsort import classify_failure
from kelvra_runtime.core.runtime.spawn import ChildResult, InMemorySpawnDispatcher
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import (
    InMemoryWaiterRegistry,
    SignalWaiter,
    TimerWaiter,
    UserInputWaiter,
)

NAMES = rendering.MODULES
MODULES = [importlib.import_module(f"kelvra_runtime.core.runtime.{name}") for name in NAMES]
SOME_DEFAULT = object()  # a stub default written as `...`


def own_classes(module):
    return [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module.__name__]


def functions_of(namespace, prefix=""):
    """The frame's function objects of a namespace, by qualified name; a
    class method's function is listed under the class method's name."""
    found = {}
    for name, value in vars(namespace).items():
        if isinstance(value, classmethod):
            value = value.__func__
        # Each module links its own copy of the frame, so its own function type.
        if type(value).__name__ == "compiled_function":
            found[prefix + name] = value
    return found


def all_functions(module):
    found = functions_of(module)
    for cls in own_classes(module):
        found.update(functions_of(cls, cls.__name__ + "."))
    return found


def is_api(qualname):
    """A name the stubs declare: all but the special methods other than `__init__`."""
    name = qualname.rpartition(".")[2]
    return name == "__init__" or not (name.startswith("__") and name.endswith("__"))


def stub_of(module):
    short = module.__name__.rpartition(".")[2]
    return ast.parse(Path(module.__file__).with_name(f"{short}.pyi").read_text())


def stub_defs(tree):
    """The `def`s of a stub by qualified name, and its data classes."""
    defs, records = {}, {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            defs[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    defs[f"{node.name}.{item.name}"] = item
            if any(isinstance(d, ast.Name) and d.id == "dataclass" for d in node.decorator_list):
                records[node.name] = node
    return defs, records


def stub_default(node):
    if node is None:
        return inspect.Parameter.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return SOME_DEFAULT
    return ast.literal_eval(node)


def stub_params(node):
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, stub_default(d)) for a, d in zip(positional, defaults)]
    params += [
        (a.arg, inspect.Parameter.KEYWORD_ONLY, stub_default(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    return params


def runtime_params(function, stub):
    """The function's parameters as `stub_params` gives them; a default that
    the stub writes as `...` stands for any default."""
    params = list(inspect.signature(function).parameters.values())
    stub_defaults = [d for _, _, d in stub] + [None] * (len(params) - len(stub))
    return [
        (p.name, p.kind, SOME_DEFAULT if d is SOME_DEFAULT and p.default is not p.empty else p.default)
        for p, d in zip(params, stub_defaults)
    ]


STUBBED = [(m, qualname, f) for m in MODULES for qualname, f in all_functions(m).items() if is_api(qualname)]


@pytest.mark.parametrize(
    "module, qualname, function", STUBBED, ids=[f"{m.__name__.rpartition('.')[2]}.{q}" for m, q, _ in STUBBED]
)
def test_signature_agrees_with_the_stub(module, qualname, function):
    defs, _ = stub_defs(stub_of(module))
    assert qualname in defs, "not in the stub"
    stub = defs[qualname]
    expected = stub_params(stub)
    assert runtime_params(function, expected) == expected
    assert inspect.iscoroutinefunction(function) == isinstance(stub, ast.AsyncFunctionDef)


@pytest.mark.parametrize("module", MODULES, ids=NAMES)
def test_every_stub_def_exists_at_runtime(module):
    defs, _ = stub_defs(stub_of(module))
    assert set(defs) <= set(all_functions(module))


@pytest.mark.parametrize("module", [m for m in MODULES if stub_defs(stub_of(m))[1]], ids=lambda m: m.__name__)
def test_data_class_fields_agree_with_the_stub(module):
    _, records = stub_defs(stub_of(module))
    for name, node in records.items():
        declared = [(s.target.id, stub_default(s.value)) for s in node.body if isinstance(s, ast.AnnAssign)]
        runtime = [
            (
                f.name,
                SOME_DEFAULT
                if f.default_factory is not dataclasses.MISSING
                else (inspect.Parameter.empty if f.default is dataclasses.MISSING else f.default),
            )
            for f in dataclasses.fields(getattr(module, name))
        ]
        assert runtime == declared, name


@pytest.mark.parametrize(
    "instance", [InMemoryWaiterRegistry(), Tallybook(), InMemorySpawnDispatcher()], ids=type
)
def test_bound_methods_drop_the_instance(instance):
    for name, function in functions_of(type(instance)).items():
        if name == "from_guards":
            assert list(inspect.signature(getattr(instance, name)).parameters) == ["guards"]
            continue
        unbound = list(inspect.signature(function).parameters.values())
        assert list(inspect.signature(getattr(instance, name)).parameters.values()) == unbound[1:]


def first_line(doc):
    return inspect.cleandoc(doc).partition("\n")[0]


def documented(module):
    """Every object of the module that carries a docstring and that pydoc
    lists (private module-level names are left out)."""
    objects = [module] + own_classes(module) + list(all_functions(module).values())
    return [
        o
        for o in objects
        if isinstance(o.__doc__, str) and o.__doc__.strip() and pydoc.visiblename(o.__name__.rpartition(".")[2])
    ]


@pytest.mark.parametrize("module", MODULES, ids=NAMES)
def test_help_renders_every_docstring(module):
    out = io.StringIO()
    pydoc.Helper(output=out).help(module)
    text = out.getvalue()
    for obj in documented(module):
        assert first_line(obj.__doc__) in text, obj
    for name in (qualname.rpartition(".")[2] for qualname in all_functions(module)):
        assert not pydoc.visiblename(name) or f"{name}(" in text
    html = pydoc.html.page(pydoc.describe(module), pydoc.html.document(module))
    assert pydoc.html.escape(first_line(module.__doc__)).replace(" ", "&nbsp;") in html


@pytest.mark.parametrize("cls", [c for m in MODULES for c in own_classes(m)], ids=lambda c: c.__name__)
def test_help_on_a_class(cls):
    out = io.StringIO()
    pydoc.Helper(output=out).help(cls)
    text = out.getvalue()
    assert f"class {cls.__name__}" in text
    assert first_line(cls.__doc__) in text
    for name, function in functions_of(cls).items():
        assert f"{name}(" in text
        if function.__doc__:
            assert first_line(function.__doc__) in text


RECORD_HINTS = {
    SignalWaiter: {
        "parent_run_id": str,
        "resume_key": str,
        "signal_name": str,
        "match": dict[str, Any],
        "timeout_at_unix": float,
    },
    TimerWaiter: {"parent_run_id": str, "resume_key": str, "resume_at_unix": float},
    UserInputWaiter: {
        "parent_run_id": str,
        "resume_key": str,
        "question": str,
        "choices": Optional[list[str]],
        "timeout_at_unix": float,
    },
    Tallybook: {
        "cost_cap_usd": float,
        "token_cap": int,
        "wall_time_cap_seconds": float,
        "max_spawn_depth": int,
        "max_spawn_fanout": int,
        "max_concurrent_spawns": int,
        "spent_cost_usd": float,
        "spent_tokens": int,
        "started_at_monotonic": float,
        "current_depth": int,
        "active_child_count": int,
        "cumulative_child_count": int,
        "tool_call_counts": dict[str, int],
    },
}


@pytest.mark.parametrize("record", list(RECORD_HINTS), ids=lambda c: c.__name__)
def test_record_type_hints_resolve_in_the_module(record):
    module = importlib.import_module(record.__module__)
    hints = typing.get_type_hints(record, globalns=vars(module))
    assert hints == RECORD_HINTS[record]
    assert [f.name for f in dataclasses.fields(record)] == list(hints)
    assert all(isinstance(f.type, str) for f in dataclasses.fields(record))


@pytest.mark.parametrize(
    "function", [f for m in MODULES for f in all_functions(m).values()], ids=lambda f: f.__qualname__
)
def test_function_type_hints_resolve(function):
    hints = typing.get_type_hints(function)
    assert set(hints) == set(function.__annotations__)


def test_hints_name_the_module_classes():
    hints = typing.get_type_hints(InMemorySpawnDispatcher.collect_results)
    assert hints["return"] == dict[str, ChildResult]
    assert typing.get_type_hints(Tallybook.from_guards)["return"] is Tallybook
    assert typing.get_type_hints(InMemoryWaiterRegistry.register_timer)["waiter"] is TimerWaiter


def roundtrips(obj):
    return [pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize(
    "record",
    [
        SignalWaiter("run-1", "k", "approved", {"by": ["ops"]}, 5.0),
        TimerWaiter("run-1", "k", 1_750_000_000.0),
        UserInputWaiter("run-1", "k", "Ship it?", ["yes", "no"], 9.5),
        Tallybook(cost_cap_usd=2.0, spent_cost_usd=0.5, tool_call_counts={"search": 2}),
    ],
    ids=type,
)
def test_records_pickle(record):
    for again in roundtrips(record):
        assert type(again) is type(record)
        assert again == record


def test_a_raised_breach_pickles():
    with pytest.raises(BudgetExceeded) as raised:
        Tallybook(token_cap=10).debit(tokens=11)
    for again in roundtrips(raised.value):
        assert type(again) is BudgetExceeded
        assert (again.args, again.cap_name, again.cap_value, again.would_be) == (
            ("tree token cap breached: 11 > 10",),
            "token_cap",
            10.0,
            11.0,
        )


def test_results_pickle():
    async def produce():
        registry = InMemoryWaiterRegistry(clock=lambda: 10.0)
        await registry.register_signal_waiter(SignalWaiter("run-1", "sig", "go"))
        await registry.register_timer(TimerWaiter("run-1", "nap", 9.0))
        dispatcher = InMemorySpawnDispatcher()
        await dispatcher.enqueue_children(
            parent_run_id="run-1", parent_resume_key="k", specs=(ChildSpec("a"),), return_when="all", timeout_seconds=1
        )
        return [
            await registry.resolve_signal(signal_name="go", payload={"n": 1}),
            await registry.sweep_expired_timers(),
            await dispatcher.collect_results(parent_run_id="run-1", resume_key="k"),
            Tallybook().to_trace_data(),
            classify_failure({"last_event": "signal_SIGTERM"}),
        ]

    for result in asyncio.run(produce()):
        for again in roundtrips(result):
            assert again == result
    child_results = asyncio.run(produce())[2]
    for again in roundtrips(child_results):
        assert [type(r) for r in again.values()] == [ChildResult]


@pytest.mark.parametrize(
    "function",
    [f for m in MODULES for q, f in all_functions(m).items() if q != "Tallybook.from_guards"],
    ids=lambda f: f.__qualname__,
)
def test_functions_pickle_by_reference(function):
    assert all(again is function for again in roundtrips(function))


def test_bound_methods_pickle():
    ledger = Tallybook(cost_cap_usd=1.0)
    for again in roundtrips(ledger.remaining_usd):
        assert again() == 1.0
    assert all(again == Tallybook.from_guards for again in roundtrips(Tallybook.from_guards))
