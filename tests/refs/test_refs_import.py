"""Import behaviour leaks nothing: a failing module exec, repeated, and the
refused re-initialisation; an import with any one allocation failing
fails properly and leaves a later import working; so does an exec with any
one allocation failing, and the introspection of the functions it made.
Each in a fresh interpreter, since a module initialises once per process."""

import os
import sys

import pytest

import rendering

PACKAGE = "kelvra_runtime.core.runtime"
HERE = os.path.dirname(__file__)

# A copy of a module whose class decorator `name` refuses the class it is
# given: an exec that applies it fails after making that class, its
# functions and what comes before, and `Refused` carries the class out.
# `Entries` stands for other bases, as a generic alias does.
REFUSING = """
import types

class Refused(ImportError):
    pass

def refusing(module, name, **replaced):
    def refuse(cls):
        raise Refused(cls)
    copy = types.ModuleType(module.__name__)
    vars(copy).update(vars(module), **replaced)
    setattr(copy, name, refuse)
    return copy

class Entries:
    def __init__(self, *bases):
        self.bases = bases

    def __mro_entries__(self, bases):
        return self.bases
"""

# How each module's exec is made to fail: a dependency refused, before the
# module made anything; or a class refused, which frees what it made.
FAILING_EXEC = {
    "waiters": 'sys.modules["dataclasses"] = None',
    "tallybook": 'sys.modules["dataclasses"] = None',
    "policy": 'sys.modules["typing"] = None',
    "spawn": f'sys.modules["{PACKAGE}.exceptions"] = types.ModuleType("{PACKAGE}.exceptions")',
    "tallybook, a class refused": 'sys.modules["dataclasses"] = refusing(dataclasses, "dataclass")',
    "spawn, a class refused": 'sys.modules["typing"] = refusing(typing, "runtime_checkable")',
}


def checked(run_python, code):
    proc = run_python(f"import sys; sys.path.insert(0, {HERE!r})\n" + code)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("failure", FAILING_EXEC)
def test_failing_exec_then_import(run_python, failure):
    module = failure.split(",")[0]
    out = checked(
        run_python,
        f"""
import importlib, sys, types
import dataclasses, time, typing
import leakcheck
{REFUSING}

# What the modules import is imported once, before: a failed import forgets
# what it imported, and importing a module afresh each round would grow.
importlib.import_module("{PACKAGE}.exceptions")

def failing():
    saved = dict(sys.modules)
    {FAILING_EXEC[failure]}
    try:
        importlib.import_module("{PACKAGE}.{module}")
    except ImportError:
        pass
    else:
        raise AssertionError("imported")
    finally:
        sys.modules.clear()
        sys.modules.update(saved)

leakcheck.assert_no_leak(failing, rounds=50)
import importlib.util
spec = importlib.util.find_spec("{PACKAGE}.{module}")
m = importlib.util.module_from_spec(spec)
# Module objects made before the first exec, each refused once: the host
# does not run the exec slot of a module object again after a failure, and
# keeps a memory block with each one it refused (freed with it), so only
# references are counted there.
others = iter([importlib.util.module_from_spec(spec) for _ in range(4000)])
spec.loader.exec_module(m)
leakcheck.assert_no_leak(lambda: spec.loader.exec_module(m))

def refused():
    try:
        spec.loader.exec_module(next(others))
    except RuntimeError:
        return
    raise AssertionError("initialised again")

leakcheck.assert_no_leak(refused, blocks=False)
print("ok")
""",
    )
    assert out.strip() == "ok"


# The debug build of CPython 3.15.0 aborts in its own list append when an
# allocation fails there (`_Py_Dealloc`'s "stackpointer != NULL" assertion,
# called from `_PyList_AppendTakeRefListResize`: six lines of plain Python
# appending under `_testcapi.set_nomemory` abort so), which an import's or
# an exec's sweep reaches in the host's import system and class creation.
host_append_aborts = pytest.mark.skipif(
    sys.version_info >= (3, 15), reason="the host's debug build aborts in its own list append"
)


@host_append_aborts
@pytest.mark.parametrize("module", rendering.MODULES)
def test_import_with_an_allocation_failing(run_python, module):
    out = checked(
        run_python,
        f"""
import importlib, sys
import _testcapi

name = "{PACKAGE}.{module}"
importlib.import_module("{PACKAGE}")
for k in range(100000):
    saved = dict(sys.modules)
    _testcapi.set_nomemory(k, k + 1)
    try:
        importlib.import_module(name)
    except SystemError:
        raise
    except Exception:
        sys.modules.clear()
        sys.modules.update(saved)
    else:
        break
    finally:
        _testcapi.remove_mem_hooks()
m = importlib.import_module(name)
print(k > 0, m.__test__)
""",
    )
    assert out.strip() == "True {}"


# An exec refused at a class, with the signature of one function it made,
# which must come out whole or not at all: the signature is kept once
# made, so each call is given a function made afresh.  Policy's Protocol is
# a base that `__mro_entries__` resolves to object, as a generic alias
# resolves to its class, so that the bases are resolved too (and typing's
# weak caches, whose sizes wander, are left out).
REFUSED_EXEC = {
    "tallybook": (
        'sys.modules["dataclasses"] = refusing(dataclasses, "dataclass")',
        "debit",
        "inspect.signature(function)",
        "(self, *, cost_usd: 'float' = 0.0, tokens: 'int' = 0, tool_name: 'Optional[str]' = None) -> 'None'",
    ),
    "policy": (
        'sys.modules["typing"] = refusing(typing, "runtime_checkable", Protocol=Entries(object))',
        "get_policy",
        "function.__signature__",
        "(self, name: 'str') -> 'Dict[str, Any]'",
    ),
}


@host_append_aborts
@pytest.mark.parametrize("module", REFUSED_EXEC)
def test_refused_exec_when_allocations_fail(run_python, module):
    refusal, method, introspection, signature = REFUSED_EXEC[module]
    out = checked(
        run_python,
        f"""
import gc, importlib, importlib.util, inspect, sys
import dataclasses, typing
import leakcheck
{REFUSING}
name = "{PACKAGE}.{module}"
importlib.import_module("{PACKAGE}.exceptions")
spec = importlib.util.find_spec(name)
{refusal}

def refused():
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except Refused as refusal:
        return refusal.args[0]
    finally:
        sys.modules.pop(name, None)  # where the exec put it
    raise AssertionError("initialised")

def made():
    gc.collect()  # what the last exec made
    return getattr(refused(), "{method}")

signatures = set()

def introspect(function):
    signatures.add(str({introspection}))

leakcheck.assert_sound_when_allocations_fail(leakcheck.Operation(refused))
leakcheck.assert_sound_when_allocations_fail(leakcheck.Operation(introspect, setup=made))
print(signatures)
""",
    )
    assert out.strip() == str({signature})


def test_refused_subinterpreters(run_python):
    out = checked(
        run_python,
        f"""
import _interpreters
from concurrent import interpreters
import leakcheck
import {PACKAGE}.waiters

def legacy():
    iid = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.run_string(iid, "import {PACKAGE}.waiters")
        assert failure.type.__name__ == "ImportError", failure
    finally:
        _interpreters.destroy(iid)

def isolated():
    interp = interpreters.create()
    try:
        interp.exec("import {PACKAGE}.waiters")
    except interpreters.ExecutionFailed as e:
        assert e.excinfo.type.__name__ == "ImportError", e
    else:
        raise AssertionError("imported")
    finally:
        interp.close()

leakcheck.assert_no_leak(legacy, rounds=10)
leakcheck.assert_no_leak(isolated, rounds=10)
print("ok")
""",
    )
    assert out.strip() == "ok"
