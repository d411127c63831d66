"""Every statement that can fail and has a line of its own, made to fail
(the rows of tests/failing.py): the traceback entries of our modules must
name the function by its dotted path, the module's source file, and that
statement's line."""

import traceback

import pytest

import failing
import rendering

SOURCES = "src/kelvra_runtime/core/runtime/"
ROWS = [*failing.CASES, *failing.UNMARKED, *((f"{id} binding", *rest) for id, *rest in failing.BINDING)]


def our_entries(error):
    return [
        (entry.name, entry.filename, entry.lineno)
        for entry in traceback.extract_tb(error.__traceback__)
        if entry.filename.startswith(SOURCES)
    ]


@pytest.mark.parametrize(("where", "line", "provoke"), failing.params(ROWS))
def test_the_failing_statement_is_reported(where, line, provoke):
    with pytest.raises(BaseException) as info:
        provoke(rendering.compiled(failing.module_of(where)))
    assert not isinstance(info.value, AssertionError), info.value
    entries = failing.entries(where, line)
    assert our_entries(info.value) == [
        (f"{rendering.PACKAGE}.{name}", f"{SOURCES}{name.split('.')[0]}.py", n) for name, n in entries
    ]
