"""The plain-Python renderings of the modules, loaded from their files in
src/ under names of their own inside the package (so that a relative
import such as spawn's `.exceptions` resolves), beside the compiled
modules and without replacing them.

A rendering is the model the differential tests hold the compiled module
to, and the benchmarks' baseline (bench/ loads it, and its Cython build,
through this module too).  It does not imitate the compiled
argument binding (arity, exact-type tests, the conversions of parameters
annotated float or int): its callers pass what that binding would pass on."""

import importlib
import importlib.util
import sys
from pathlib import Path

PACKAGE = "kelvra_runtime.core.runtime"
SOURCES = Path(__file__).resolve().parents[1] / "src" / "kelvra_runtime" / "core" / "runtime"
MODULES = ("waiters", "tallybook", "spawn", "policy", "faultsort")


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
