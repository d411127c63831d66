"""The host's private layouts that the modules read directly: under an
interpreter whose layouts the build knows every fast path is on, so that
none can fall back unseen; with the probes of the layouts made to fail,
the paths are off and the results are still right."""

import importlib
import json
import os
import sys
from pathlib import Path

import pytest

import rendering

PACKAGE = "kelvra_runtime.core.runtime"
FAST_PATHS = ["inline_fields", "list_room", "float_in_place", "code_fields", "origin_tracking_depth"]
KNOWN_HOST = sys.version_info[:2] in [(3, 14), (3, 15)]
FAIL_PROBES = "KELVRA_RUNTIME_FAIL_HOST_PROBES"

# The suites that hold each path's results to the rendering's or the host's.
SUITES = ["test_fields.py", "test_fast_paths.py", "test_tallybook.py", "test_spawn.py", "test_waiters.py",
          "test_coroutine.py", "test_coroutine_introspection.py", "test_readme.py"]  # fmt: skip


def frame_function_type(module):
    """The function type of the copy of the frame that `module` links."""
    for namespace in [module, *(v for v in vars(module).values() if isinstance(v, type))]:
        for value in vars(namespace).values():
            if type(value).__name__ == "compiled_function":
                return type(value)
    raise LookupError(module.__name__)


def reports():
    return {name: dict(frame_function_type(importlib.import_module(f"{PACKAGE}.{name}"))._host_fast_paths)
            for name in rendering.MODULES}  # fmt: skip


# Prints the reports, then runs the suites given as arguments.
REPORT_THEN_TEST = f"""
import json, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import pytest, test_host_layout
print(json.dumps(test_host_layout.reports()), flush=True)
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]]) if sys.argv[1:] else 0)
"""


def test_a_known_host_takes_every_fast_path():
    assert reports() == {name: dict.fromkeys(FAST_PATHS, KNOWN_HOST) for name in rendering.MODULES}


@pytest.mark.parametrize(
    ("failing", "suites"),
    [(["list_room", "code_fields"], []), (FAST_PATHS, [str(Path(__file__).parent / suite) for suite in SUITES])],
    ids=["two", "all"],
)
def test_failed_probes_leave_their_paths_off_and_results_right(run_interpreter, failing, suites):
    proc = run_interpreter("-c", REPORT_THEN_TEST, *suites, env={**os.environ, FAIL_PROBES: ",".join(failing)})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    off = {name: {path: KNOWN_HOST and path not in failing for path in FAST_PATHS} for name in rendering.MODULES}
    assert json.loads(proc.stdout.splitlines()[0]) == off
