"""Binding errors come in the order the binding runs: the positional count,
then every keyword (unexpected, given twice, not a str), and only then the
missing arguments.  One table across the function shapes of all modules."""

import ctypes

import _testcapi

import pytest

from kelvra_runtime.core.runtime import faultsort, policy, spawn, tallybook, waiters
from kelvra_runtime.core.runtime.tallybook import BudgetExceeded, Tallybook
from kelvra_runtime.core.runtime.waiters import InMemoryWaiterRegistry, SignalWaiter

ledger = Tallybook()
signal_waiter = SignalWaiter("run", "key", "sig")
registry = InMemoryWaiterRegistry()
dispatcher = spawn.InMemorySpawnDispatcher()
provider = policy.NoOpPolicyProvider()

UNEXPECTED = "{}() got an unexpected keyword argument 'bogus'"

api = ctypes.pythonapi
api.PyObject_Vectorcall.restype = ctypes.py_object
api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]


def vectorcall(fn, args, kwnames, kwvalues):
    """Calls `fn` as C code may: keyword names not checked by the interpreter."""
    stack = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return api.PyObject_Vectorcall(fn, stack, len(args), tuple(kwnames))


# (id, callable, short name, too many positional arguments with the count
# the message gives, too few, and a too-few call that also gives one
# positional parameter by keyword, with that parameter's name)
SHAPES = [
    ("plain", faultsort.classify_failure, "classify_failure", ({}, {}), 2, (), None),
    ("plain, untyped", waiters.parse_duration, "parse_duration", (1, 2), 2, (), None),
    ("method", signal_waiter.matches, "matches", ("s", {}, 3), 4, ("s",), (("s",), "signal_name")),
    ("method via class", SignalWaiter.matches, "matches", (signal_waiter, "s", {}, 3), 4, (), ((signal_waiter,), "self")),
    ("method, one param", provider.get_policy, "get_policy", ("a", "b"), 3, (), None),
    ("class method", Tallybook.from_guards, "from_guards", ([], []), 3, (), None),
    ("method with default", ledger.check_depth, "check_depth", (1, 2), 3, None, None),
    ("keyword-only with defaults", ledger.debit, "debit", (1,), 2, None, None),
    ("keyword-only required", registry.resolve_signal, "resolve_signal", (1,), 2, None, None),
    ("keyword-only, coroutine", dispatcher.enqueue_children, "enqueue_children", (1,), 2, None, None),
    ("positional and keyword-only", BudgetExceeded, "__init__", ("r", "s"), 3, (), None),
    ("coroutine function", spawn._default_noop_child_runner, "_default_noop_child_runner", (1, 2), 2, (), None),
]


def message_of(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        result = fn(*args, **kwargs)
        if hasattr(result, "close"):
            result.close()
    return str(info.value)


@pytest.mark.parametrize(
    ("fn", "name", "too_many", "given", "too_few", "twice"),
    [shape[1:] for shape in SHAPES],
    ids=[shape[0] for shape in SHAPES],
)
@pytest.mark.parametrize("case", ["too many + unexpected", "too few + unexpected", "too few + twice", "non-str"])
def test_binding_order(fn, name, too_many, given, too_few, twice, case):
    if case == "too many + unexpected":
        message = message_of(fn, *too_many, bogus=1)
        assert message.startswith((f"{name}() takes exactly ", f"{name}() takes at most "))
        assert message.endswith(f" ({given} given)")
    elif case == "too few + unexpected":
        if too_few is None:
            pytest.skip("no positional parameter to leave out")
        assert message_of(fn, *too_few, bogus=1) == UNEXPECTED.format(name)
    elif case == "too few + twice":
        if twice is None:
            pytest.skip("no second positional parameter")
        args, keyword = twice
        expected = f"{name}() got multiple values for keyword argument '{keyword}'"
        assert message_of(fn, *args, **{keyword: 1}) == expected
    elif isinstance(fn, type):
        pytest.skip("the class call turns keywords into a dict first")
    else:
        with pytest.raises(TypeError, match=rf"^{name}\(\) keywords must be strings$"):
            vectorcall(fn, (), (1,), (2,))
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes (exactly|at most) .* \({given} given\)$"):
            vectorcall(fn, too_many, (1,), (2,))
        # The same through the function type's tp_call, whose keyword dict
        # comes unchecked (a bound method's own call would check it first).
        function, first = (fn.__func__, (fn.__self__,)) if hasattr(fn, "__func__") else (fn, ())
        with pytest.raises(TypeError, match=rf"^{name}\(\) keywords must be strings$"):
            _testcapi.pyobject_fastcalldict(function.__call__, first, {1: 2})
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes (exactly|at most) .* \({given} given\)$"):
            _testcapi.pyobject_fastcalldict(function.__call__, (*first, *too_many), {1: 2})


@pytest.mark.parametrize(
    ("fn", "name", "required"),
    [
        (registry.resolve_signal, "resolve_signal", {"signal_name": "s"}),
        (registry.resolve_user_input, "resolve_user_input", {"resume_key": "k"}),
        (dispatcher.enqueue_children, "enqueue_children", {"specs": ()}),
        (dispatcher.collect_results, "collect_results", {"resume_key": "k"}),
        (lambda **kw: BudgetExceeded("r", **kw), "__init__", {"cap_value": 1.0}),
    ],
    ids=["resolve_signal", "resolve_user_input", "enqueue_children", "collect_results", "BudgetExceeded"],
)
def test_missing_keyword_only_after_unexpected(fn, name, required):
    # A missing keyword-only argument is reported only once every keyword
    # is bound: the misspelt one is named instead.
    assert message_of(fn, **required, bogus=1) == UNEXPECTED.format(name)
    missing = message_of(fn, **required)
    assert missing.startswith(f"{name}() needs keyword-only argument ")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: faultsort.classify_failure(data={}), "classify_failure() got an unexpected keyword argument 'data'"),
        (lambda: provider.get_policy(nam="x"), "get_policy() got an unexpected keyword argument 'nam'"),
        (lambda: Tallybook.from_guards(g=[]), "from_guards() got an unexpected keyword argument 'g'"),
        (lambda: waiters.parse_duration(v=1), "parse_duration() got an unexpected keyword argument 'v'"),
        (
            lambda: signal_waiter.matches("s", payloadx={}),
            "matches() got an unexpected keyword argument 'payloadx'",
        ),
        # Through the class, the instance's slot is the one left empty.
        (
            lambda: policy.NoOpPolicyProvider.get_policy(name="x"),
            "get_policy() takes exactly 2 positional arguments (0 given)",
        ),
        (lambda: signal_waiter.matches(payload={}), "matches() takes exactly 3 positional arguments (1 given)"),
        (lambda: ledger.debit(tokens=1, tokens_=2), "debit() got an unexpected keyword argument 'tokens_'"),
        (lambda: ledger.debit(1, bogus=2), "debit() takes exactly 1 positional argument (2 given)"),
        (
            lambda: vectorcall(ledger.debit, (), ("tokens", "tokens"), (1, 2)),
            "debit() got multiple values for keyword argument 'tokens'",
        ),
        (
            lambda: vectorcall(registry.resolve_signal, (), ("payload", "payload"), ({}, {})),
            "resolve_signal() got multiple values for keyword argument 'payload'",
        ),
    ],
)
def test_reported_error(call, message):
    assert message_of(call) == message


def test_defaults_not_reported_missing():
    # A keyword filling a later parameter leaves defaults to fill the rest.
    assert ledger.check_depth(additional=0) is None
    assert message_of(ledger.check_depth, additional=0, bogus=1) == UNEXPECTED.format("check_depth")

