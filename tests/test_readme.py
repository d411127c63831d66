"""The README's examples, run in order as one doctest session."""

import doctest
import io
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_the_readme_examples_run():
    test = doctest.DocTestParser().get_doctest(README.read_text(), {}, README.name, str(README), 0)
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=out.write)
    assert len(test.examples) >= 20
    assert runner.failures == 0, out.getvalue()
