"""The installed stubs carry the docstrings that editors show: the module's
own where it has one, and one of the stub's own where it has none."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import rendering

NAMES = rendering.MODULES
MODULES = [importlib.import_module(f"kelvra_runtime.core.runtime.{name}") for name in NAMES]


def documented(tree, prefix=""):
    """(qualified name, stub docstring) of every class and function of a stub
    body, special methods other than `__init__` left out."""
    for node in tree.body:
        if not isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        if node.name.startswith("__") and node.name != "__init__":
            continue
        if node.name != "__init__" or ast.get_docstring(node) is not None:
            yield prefix + node.name, ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            yield from documented(node, f"{prefix}{node.name}.")


def runtime_docstring(module, qualname):
    owner, value = None, module
    for part in qualname.split("."):
        owner, value = value, inspect.getattr_static(value, part)
    if isinstance(value, classmethod):
        value = value.__func__
    # A class without a docstring of its own shows its metaclass's.
    if isinstance(value, type) and value.__doc__ == type(value).__doc__:
        return None
    return inspect.cleandoc(value.__doc__) if value.__doc__ else None


@pytest.mark.parametrize("module", MODULES, ids=NAMES)
def test_stub_docstrings(module):
    stub = ast.parse(Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())
    assert ast.get_docstring(stub) == inspect.cleandoc(module.__doc__)
    found = dict(documented(stub))
    assert [name for name, doc in found.items() if not doc] == []
    differing = {}
    for name, doc in found.items():
        expected = runtime_docstring(module, name)
        if expected is not None and doc != expected:
            differing[name] = (doc, expected)
    assert differing == {}
