"""The generator's side of the contract between a rendering and its module
file: what it refuses, each at its file and line, the binding rule each
annotation gets, and how it names the constants bodies use."""

import ast
import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import rendering

ROOT = Path(__file__).resolve().parent.parent
DECLARE = ROOT / "tools" / "declare.py"
RUNTIME = ROOT / "src" / "kelvra_runtime" / "core" / "runtime"

spec = importlib.util.spec_from_file_location("declare", DECLARE)
declare = importlib.util.module_from_spec(spec)
spec.loader.exec_module(declare)

# A rendering and its module file that agree.
RENDERING = '''\
"""A module."""


def f(x: str) -> str:
    """Doc."""
    return x.strip("-")  # @strip
'''
BODIES = """\
#include "common/frame.hpp"
#include "tiny_decl.hpp"

namespace {

kr::Result body::f(kr::Call &, kr::Handle x) {
    return {x.method(py::str_strip, py::str_dash), line::strip};
}

}  // namespace
"""


def generate(tmp_path, rendering_text=RENDERING, bodies_text=BODIES):
    """declare.py run on the pair; its exit code and message."""
    (tmp_path / "tiny.py").write_text(rendering_text)
    (tmp_path / "tiny.cpp").write_text(bodies_text)
    done = subprocess.run(
        [sys.executable, DECLARE, tmp_path / "tiny.py", tmp_path / "out"], capture_output=True, text=True
    )
    return done.returncode, done.stderr


def test_an_agreeing_pair_generates(tmp_path):
    assert generate(tmp_path) == (0, "")
    decl = (tmp_path / "out" / "tiny_decl.hpp").read_text()
    assert 'kr::Constant str_strip{"strip"};  // tiny.py:6' in decl
    assert "constexpr kr::Line strip{6};" in decl


MANY = ", ".join(f"p{i}" for i in range(declare.MAX_PARAMS + 1))


@pytest.mark.parametrize(
    "rendering_edit, bodies_edit, message",
    [
        (("@strip", "@stripped"), (), "tiny.py:6: marker @stripped: no body in tiny.cpp reports line::stripped"),
        ((), ("line::strip", "line::nowhere"), "tiny.cpp:7: line::nowhere: tiny.py marks no statement @nowhere"),
        (("  # @strip", "  # @strip\n    return x  # @strip"), (), "tiny.py:7: marker 'strip' already names line 6"),
        (("def f(", "def g(a):\n    return a\n\n\ndef f("), (), "tiny.py:4: g: declared here, but tiny.cpp defines no body::g"),
        ((), ("}  // namespace", "kr::Result body::h(kr::Call &) { return kr::None; }\n}  // namespace"),
         "tiny.cpp:10: body::h: tiny.py declares no such function"),
        (("def f(x: str)", f"def f(x: str, {MANY})"), (), f"tiny.py:4: f: {declare.MAX_PARAMS + 2} parameters, more than"),
        ((), ("py::str_dash", "py::str_hyphen"), "tiny.cpp:7: py::str_hyphen: tiny.py writes nothing of that name"),
        (('x.strip("-")', 'x.strip("-") + "+-" + "-+"'), ("py::str_dash", "py::str_plus_dash"),
         "tiny.cpp:7: py::str_plus_dash: tiny.py writes nothing"),
    ],
    ids=["unused-marker", "unknown-marker", "marker-twice", "no-body", "undeclared-body", "too-many-parameters",
         "unknown-constant", "unnamed-text"],
)
def test_each_contract_fault_is_named_at_its_line(tmp_path, rendering_edit, bodies_edit, message):
    rendering_text = RENDERING.replace(*rendering_edit) if rendering_edit else RENDERING
    bodies_text = BODIES.replace(*bodies_edit) if bodies_edit else BODIES
    code, said = generate(tmp_path, rendering_text, bodies_text)
    assert code != 0
    assert message in said
    assert not (tmp_path / "out").exists()


def test_two_names_spelt_alike_cannot_be_named(tmp_path):
    text = RENDERING.replace('x.strip("-")', 'x.strip("-") + "a b" + "a-b"')
    code, said = generate(tmp_path, text, BODIES.replace("py::str_dash", "py::str_a_b"))
    assert code != 0
    assert "py::str_a_b: tiny.py writes 'a b' (line 6) and 'a-b' (line 6), named alike" in said


@pytest.mark.parametrize(
    "annotation, check",
    [
        ("str", "kr::exact(&PyUnicode_Type)"),
        ("dict[str, Any]", "kr::exact(&PyDict_Type)"),
        ("list", "kr::exact(&PyList_Type)"),
        ("tuple[int, ...]", "kr::exact(&PyTuple_Type)"),
        ("Optional[list[str]]", "kr::exact_or_none(&PyList_Type)"),
        ("dict | None", "kr::exact_or_none(&PyDict_Type)"),
        ("float", "kr::to_double"),
        ("int", "kr::to_int"),
        ("Optional[int]", "kr::any"),
        ("Callable[[], float]", "kr::any"),
    ],
)
def test_binding_rule_of_each_annotation(annotation, check):
    assert declare.check_of(ast.parse(annotation, mode="eval").body) == check


@pytest.mark.parametrize(
    "kind, value, name",
    [
        ("str", "cost_cap_usd", "str_cost_cap_usd"),
        ("str", "_pending", "str_private_pending"),
        ("str", "__init__", "str_dunder_init"),
        ("str", "signal_", "str_signal_"),
        ("str", ".4f", "str_4f"),
        ("str", "empty duration string", "str_empty_duration_string"),
        ("str", ".", "str_dot"),
        ("str", "", "str_empty"),
        ("str", "\u00e9", None),
        ("int", 6, "int_6"),
        ("int", -2, "int_minus_2"),
        ("float", 0.0, "float_0_0"),
        ("float", 1e-06, "float_1e_06"),
        ("float", float("inf"), None),
        ("builtin", "round", "builtin_round"),
    ],
)
def test_constant_names(kind, value, name):
    assert declare.constant_name(kind, value) == name


@pytest.mark.parametrize("module", rendering.MODULES)
def test_bodies_lists_what_each_module_file_defines(module):
    listed = subprocess.run(
        [sys.executable, DECLARE, "--bodies", RUNTIME / f"{module}.py"], capture_output=True, text=True, check=True
    ).stdout
    names = {line.split("body::", 1)[1].split("(", 1)[0] for line in listed.splitlines() if "body::" in line}
    assert names == set(declare.Bodies(RUNTIME / f"{module}.cpp").defined)


def test_keyword_tuples_are_named_by_callee():
    constants = declare.Constants(Path("m.py"))
    tree = ast.parse(textwrap.dedent("""
        R(a=1, b=2)
        R(a=3, b=4)
        R(b=5)
    """))
    constants.walk(tree.body, set())
    assert constants.found["kw_R"][:2] == ("kw", ("a", "b"))
    assert constants.found["kw_R_4"][:2] == ("kw", ("b",))
