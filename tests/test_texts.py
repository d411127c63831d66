"""The texts each compiled module carries are its rendering's, word for word:
for the module and every function, class and method the rendering defines,
the docstring, the signature, the annotations and keyword defaults stored,
and the order of the namespaces.

A compiled docstring is the rendering's as written, indentation and all,
where the host dedents the rendering's own `__doc__`: it is read from the
rendering's source."""

import ast
import inspect
import json
import linecache

import pytest

import rendering


@pytest.fixture(scope="module")
def namespaces(run_interpreter):
    """Each module's namespace order as its initialisation leaves it, read
    in a fresh interpreter (tests elsewhere rebind module globals, which
    moves them to the end)."""
    code = (
        "import importlib, json\n"
        "print(json.dumps({m: [n for n in vars(importlib.import_module('kelvra_runtime.core.runtime.' + m))"
        " if not n.startswith('__') or n in ('__doc__', '__test__')]"
        f" for m in {rendering.MODULES!r}}}))"
    )
    proc = run_interpreter("-c", code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def unwrap(member):
    return member.__func__ if isinstance(member, (classmethod, staticmethod)) else member


def rendering_only(module, value):
    """A helper the compiled module lacks: its `def` line says so."""
    return inspect.isfunction(value) and "# @rendering-only" in linecache.getline(
        str(rendering.path(module)), value.__code__.co_firstlineno
    )


def defined(module):
    """The qualified names of the functions, classes and methods the
    rendering defines (those dataclasses writes for it included)."""
    rendered = rendering.load(module)
    for name, value in vars(rendered).items():
        if getattr(value, "__module__", None) != rendered.__name__ or rendering_only(module, value):
            continue
        yield name
        if isinstance(value, type):
            for attr, member in vars(value).items():
                if inspect.isfunction(unwrap(member)) and unwrap(member).__module__ == rendered.__name__:
                    yield f"{name}.{attr}"


def resolve(module, qualname):
    obj = module
    for name in qualname.split(".") if qualname else []:
        obj = unwrap(vars(obj)[name])
    return obj


def docstrings(module):
    """The docstring literals of the rendering's source, as written, by qualified name."""
    tree = ast.parse(rendering.path(module).read_text())
    docs = {"": ast.get_docstring(tree, clean=False)}

    def visit(node, prefix):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                docs[prefix + child.name] = ast.get_docstring(child, clean=False)
                visit(child, f"{prefix}{child.name}.")

    visit(tree, "")
    return docs


def signature(obj):
    """Parameters (names, kinds, defaults, annotations) and return annotation;
    or the error for an object that has none."""
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError) as e:
        return type(e)
    return [(p.name, p.kind, repr(p.default), repr(p.annotation)) for p in sig.parameters.values()], repr(
        sig.return_annotation
    )


def texts(obj):
    return {
        "signature": signature(obj),
        "annotations": repr(list(getattr(obj, "__annotations__", {}).items())),
        "kwdefaults": repr(getattr(obj, "__kwdefaults__", None)),
        "members": [n for n in vars(obj) if not n.startswith("__") or n in ("__module__", "__doc__", "__init__")]
        if isinstance(obj, type)
        else None,
    }


@pytest.mark.parametrize(
    ("module", "qualname"),
    [
        pytest.param(module, qualname, id=f"{module}.{qualname}" if qualname else module)
        for module in rendering.MODULES
        for qualname in ["", *defined(module)]
    ],
)
def test_texts_are_the_renderings(module, qualname, namespaces):
    compiled, rendered = resolve(rendering.compiled(module), qualname), resolve(rendering.load(module), qualname)
    assert compiled.__doc__ == docstrings(module).get(qualname, rendered.__doc__)
    if qualname:
        assert texts(compiled) == texts(rendered)
        return
    # The module: the rendering's names in its order, but for the `annotations`
    # feature its string annotations need and its own trailing helpers; then
    # the doctest table the compiled module adds.
    names = [n for n in vars(rendered) if (not n.startswith("__") or n == "__doc__") and n != "annotations"]
    helpers = [n for n in names if rendering_only(module, vars(rendered)[n])]
    shared = names[: len(names) - len(helpers)]
    assert shared + helpers == names
    assert namespaces[module] == [*shared, "__test__"]
    assert compiled.__test__ == {}
    # What the rendering imports is the very object; its own tables are equal.
    for name in shared[1:]:
        ours, theirs = vars(compiled)[name], vars(rendered)[name]
        if isinstance(theirs, dict):
            assert repr(ours) == repr(theirs), name
        elif getattr(theirs, "__module__", None) != rendered.__name__:
            assert ours is theirs, name
