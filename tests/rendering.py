"""The plain-Python renderings of the modules, loaded from their files in
src/ under names of their own inside the package (so that a relative
import such as spawn's `.exceptions` resolves), beside the compiled
modules and without replacing them.

A rendering is the model the differential tests hold the compiled module
to, and the benchmarks' baseline (bench/ loads it, and its Cython build,
through this module too).  It does not imitate the compiled
argument binding (arity, exact-type tests, the conversions of parameters
annotated float or int): its callers pass what that binding would pass on."""

import ast
import functools
import importlib
import importlib.util
import io
import sys
import tokenize
from pathlib import Path

PACKAGE = "kelvra_runtime.core.runtime"
SOURCES = Path(__file__).resolve().parents[1] / "src" / "kelvra_runtime" / "core" / "runtime"
# The compiled modules, as the build reads them.
MODULES = tuple(
    line for line in (SOURCES / "modules.txt").read_text().splitlines() if line and not line.startswith("#")
)


def path(module):
    """The rendering's file."""
    return SOURCES / f"{module}.py"


def compiled(module):
    return importlib.import_module(f"{PACKAGE}.{module}")


def load(module):
    """The rendering of `module`, loaded once, as `<package>.rendered_<module>`."""
    return load_file(f"{PACKAGE}.rendered_{module}", path(module))


def load_file(name, file):
    """The module in `file` (Python source or an extension module), loaded
    once, as `name` inside the package."""
    if name in sys.modules:
        return sys.modules[name]
    importlib.import_module(PACKAGE)
    spec = importlib.util.spec_from_file_location(name, file)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses looks its module up while it runs
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


def counterpart(cls):
    """The compiled module's class for a class of a rendering (an error the
    rendering raised, say); any other class itself."""
    prefix = f"{PACKAGE}.rendered_"
    if not cls.__module__.startswith(prefix):
        return cls
    return getattr(compiled(cls.__module__.removeprefix(prefix)), cls.__qualname__)


class Lines:
    """The lines of a rendering's statements, which the compiled module's
    traceback entries cite: `lines.numeric` is the line that carries the
    marker `# @numeric`, `lines["Class.method"]` the line of a class or `def`
    statement, by its qualified name, `lines["import typing"]` that of a
    module-level import, `lines["_NAME"]` that of a module-level
    assignment."""

    def __init__(self, module):
        source = path(module).read_text()
        self.marked = {}
        for token in tokenize.generate_tokens(io.StringIO(source).readline):
            if token.type == tokenize.COMMENT:
                for word in token.string.rpartition("#")[2].split():
                    if word.startswith("@"):
                        self.marked[word[1:]] = token.start[0]
        self.defined = {}

        def visit(node, prefix):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                    self.defined[prefix + child.name] = child.lineno
                    if isinstance(child, ast.ClassDef):
                        visit(child, f"{prefix}{child.name}.")

        tree = ast.parse(source)
        visit(tree, "")
        for node in tree.body:
            if isinstance(node, ast.Import):
                self.defined[f"import {node.names[0].name}"] = node.lineno
            elif isinstance(node, ast.ImportFrom):
                self.defined[f"import {'.' * node.level}{node.module}"] = node.lineno
            elif isinstance(node, ast.Assign):
                self.defined[node.targets[0].id] = node.lineno

    def __getattr__(self, marker):
        try:
            return self.__dict__["marked"][marker]
        except KeyError:
            raise AttributeError(marker) from None

    def __getitem__(self, qualname):
        return self.defined[qualname]


@functools.cache
def lines(module):
    """The `Lines` of `module`'s rendering."""
    return Lines(module)
