"""The build refuses what it cannot support, with a message saying why."""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
RUNTIME = ROOT / "src" / "kelvra_runtime" / "core" / "runtime"
REFUSAL = "free-threaded CPython"


def configure_free_threaded(tmp_path):
    """CMake's configure step, with the macro a free-threaded pyconfig.h
    defines passed as a flag (no such interpreter can be had here)."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    return subprocess.run(
        [cmake, "-S", ROOT, "-B", tmp_path, f"-DPython_EXECUTABLE={sys.executable}",
         "-DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1"],
        capture_output=True, text=True,
    )


def compile_free_threaded(tmp_path):
    """The frame's header compiled outside CMake with the same macro."""
    compiler = shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "unit.cpp"
    source.write_text('#include "common/frame.hpp"\n')
    return subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", "-DPy_GIL_DISABLED=1",
         f"-I{sysconfig.get_path('include')}", f"-I{RUNTIME}", source],
        capture_output=True, text=True,
    )


@pytest.mark.parametrize("build", [configure_free_threaded, compile_free_threaded])
def test_a_free_threaded_build_is_refused(build, tmp_path):
    done = build(tmp_path)
    assert done.returncode != 0
    assert REFUSAL in " ".join((done.stdout + done.stderr).split())
