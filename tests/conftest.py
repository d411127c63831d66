import os
import shlex
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# Example counts: the default profile for `make test`; a long run with
# `pytest --hypothesis-profile=thorough`.  No deadline: the debug and
# sanitizer builds run the same tests several times slower.
settings.register_profile("default", deadline=None)
settings.register_profile("thorough", deadline=None, max_examples=5000)
settings.load_profile("default")

# How a fresh interpreter is started: KELVRA_TEST_EMULATOR is the command
# that runs this interpreter's binary on another machine (`make test-arm64`
# sets it), and KELVRA_TEST_SLOWDOWN how many times slower that runs.  A
# subprocess's time limit only stops a hung one: it is generous on a busy
# machine under the debug interpreter, and grows with the slowdown.
INTERPRETER = [*shlex.split(os.environ.get("KELVRA_TEST_EMULATOR", "")), sys.executable]
SUBPROCESS_TIMEOUT = 600 * float(os.environ.get("KELVRA_TEST_SLOWDOWN", "1"))


@pytest.fixture(scope="session")
def run_interpreter():
    """Runs a fresh interpreter with the given arguments (and environment);
    returns the completed process, its output as text."""

    def run(*args: str, env: dict[str, str] | None = None, check: bool = False) -> subprocess.CompletedProcess:
        return subprocess.run(
            [*INTERPRETER, *args], capture_output=True, text=True, timeout=SUBPROCESS_TIMEOUT, env=env, check=check
        )

    return run


@pytest.fixture
def run_python(run_interpreter):
    """Runs a snippet in a fresh interpreter; returns the completed process."""

    def run(code: str) -> subprocess.CompletedProcess:
        return run_interpreter("-c", textwrap.dedent(code))

    return run
