"""The policy provider protocol and the no-op provider."""

import typing

import pytest

from kelvra_runtime.core.runtime import policy
from kelvra_runtime.core.runtime.policy import NoOpPolicyProvider, PolicyProvider
from models import traceback_lines

QUALNAME = "kelvra_runtime.core.runtime.policy"
SOURCE = "src/kelvra_runtime/core/runtime/policy.py"

METHODS = [
    (PolicyProvider, "get_runtime_configs", 21),
    (PolicyProvider, "get_policy", 29),
    (NoOpPolicyProvider, "get_runtime_configs", 48),
    (NoOpPolicyProvider, "get_policy", 51),
]


class Derived(PolicyProvider):
    pass


class StrSub(str):
    pass


# ---------------------------------------------------------------------------
# The no-op provider


def test_runtime_configs_are_new_empty_dicts():
    provider = NoOpPolicyProvider()
    first = provider.get_runtime_configs()
    second = provider.get_runtime_configs()
    assert first == {} and type(first) is dict
    assert first is not second
    first["limits"] = {"max": 1}
    assert second == {} and provider.get_runtime_configs() == {}


@pytest.mark.parametrize("name", ["", "rate_limit", "\u00e9t\u00e9", "x" * 1000])
def test_every_policy_is_not_found(name):
    provider = NoOpPolicyProvider()
    by_position = provider.get_policy(name)
    by_keyword = provider.get_policy(name=name)
    assert by_position == by_keyword == {}
    assert by_position is not by_keyword


def test_instance_argument_is_not_tested():
    assert NoOpPolicyProvider.get_policy(None, "x") == {}
    assert NoOpPolicyProvider.get_runtime_configs(self=42) == {}
    assert PolicyProvider.get_policy(object(), name="x") is None


def test_protocol_methods_return_none_through_a_subclass():
    provider = Derived()
    assert provider.get_runtime_configs() is None
    assert provider.get_policy("x") is None


# ---------------------------------------------------------------------------
# The name's type and binding


@pytest.mark.parametrize("cls", [NoOpPolicyProvider, Derived])
@pytest.mark.parametrize(
    ("name", "type_name", "noted"),
    [
        (None, "NoneType", False),
        (3, "int", False),
        (b"x", "bytes", False),
        (StrSub("x"), "StrSub", True),
    ],
)
def test_name_must_be_an_exact_str(cls, name, type_name, noted):
    with pytest.raises(TypeError) as info:
        cls().get_policy(name)
    assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {type_name})"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if noted else 0)
    if noted:
        assert "ubclasses of built-in types are refused" in notes[0]
    owner = "NoOpPolicyProvider" if cls is NoOpPolicyProvider else "PolicyProvider"
    assert traceback_lines(info.value, f"{QUALNAME}.{owner}.get_policy") == []  # the caller's error


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: NoOpPolicyProvider().get_policy(), "get_policy() takes exactly 2 positional arguments (1 given)"),
        (
            lambda: NoOpPolicyProvider.get_policy(name="x"),
            "get_policy() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda: NoOpPolicyProvider().get_policy("x", "y"),
            "get_policy() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda: NoOpPolicyProvider().get_policy("x", name="y"),
            "get_policy() got multiple values for keyword argument 'name'",
        ),
        (
            lambda: NoOpPolicyProvider().get_policy("x", policy="y"),
            "get_policy() got an unexpected keyword argument 'policy'",
        ),
        (
            lambda: NoOpPolicyProvider().get_runtime_configs(1),
            "get_runtime_configs() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda: NoOpPolicyProvider.get_runtime_configs(),
            "get_runtime_configs() takes exactly 1 positional argument (0 given)",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# The protocol


def test_providers_are_recognised_by_shape():
    class OnlyPolicy:
        def get_policy(self, name):
            return {}

    class Both(OnlyPolicy):
        def get_runtime_configs(self):
            return {}

    assert isinstance(NoOpPolicyProvider(), PolicyProvider)
    assert isinstance(Both(), PolicyProvider)
    assert not isinstance(OnlyPolicy(), PolicyProvider)
    assert not isinstance(object(), PolicyProvider)
    assert NoOpPolicyProvider.__bases__ == (object,)
    assert PolicyProvider not in NoOpPolicyProvider.__mro__


def test_protocol_class():
    assert type(PolicyProvider) is type(typing.Protocol)
    assert PolicyProvider.__bases__ == (typing.Protocol,)
    assert PolicyProvider._is_protocol and PolicyProvider._is_runtime_protocol
    assert PolicyProvider.__protocol_attrs__ == {"get_runtime_configs", "get_policy"}
    assert "__orig_bases__" not in vars(PolicyProvider)
    with pytest.raises(TypeError, match="Protocols cannot be instantiated"):
        PolicyProvider()


@pytest.mark.parametrize(
    ("cls", "doc_start", "doc_end"),
    [
        (PolicyProvider, "Provides policy configurations at runtime.\n\n    Implementations", "backed)\n    "),
        (NoOpPolicyProvider, "No-op policy provider for standalone runtime.\n\n    Returns", "governance.\n    "),
    ],
)
def test_class_namespaces(cls, doc_start, doc_end):
    assert list(vars(cls))[:4] == ["__module__", "__doc__", "get_runtime_configs", "get_policy"]
    assert cls.__module__ == QUALNAME
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__.startswith(doc_start) and cls.__doc__.endswith(doc_end)


@pytest.mark.parametrize(("cls", "method"), [entry[:2] for entry in METHODS])
def test_method_introspection(cls, method):
    function = vars(cls)[method]
    assert getattr(cls, method) is function
    assert function.__name__ == method
    assert function.__qualname__ == f"{cls.__name__}.{method}"
    assert function.__module__ == QUALNAME
    expected = [("return", "Dict[str, Any]")]
    if method == "get_policy":
        expected.insert(0, ("name", "str"))
    assert list(function.__annotations__.items()) == expected
    instance = Derived() if cls is PolicyProvider else cls()
    bound = getattr(instance, method)
    assert bound.__func__ is function and bound.__self__ is instance


def test_each_method_has_its_own_annotations():
    dicts = [vars(cls)[method].__annotations__ for cls, method, _ in METHODS]
    assert len({id(d) for d in dicts}) == len(dicts)


def test_method_docstrings():
    assert NoOpPolicyProvider.get_runtime_configs.__doc__ is None
    assert NoOpPolicyProvider.get_policy.__doc__ is None
    configs = PolicyProvider.get_runtime_configs.__doc__
    assert configs.startswith("Get all active policy configurations.\n\n        Returns:\n")
    assert configs.endswith("their configurations\n        ")
    one = PolicyProvider.get_policy.__doc__
    assert one.startswith("Get a specific policy configuration.\n\n        Args:\n            name: ")
    assert one.endswith("or empty dict if not found\n        ")


# ---------------------------------------------------------------------------
# The module


def test_module_namespace():
    names = [n for n in vars(policy) if not n.startswith("__") or n in ("__doc__", "__test__")]
    assert names == [
        "__doc__", "Any", "Dict", "Protocol", "runtime_checkable",
        "PolicyProvider", "NoOpPolicyProvider", "__test__",
    ]
    assert policy.Any is typing.Any and policy.Dict is typing.Dict
    assert policy.Protocol is typing.Protocol
    assert policy.runtime_checkable is typing.runtime_checkable
    assert policy.__test__ == {}
    assert policy.__doc__.startswith("Policy provider protocol for runtime policy configuration.\n\n")
    assert policy.__doc__.count("\n") == 4 and policy.__doc__.endswith("policies.\n")


PREPARE_REFUSING = """
import typing
class Namespace(dict):
    def __setitem__(self, key, value):
        if key == {key!r}:
            raise RuntimeError("refused")
        super().__setitem__(key, value)
class Meta(type):
    @classmethod
    def __prepare__(cls, name, bases):
        return Namespace()
class Base(metaclass=Meta):
    pass
typing.Protocol = Base
"""


@pytest.mark.parametrize(
    ("setup", "error", "line"),
    [
        ('sys.modules["typing"] = None', "ModuleNotFoundError", 7),
        (
            'import types; fake = types.ModuleType("typing"); fake.Any = fake.Protocol = '
            'fake.runtime_checkable = 1; sys.modules["typing"] = fake',
            "ImportError: cannot import name Dict",
            7,
        ),
        (
            'import typing\ndef refuse(cls): raise LookupError("no")\ntyping.runtime_checkable = refuse',
            "LookupError",
            10,
        ),
        # The host's class statement calls int() as the metaclass of 5.
        ("import typing; typing.Protocol = 5", "TypeError: int expected at most 2 arguments, got 3", 11),
        (
            "import typing\nclass Entries:\n    def __mro_entries__(self, bases): return [object]\n"
            "typing.Protocol = Entries()",
            "TypeError: __mro_entries__ must return a tuple",
            11,
        ),
        (
            "import typing\nclass A(metaclass=type('M1', (type,), {})): pass\n"
            "class B(metaclass=type('M2', (type,), {})): pass\n"
            "class Entries:\n    def __mro_entries__(self, bases): return (A, B)\n"
            "typing.Protocol = Entries()",
            "TypeError: metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
            "metaclasses of all its bases",
            11,
        ),
        (
            # A metaclass without __prepare__: an empty namespace, and the
            # "class" that it makes is no class, which runtime_checkable refuses.
            "import typing\nclass Maker:\n    def __init__(self, *args): pass\ntyping.Protocol = Maker()",
            "TypeError: issubclass() arg 1 must be a class",
            10,
        ),
        (PREPARE_REFUSING.format(key="get_runtime_configs"), "RuntimeError", 21),
        (PREPARE_REFUSING.format(key="get_policy"), "RuntimeError", 29),
    ],
)
def test_failing_initialisation_is_reported_and_retried(run_python, setup, error, line):
    proc = run_python(
        f"""
        import sys, traceback, typing
        saved_modules = dict(sys.modules)
        saved_typing = dict(vars(typing))
{_indent(setup)}
        try:
            import {QUALNAME}
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
            for entry in traceback.extract_tb(e.__traceback__):
                if entry.name.startswith("init "):
                    print(entry.name, entry.filename, entry.lineno)
        assert {QUALNAME!r} not in sys.modules
        sys.modules.clear()
        sys.modules.update(saved_modules)
        vars(typing).update(saved_typing)
        from {QUALNAME} import NoOpPolicyProvider, PolicyProvider
        print(isinstance(NoOpPolicyProvider(), PolicyProvider))
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith(error)
    assert lines[1:] == [f"init {QUALNAME} {SOURCE} {line}", "True"]


def test_bases_resolved_through_mro_entries(run_python):
    proc = run_python(
        f"""
        import sys, types, typing
        class Entries:
            def __mro_entries__(self, bases):
                return (typing.Protocol,)
        # The module imports a Protocol that resolves to the real one.
        written = Entries()
        sys.modules["typing"] = types.ModuleType("typing")
        vars(sys.modules["typing"]).update(vars(typing), Protocol=written)
        from {QUALNAME} import NoOpPolicyProvider, PolicyProvider
        sys.modules["typing"] = typing
        protocol = typing.Protocol
        print(vars(PolicyProvider)["__orig_bases__"] == (written,), PolicyProvider.__bases__ == (protocol,))
        print(isinstance(NoOpPolicyProvider(), PolicyProvider), "__orig_bases__" in vars(NoOpPolicyProvider))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "True", "True", "False"]


def _indent(code):
    return "\n".join("        " + line for line in code.splitlines())
