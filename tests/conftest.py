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


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; returns the completed process."""

    def run(code: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run
