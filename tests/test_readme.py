"""The README's examples, run in order as one doctest session; the package
description's tour, run as a script."""

import contextlib
import doctest
import io
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"


def test_the_readme_examples_run():
    test = doctest.DocTestParser().get_doctest(README.read_text(), {}, README.name, str(README), 0)
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=out.write)
    assert len(test.examples) >= 20
    assert runner.failures == 0, out.getvalue()


def test_the_description_tour_prints_what_its_comments_say():
    *_, tour = re.findall(r"^```python\n(.*?)^```$", (ROOT / "DESCRIPTION.md").read_text(), re.S | re.M)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(tour, "DESCRIPTION.md", "exec"), {})
    assert out.getvalue() == "cost_cap_usd 0.75\n"
