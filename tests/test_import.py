"""Import behaviour of all five modules, each in a fresh interpreter:
re-initialisation refused, legacy and isolated subinterpreters refused,
`importlib.reload`, and a failing exec followed by a successful import."""

import pytest

PACKAGE = "kelvra_runtime.core.runtime"
MODULES = ["waiters", "tallybook", "spawn", "policy", "faultsort"]

# A failing exec: a dependency refused, with the line of the import that
# the "init" traceback entry gives; or for faultsort, which imports
# nothing, the first allocation of its body that fails (line None: not
# checked).
FAILING_EXEC = [
    ("waiters", 'sys.modules["time"] = None', 17),
    ("waiters", 'sys.modules["dataclasses"] = None', 18),
    ("waiters", 'sys.modules["typing"] = None', 19),
    ("tallybook", 'sys.modules["dataclasses"] = None', 10),
    ("tallybook", 'sys.modules["typing"] = None', 11),
    ("spawn", 'sys.modules["typing"] = None', 22),
    ("spawn", f'sys.modules["{PACKAGE}.exceptions"] = types.ModuleType("x")', 24),
    ("policy", 'sys.modules["typing"] = None', 7),
    ("faultsort", "_testcapi.set_nomemory(k, k + 1)", None),
]


def stdout(run_python, code):
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.parametrize("module", MODULES)
def test_one_initialisation_per_process(run_python, module):
    lines = stdout(
        run_python,
        f"""
        import importlib, importlib.util
        spec = importlib.util.find_spec("{PACKAGE}.{module}")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)  # made before the first exec
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)
        print(importlib.import_module("{PACKAGE}.{module}") is first, importlib.reload(first) is first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        """,
    )
    assert lines == ["True True", f"Module '{module}' has already been imported. Re-initialisation is not supported."]


@pytest.mark.parametrize("module", MODULES)
def test_subinterpreters_refused(run_python, module):
    lines = stdout(
        run_python,
        f"""
        import _interpreters
        from concurrent import interpreters
        import {PACKAGE}.{module}
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.run_string(iid, "import {PACKAGE}.{module}")
        _interpreters.destroy(iid)
        print(failure.type.__name__, failure.msg)
        interp = interpreters.create()
        try:
            interp.exec("import {PACKAGE}.{module}")
        except interpreters.ExecutionFailed as e:
            print(e.excinfo.type.__name__)
        interp.close()
        """,
    )
    # An isolated interpreter is refused by the host already, with its own message.
    message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert lines == [f"ImportError {message}", "ImportError"]


@pytest.mark.parametrize(("module", "fail", "line"), FAILING_EXEC)
def test_failing_exec_then_import(run_python, module, fail, line):
    lines = stdout(
        run_python,
        f"""
        import importlib, sys, traceback, types, _testcapi
        name = "{PACKAGE}.{module}"
        importlib.import_module("{PACKAGE}.exceptions")
        def init_entries(error):
            return [(e.filename, e.lineno) for e in traceback.extract_tb(error.__traceback__)
                    if e.name == "init " + name]

        for k in range(1000):
            saved = dict(sys.modules)
            {fail}
            try:
                importlib.import_module(name)
            except Exception as e:
                if entries := init_entries(e):
                    print(entries)
                    break
            finally:
                _testcapi.remove_mem_hooks()
                sys.modules.clear()
                sys.modules.update(saved)
        print(name in sys.modules, k < 999)
        module = importlib.import_module(name)
        print(name in sys.modules, module.__test__)
        """,
    )
    if line is not None:
        assert lines[0] == str([(f"src/kelvra_runtime/core/runtime/{module}.py", line)])
    assert lines[1:] == ["False True", "True {}"]
