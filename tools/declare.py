"""The declaration of a compiled module, generated from its plain-Python
rendering at build time.

    declare.py RENDERING OUTDIR
    declare.py --bodies RENDERING

reads src/kelvra_runtime/core/runtime/<module>.py, and the module file
<module>.cpp beside it for the bodies it defines, and writes into OUTDIR:

- <module>_decl.hpp, which the module file includes first: the module
  docstring's text, the line of every statement the rendering marks, the
  constants the bodies name (`py::...`), the prototypes of the bodies the
  module file must define, and a reference to every class the namespace
  makes;
- <module>_tables.hpp, which the module file includes last: the
  parameters, functions and classes as the frame's tables, the module
  body that builds the namespace in source order, the module definition
  and its initialisation function;
- <module>.pyi, the module's stub (from the rendering, with the typing
  supplement <module>.typing.pyi beside it where there is one).

With --bodies it prints the prototype of every body the module file must
define, with the rendering line that declares it.

A statement whose line a body reports carries a trailing comment naming
it, `# @read_memory`, which becomes `line::read_memory`.  A function of the
rendering that the compiled module lacks carries `# @rendering-only` on its
`def` line.  Before anything is written, the module file is checked
against the rendering, each problem reported at its file and line: a
marker that no body reports or that no statement carries, a declared
function without a body and a body the rendering does not declare, more
parameters than the frame takes, and a constant `py::NAME` whose name,
literal or call the rendering does not write.

Standard library only: it runs with the build machine's interpreter.
"""

import ast
import inspect
import io
import re
import sys
import tokenize
from pathlib import Path

RENDERING_ONLY = "rendering-only"
MARKER = re.compile(r"@([A-Za-z_][\w-]*)")

# The binding rules: a parameter annotated with one of these built-in types
# (bare or subscripted) accepts exactly that type, or also None where the
# annotation admits None; "float" and "int" convert; anything else is not
# enforced.
EXACT_TYPES = {"str": "PyUnicode_Type", "dict": "PyDict_Type", "list": "PyList_Type", "tuple": "PyTuple_Type"}
CONVERSIONS = {"float": "kr::to_double", "int": "kr::to_int"}


class DeclarationError(Exception):
    pass


def fail(path, line, message):
    raise DeclarationError(f"{path}:{line}: {message}")


def exact_type(node):
    """The exact type an annotation names, bare or subscripted, or None."""
    if isinstance(node, ast.Subscript):
        node = node.value
    if isinstance(node, ast.Name):
        return EXACT_TYPES.get(node.id)
    return None


def is_none(node):
    return isinstance(node, ast.Constant) and node.value is None


def optional_of(node):
    """X of `Optional[X]`, `X | None` or `None | X`, or None."""
    if isinstance(node, ast.Subscript) and isinstance(node.value, ast.Name) and node.value.id == "Optional":
        return node.slice
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        if is_none(node.right):
            return node.left
        if is_none(node.left):
            return node.right
    return None


def check_of(annotation):
    """The check binding applies to a parameter with this annotation."""
    if annotation is None:
        return "kr::any"
    if (type_name := exact_type(annotation)) is not None:
        return f"kr::exact(&{type_name})"
    inner = optional_of(annotation)
    if inner is not None and (type_name := exact_type(inner)) is not None:
        return f"kr::exact_or_none(&{type_name})"
    if isinstance(annotation, ast.Name) and annotation.id in CONVERSIONS:
        return CONVERSIONS[annotation.id]
    return "kr::any"


def c_string(text):
    """A C++ string literal of `text` as UTF-8, one source line per line
    of text; non-ASCII bytes as octal escapes, which never run on."""
    if text is None:
        return "nullptr"
    pieces = []
    for line in text.splitlines(keepends=True):
        out = []
        for byte in line.encode():
            char = chr(byte)
            if char == "\\" or char == '"':
                out.append("\\" + char)
            elif char == "\n":
                out.append("\\n")
            elif char == "\t":
                out.append("\\t")
            elif 32 <= byte < 127:
                out.append(char)
            else:
                out.append(f"\\{byte:03o}")
        pieces.append('"' + "".join(out) + '"')
    return "\n        ".join(pieces) if pieces else '""'


def parameter_type(check):
    """The C++ type a body takes a parameter with this check as."""
    return {"kr::to_double": "kr::Real", "kr::exact(&PyDict_Type)": "kr::ExactDict"}.get(check, "kr::Handle")


def body_parameters(f):
    """The body's parameter list after the call: each parameter by name."""
    return "".join(f", {parameter_type(check_of(annotation))} {name}" for name, annotation, _, _ in f.params)


def body_prototype(f, scope):
    """A body's C++ prototype, its name qualified by `scope`."""
    if f.awaits:
        return f"kr::Task {scope}{body_name(f.name)}(kr::Coroutine &co{body_parameters(f)})"
    return f"kr::Result {scope}{body_name(f.name)}(kr::Call &call{body_parameters(f)})"


def glue_arguments(f, source="call"):
    """The glue's arguments for the body's parameters, read from the call
    (or, for an awaiting body, from its coroutine `co`)."""
    out = []
    for index, (_, annotation, _, _) in enumerate(f.params):
        if parameter_type(check_of(annotation)) == "kr::Real":
            out.append(f"kr::Real{{{source}[{index}], {source}.real({index})}}")
        else:
            out.append(f"{source}[{index}]")
    return "".join(f", {a}" for a in out)


def body_name(name):
    """The C++ name of a function's body: dunders lose their underscores."""
    if name.startswith("__") and name.endswith("__"):
        return name[2:-2]
    return name


def is_docstring(statement):
    return isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Constant) and isinstance(
        statement.value.value, str
    )


def is_stub(function):
    """A body that does nothing: a docstring, `...` or `pass` alone."""
    for statement in function.body:
        if is_docstring(statement) or isinstance(statement, ast.Pass):
            continue
        if isinstance(statement, ast.Expr) and isinstance(statement.value, ast.Constant) and statement.value.value is ...:
            continue
        return False
    return True


def awaits(function):
    return any(isinstance(node, ast.Await) for node in ast.walk(function))


def literal_default(path, node):
    """A parameter's or field's default as the frame's literal text."""
    if isinstance(node, ast.Constant) and (node.value is None or isinstance(node.value, (bool, int, float))):
        return ast.unparse(node)
    fail(path, node.lineno, f"default {ast.unparse(node)!r} is not None, a bool or a number")


def field_default(path, node):
    if node is None:
        return None
    if (
        isinstance(node, ast.Call)
        and ast.unparse(node.func) == "field"
        and not node.args
        and [(k.arg, ast.unparse(k.value)) for k in node.keywords] == [("default_factory", "dict")]
    ):
        return "dict()"
    return literal_default(path, node)


def markers(source, path):
    """{name: line} of the line markers, and the lines marked rendering-only."""
    found, rendering_only = {}, set()
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type != tokenize.COMMENT:
            continue
        # The markers close the comment: `# @a @b`, or `# a remark  # @a`.
        text = token.string.rpartition("#")[2].strip()
        if not text.startswith("@"):
            continue
        names = MARKER.findall(text)
        if MARKER.sub("", text).strip():
            fail(path, token.start[0], f"a marker comment holds markers only: {token.string!r}")
        for name in names:
            if name == RENDERING_ONLY:
                rendering_only.add(token.start[0])
            elif not name.isidentifier():
                fail(path, token.start[0], f"marker {name!r} is not an identifier")
            elif name in found:
                fail(path, token.start[0], f"marker {name!r} already names line {found[name]}")
            else:
                found[name] = token.start[0]
    return found, rendering_only


class Function:
    def __init__(self, path, node, owner):
        self.node = node
        self.name = node.name
        self.owner = owner
        self.qualname = f"{owner}.{node.name}" if owner else node.name
        self.line = node.lineno
        self.doc = ast.get_docstring(node, clean=False)
        self.is_async = isinstance(node, ast.AsyncFunctionDef)
        self.stub = is_stub(node)
        self.awaits = self.is_async and not self.stub and awaits(node)
        decorators = [ast.unparse(d) for d in node.decorator_list]
        if decorators not in ([], ["classmethod"]) or (decorators and not owner):
            fail(path, node.lineno, f"{self.qualname}: decorators {decorators} are not declarable")
        self.is_class_method = decorators == ["classmethod"]
        args = node.args
        if args.posonlyargs or args.vararg or args.kwarg:
            fail(path, node.lineno, f"{self.qualname}: only positional-or-keyword and keyword-only parameters")
        defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
        self.params = [
            (a.arg, a.annotation, "kr::Kind::PositionalOrKeyword", d) for a, d in zip(args.args, defaults)
        ] + [(a.arg, a.annotation, "kr::Kind::KeywordOnly", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
        self.defaults = [None if d is None else literal_default(path, d) for _, _, _, d in self.params]
        self.returns = ast.unparse(node.returns) if node.returns else None
        # The C++ names: the body's, and the tables' own.
        self.scope = f"{owner}::" if owner else ""
        self.ident = f"{owner}_{body_name(self.name)}" if owner else body_name(self.name)


class Class:
    def __init__(self, path, node):
        self.node = node
        self.name = node.name
        self.line = node.lineno
        self.doc = ast.get_docstring(node, clean=False)
        if len(node.bases) > 1 or node.keywords or (node.bases and not isinstance(node.bases[0], ast.Name)):
            fail(path, node.lineno, f"{node.name}: one base, named by a global or builtin")
        self.base = node.bases[0].id if node.bases else None
        if len(node.decorator_list) > 1 or (node.decorator_list and not isinstance(node.decorator_list[0], ast.Name)):
            fail(path, node.lineno, f"{node.name}: at most one decorator, a module global")
        self.decorator = node.decorator_list[0].id if node.decorator_list else None
        if self.decorator and node.decorator_list[0].lineno != node.lineno - 1:
            fail(path, node.lineno, f"{node.name}: the decorator stands on the line above the class")
        self.fields, self.methods = [], []
        for statement in node.body:
            if is_docstring(statement) and statement is node.body[0]:
                continue
            if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name):
                if self.methods:
                    fail(path, statement.lineno, f"{node.name}: fields come before methods")
                self.fields.append(
                    (statement.target.id, ast.unparse(statement.annotation), field_default(path, statement.value))
                )
            elif isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
                self.methods.append(Function(path, statement, node.name))
            else:
                fail(path, statement.lineno, f"{node.name}: a class body holds fields and methods only")
        names = [body_name(m.name) for m in self.methods]
        if len(set(names)) != len(names):
            fail(path, node.lineno, f"{node.name}: two methods share a body name")


def build_value(path, node):
    """(Py_BuildValue format, C++ arguments) of a literal."""
    if isinstance(node, ast.Constant):
        value = node.value
        if value is None or isinstance(value, bool):
            return "O", [{None: "Py_None", True: "Py_True", False: "Py_False"}[value]]
        if isinstance(value, str):
            return "s", [c_string(value)]
        if isinstance(value, int):
            return "L", [f"static_cast<long long>({value})"]
        if isinstance(value, float):
            return "d", [repr(value)]
    if isinstance(node, (ast.Dict, ast.List, ast.Tuple)):
        items = []
        if isinstance(node, ast.Dict):
            for key, value in zip(node.keys, node.values):
                if key is None:
                    fail(path, node.lineno, "no ** in a module-level literal")
                items += [build_value(path, key), build_value(path, value)]
            opening, closing, between = "{", "}", lambda i: ":" if i % 2 else ","
        else:
            items = [build_value(path, element) for element in node.elts]
            opening, closing = ("[", "]") if isinstance(node, ast.List) else ("(", ")")
            between = lambda i: ","  # noqa: E731
        text = opening
        args = []
        for i, (fmt, item_args) in enumerate(items):
            if i:
                text += between(i)
            text += fmt
            args += item_args
        return text + closing, args
    fail(path, node.lineno, f"{ast.unparse(node)[:40]!r} is not a literal the module body can build")


# The most parameters a function of the frame takes (kr::kMaxParams, which
# the generated declarations check).
MAX_PARAMS = 12


def module_names(statements):
    """The names a module body binds."""
    names = set()
    for statement in statements:
        if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(statement.name)
        elif isinstance(statement, (ast.Import, ast.ImportFrom)):
            names.update((a.asname or a.name).partition(".")[0] for a in statement.names)
        elif isinstance(statement, ast.Assign):
            names.update(t.id for t in statement.targets if isinstance(t, ast.Name))
    return names


# What a module file's code names (comments and string literals aside).
CXX_NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
BODY_DEFINITION = re.compile(r"\bbody::((?:\w+::)?\w+)\s*\(")
LINE_USE = re.compile(r"\bline::(\w+)")
CONSTANT_USE = re.compile(r"\bpy::(\w+)")


class Bodies:
    """The module file: the bodies it defines, the marked lines and the
    constants they name, each with the line of its first use."""

    def __init__(self, path):
        self.path = path
        text = path.read_text(encoding="utf-8")
        code = CXX_NOISE.sub(lambda m: "".join(c if c == "\n" else " " for c in m.group()), text)
        self.defined = self.first_lines(BODY_DEFINITION, code)
        self.lines = self.first_lines(LINE_USE, code)
        self.constants = self.first_lines(CONSTANT_USE, code)

    @staticmethod
    def first_lines(pattern, code):
        found = {}
        for match in pattern.finditer(code):
            found.setdefault(match.group(1), code.count("\n", 0, match.start()) + 1)
        return found


# ---------------------------------------------------------------------------
# The constants: every name, literal, keyword tuple and builtin that the
# rendering writes, as the module constant a body names `py::<name>`.

# The constants every module shares, which the frame makes once.
SHARED = {("str", ""): "str_empty", ("int", 0): "int_0", ("int", 1): "int_1", ("float", 0.0): "float_0_0"}

# The words of a text without letters or digits.
SYMBOL_WORDS = {".": "dot", " ": "space", "-": "dash", ":": "colon", ",": "comma", "/": "slash", "=": "equals"}


def constant_name(kind, value):
    """The C++ name of a constant (see the README's "Adding a function"),
    or None where a text cannot be named."""
    if (kind, value) in SHARED:
        return SHARED[kind, value]
    if kind == "str":
        # C++ reserves a double underscore: `__x__` is spelt `dunder_x`,
        # `_x` `private_x`.
        if value.isidentifier() and value.isascii():
            if value.startswith("__") and value.endswith("__") and len(value) > 4:
                return "str_dunder_" + value[2:-2]
            if value.startswith("_") and value[1:].isidentifier() and not value.startswith("__"):
                return "str_private_" + value[1:]
            if "__" not in value:
                return "str_" + value
        words = re.findall(r"[A-Za-z0-9]+", value)
        if words and value.isascii():
            return "str_" + "_".join(words)
        if value and all(char in SYMBOL_WORDS for char in value):
            return "str_" + "_".join(SYMBOL_WORDS[char] for char in value)
        return None
    if kind == "int":
        return f"int_{value}" if value >= 0 else f"int_minus_{-value}"
    if kind == "float":
        text = repr(value)
        if not re.fullmatch(r"-?[0-9.e+-]+", text):
            return None
        sign = "minus_" if text.startswith("-") else ""
        return "float_" + sign + re.sub(r"[.+-]", "_", text.lstrip("-")).strip("_")
    return f"{kind}_{value}"


def callee_name(node):
    """The dotted name a call's function is written as, `_` for its dots."""
    return ast.unparse(node.func).replace(".", "_") if isinstance(node.func, (ast.Name, ast.Attribute)) else None


class Constants:
    """What the compiled part of the rendering writes, by C++ name: (kind,
    value, line) with kind str, int, float, builtin or kw (a call's tuple
    of keyword names)."""

    def __init__(self, path):
        self.path = path
        self.found = {}
        self.ambiguous = {}  # names that two texts spell alike, which no body may use

    def add(self, kind, value, line):
        name = constant_name(kind, value)
        if name is None:
            return
        known = self.found.get(name)
        if known is None:
            self.found[name] = (kind, value, line)
        elif known[:2] != (kind, value):
            # A name the rendering writes takes precedence over a text whose
            # words spell it; two names, or two texts, spelt alike are
            # ambiguous.
            rank, known_rank = is_name(kind, value), is_name(*known[:2])
            if rank > known_rank:
                self.found[name] = (kind, value, line)
            elif rank == known_rank and (kind, value) not in [entry[:2] for entry in self.ambiguous.get(name, [])]:
                self.ambiguous.setdefault(name, [known]).append((kind, value, line))

    def walk(self, statements, module_names):
        nodes = [node for statement in statements for node in ast.walk(statement)]
        # A bare string statement (a docstring) makes no constant.
        bare = {id(node.value) for node in nodes if is_docstring(node)}
        for node in nodes:
            line = getattr(node, "lineno", 1)
            if isinstance(node, ast.Constant) and id(node) not in bare and not isinstance(node.value, bool):
                if isinstance(node.value, str):
                    self.add("str", node.value, line)
                elif isinstance(node.value, int):
                    self.add("int", node.value, line)
                elif isinstance(node.value, float):
                    self.add("float", node.value, line)
            elif isinstance(node, ast.Attribute):
                self.add("str", node.attr, line)
            elif isinstance(node, ast.Name):
                self.add("str", node.id, line)
                if node.id in BUILTINS and node.id not in module_names:
                    self.add("builtin", node.id, line)
            elif isinstance(node, ast.arg):
                self.add("str", node.arg, line)
            elif isinstance(node, ast.alias):
                self.add("str", node.asname or node.name, line)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                self.add("str", node.name, line)
            elif isinstance(node, ast.Call):
                names = [k.arg for k in node.keywords if k.arg is not None]
                for name in names:
                    self.add("str", name, line)
                callee = callee_name(node)
                if names and callee is not None:
                    self.add_keywords(callee, tuple(names), line)

    def add_keywords(self, callee, names, line):
        """A call's keyword names, named by its callee; a callee called with
        other keywords elsewhere is named by its line as well."""
        name = f"kw_{callee}"
        known = self.found.get(name)
        if known is not None and known[1] != names:
            name = f"kw_{callee}_{line}"
        self.found.setdefault(name, ("kw", names, line))

    def definition(self, name):
        """The C++ declaration of a constant."""
        if name in SHARED.values():
            return [f"using kr::{name};"]
        kind, value, line = self.found[name]
        where = f"  // {self.path.name}:{line}"
        if kind == "str":
            return [f"kr::Constant {name}{{{c_string(value)}}};{where}"]
        if kind == "int":
            return [f"kr::Constant {name}{{[] {{ return PyLong_FromLongLong({value}LL); }}}};{where}"]
        if kind == "float":
            return [f"kr::Constant {name}{{[] {{ return PyFloat_FromDouble({value!r}); }}}};{where}"]
        if kind == "builtin":
            return [f"kr::Constant {name}{{[] {{ return kr::builtin({c_string(value)}); }}}};{where}"]
        listed = ", ".join(c_string(n) for n in value)
        return [f"const char *const {name}_names[] = {{{listed}}};", f"kr::Constant {name}{{{name}_names}};{where}"]


BUILTINS = frozenset(dir(__import__("builtins")))


def is_name(kind, value):
    return kind == "str" and value.isidentifier()


class Rendering:
    def __init__(self, path):
        self.path = path
        self.module = path.stem
        self.source = path.read_text(encoding="utf-8")
        tree = ast.parse(self.source, str(path))
        self.markers, rendering_only = markers(self.source, path)
        self.doc = ast.get_docstring(tree, clean=False)
        self.statements = []  # the module body, in order
        self.functions = []  # every declared function, methods included
        self.classes = []
        compiled = []  # the statements the compiled module carries out
        for statement in tree.body:
            if is_docstring(statement) and statement is tree.body[0]:
                continue
            if isinstance(statement, ast.ImportFrom) and statement.module == "__future__":
                continue
            if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if statement.lineno in rendering_only:
                    rendering_only.discard(statement.lineno)
                    continue
            compiled.append(statement)
            if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef)):
                function = Function(path, statement, None)
                self.functions.append(function)
                self.statements.append(("def", function))
            elif isinstance(statement, ast.ClassDef):
                cls = Class(path, statement)
                self.classes.append(cls)
                self.functions += cls.methods
                self.statements.append(("class", cls))
            elif isinstance(statement, ast.Import):
                for alias in statement.names:
                    if alias.asname or "." in alias.name:
                        fail(path, statement.lineno, "only `import module`")
                    self.statements.append(("import", (alias.name, statement.lineno)))
            elif isinstance(statement, ast.ImportFrom):
                if any(alias.asname for alias in statement.names):
                    fail(path, statement.lineno, "no `as` in a declared import")
                module = "." * statement.level + (statement.module or "")
                self.statements.append(("from", (module, [a.name for a in statement.names], statement.lineno)))
            elif (
                isinstance(statement, ast.Assign)
                and len(statement.targets) == 1
                and isinstance(statement.targets[0], ast.Name)
            ):
                value = build_value(path, statement.value)
                self.statements.append(("bind", (statement.targets[0].id, value, statement.lineno)))
            else:
                fail(path, statement.lineno, "not a statement a module body declares")
        if rendering_only:
            fail(path, min(rendering_only), "@rendering-only marks a module-level def only")
        top = [f.ident for f in self.functions if not f.owner] + [c.name for c in self.classes]
        if len(set(top)) != len(top):
            fail(path, 1, "two module-level names share a body name")
        for f in self.functions:
            if len(f.params) > MAX_PARAMS:
                fail(path, f.line, f"{f.qualname}: {len(f.params)} parameters, more than the frame's {MAX_PARAMS}")
        self.constants = Constants(path)
        self.constants.walk(compiled, module_names(compiled))
        self.bodies = None  # the module file, once read

    def read_bodies(self, path):
        """Reads the module file and checks it against the rendering: every
        problem found, at once."""
        self.bodies = Bodies(path)
        problems = []
        defined = self.bodies.defined
        for f in self.functions:
            wanted = f.awaits or not f.stub
            name = f"{f.scope}{body_name(f.name)}"
            if wanted and name not in defined:
                problems.append((self.path, f.line, f"{f.qualname}: declared here, but {path.name} defines no body::{name}"))
            if not wanted and name in defined:
                problems.append((path, defined[name], f"body::{name}: {self.path.name} declares {f.qualname} without a body"))
        declared = {f"{f.scope}{body_name(f.name)}" for f in self.functions}
        for name, line in defined.items():
            if name not in declared:
                problems.append((path, line, f"body::{name}: {self.path.name} declares no such function"))
        for name, line in self.markers.items():
            if name not in self.bodies.lines:
                problems.append((self.path, line, f"marker @{name}: no body in {path.name} reports line::{name}"))
        for name, line in self.bodies.lines.items():
            if name not in self.markers:
                problems.append((path, line, f"line::{name}: {self.path.name} marks no statement @{name}"))
        for name, line in self.bodies.constants.items():
            if name in self.constants.ambiguous:
                spelt = sorted(self.constants.ambiguous[name], key=lambda entry: (entry[2], repr(entry[1])))
                texts = " and ".join(f"{value!r} (line {at})" for _, value, at in spelt)
                problems.append((path, line, f"py::{name}: {self.path.name} writes {texts}, named alike"))
            elif name not in self.constants.found and name not in SHARED.values():
                problems.append((path, line, f"py::{name}: {self.path.name} writes nothing of that name"))
        if problems:
            raise DeclarationError("\n".join(f"{p}:{line}: {message}" for p, line, message in sorted(problems, key=str)))

    # ---------------------------------------------------------------------
    # The declarations the bodies use

    def decl_header(self):
        out = [
            f"// The declarations of {self.module}'s namespace, generated by tools/declare.py",
            f"// from its rendering {self.module}.py: include first, define the bodies.",
            "#pragma once",
            "",
            '#include "common/frame.hpp"',
            "",
            "namespace {",
            "",
            f"constexpr char module_doc[] = {c_string(self.doc)};",
            "",
            "// The lines of the statements the rendering marks, where bodies report failures.",
            "namespace line {",
        ]
        for name, number in sorted(self.markers.items(), key=lambda item: item[1]):
            out.append(f"constexpr kr::Line {name}{{{number}}};")
        out += [
            "}  // namespace line",
            "",
            "// The constants the bodies name, made from what the rendering writes.",
            "namespace py {",
        ]
        used = self.bodies.constants if self.bodies is not None else {}
        for name in sorted(used, key=lambda n: (self.constants.found.get(n, ("", "", 0))[2], n)):
            out += self.constants.definition(name)
        out += [
            "}  // namespace py",
            "",
            f"static_assert(kr::kMaxParams == {MAX_PARAMS}, \"tools/declare.py checks against MAX_PARAMS\");",
            "",
            "// The bodies, which the module file defines; each is inlined into its",
            "// glue, its only caller.",
            "namespace body {",
        ]
        for owner, functions in self.by_owner():
            if owner:
                out.append(f"namespace {owner} {{")
            for f in functions:
                if f.awaits:
                    out.append(f"{body_prototype(f, '')};")
                elif not f.stub:
                    out.append(f"[[gnu::always_inline]] inline {body_prototype(f, '')};")
            if owner:
                out.append(f"}}  // namespace {owner}")
        out += ["}  // namespace body", ""]
        if self.classes:
            out += ["// The class objects the module body made, as its statements bound them.", "namespace cls {"]
            out += [f"PyObject *{c.name};" for c in self.classes]
            out += ["}  // namespace cls", ""]
        out += ["}  // namespace", ""]
        return "\n".join(out)

    def by_owner(self):
        owners = {}
        for f in self.functions:
            owners.setdefault(f.owner, []).append(f)
        return owners.items()

    # ---------------------------------------------------------------------
    # The tables, the module body and the module definition

    def function_table(self, f):
        out = []
        params = f"params_{f.ident}"
        out.append(f"const kr::Param {params}[] = {{")
        for (name, annotation, kind, _), default in zip(f.params, f.defaults):
            text = c_string(ast.unparse(annotation)) if annotation is not None else "nullptr"
            out.append(f"    {{{c_string(name)}, {check_of(annotation)}, {text}, {kind}, {c_string(default)}}},")
        out.append("};")
        if f.awaits:
            out.append(f"kr::Task glue_{f.ident}(kr::Coroutine &co) {{")
            out.append(f"    return body::{f.scope}{body_name(f.name)}(co{glue_arguments(f, 'co')});")
            out.append("}")
        elif not f.stub:
            out.append(f"PyObject *glue_{f.ident}(kr::Call &call) {{")
            out.append(f"    return call.finish(body::{f.scope}{body_name(f.name)}(call{glue_arguments(f)}));")
            out.append("}")
        out.append(f"const kr::FunctionDef def_{f.ident} = {{")
        out.append(f"    .name = {c_string(f.name)},")
        out.append(f"    .doc = {c_string(f.doc)},")
        out.append(f"    .line = {f.line},")
        out.append(f"    .params = {params},")
        out.append(f"    .returns = {c_string(f.returns)},")
        if f.awaits:
            out.append(f"    .task = glue_{f.ident},")
        else:
            if not f.stub:
                out.append(f"    .body = glue_{f.ident},")
            if f.is_async:
                out.append("    .is_async = true,")
        out.append("};")
        return out

    def class_table(self, c):
        out = []
        for f in c.methods:
            out += self.function_table(f)
        fields = "{}"
        if c.fields:
            fields = f"fields_{c.name}"
            out.append(f"const kr::Field {fields}[] = {{")
            for name, annotation, default in c.fields:
                out.append(f"    {{{c_string(name)}, {c_string(annotation)}, {c_string(default)}}},")
            out.append("};")
        members = "{}"
        if c.methods:
            members = f"members_{c.name}"
            out.append(f"const kr::Member {members}[] = {{")
            for f in c.methods:
                maker = "kr::class_method" if f.is_class_method else "kr::method"
                out.append(f"    {maker}(def_{f.ident}),")
            out.append("};")
        out.append(f"const kr::ClassDef class_{c.name} = {{")
        out.append(f"    .name = {c_string(c.name)},")
        out.append(f"    .doc = {c_string(c.doc)},")
        out.append(f"    .line = {c.line},")
        out.append(f"    .fields = {fields},")
        out.append(f"    .members = {members},")
        out.append(f"    .base = {c_string(c.base)},")
        out.append(f"    .decorator = {c_string(c.decorator)},")
        out.append("};")
        return out

    def tables_header(self):
        out = [
            f"// The tables of {self.module}'s namespace, generated by tools/declare.py from",
            f"// its rendering {self.module}.py: include last, after the bodies.",
            "#pragma once",
            "",
            "namespace {",
            "",
        ]
        for kind, item in self.statements:
            if kind == "def":
                out += self.function_table(item)
            elif kind == "class":
                out += self.class_table(item)
        if self.classes:
            out += [
                "",
                "// `value` (a new reference, or null) kept in `*slot` as well.",
                "PyObject *keep(PyObject **slot, PyObject *value) {",
                "    if (value != nullptr) Py_XSETREF(*slot, Py_NewRef(value));",
                "    return value;",
                "}",
            ]
        out += [
            "",
            "// The module's statements in source order.",
            "int namespace_body(kr::Module &m) {",
        ]
        for kind, item in self.statements:
            if kind == "import":
                module, line = item
                out.append(f"    if (m.import_module({c_string(module)}, {line}) < 0) return -1;")
            elif kind == "from":
                module, names, line = item
                listed = ", ".join(c_string(n) for n in names)
                out.append("    {")
                out.append(f"        static const char *const names[] = {{{listed}}};")
                out.append(f"        if (m.import_from({c_string(module)}, names, {line}) < 0) return -1;")
                out.append("    }")
            elif kind == "class":
                c = item
                out.append(
                    f"    if (m.bind({c_string(c.name)}, keep(&cls::{c.name}, m.make_class(class_{c.name})), "
                    f"{c.line}) < 0) return -1;"
                )
            elif kind == "def":
                out.append(f"    if (m.def(def_{item.ident}) < 0) return -1;")
            elif kind == "bind":
                name, (fmt, args), line = item
                call = ", ".join([c_string(fmt)] + args)
                out.append(f"    if (m.bind({c_string(name)}, Py_BuildValue({call}), {line}) < 0) return -1;")
        out += [
            "    return 0;",
            "}",
            "",
            "const kr::ModuleDef module_def = {",
            f"    .name = {c_string(self.module)},",
            "    .doc = module_doc,",
            "    .body = namespace_body,",
            "};",
            "",
            "}  // namespace",
            "",
            f"PyMODINIT_FUNC PyInit_{self.module}() {{ return kr::module_init(module_def); }}",
            "",
        ]
        return "\n".join(out)


# ---------------------------------------------------------------------------
# The stub

def docstring_lines(doc, indent):
    """A docstring statement of `doc` as the host's `__doc__` shows it
    cleaned, at `indent`."""
    lines = inspect.cleandoc(doc).replace("\\", "\\\\").split("\n")
    if '"""' in doc:
        raise DeclarationError(f"a docstring holds three quotes: {doc[:40]!r}")
    if len(lines) == 1:
        return [f'{indent}"""{lines[0]}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line else "" for line in lines[1:]]
    return out + [f'{indent}"""']


def signature(node):
    """(name, kind) of each parameter of a def."""
    args = node.args
    return [(a.arg, "positional") for a in args.posonlyargs + args.args] + [(a.arg, "keyword") for a in args.kwonlyargs]


class Supplement:
    """The stub's own part, `<module>.typing.pyi` beside the rendering: the
    imports a stub needs, the types the stub states more precisely than
    the rendering's annotations (which the binding rules read), the
    attributes and values the rendering does not declare, and docstrings
    for what the rendering leaves undocumented.  Everything else comes from
    the rendering."""

    def __init__(self, path):
        self.path = path
        tree = ast.parse(path.read_text(encoding="utf-8"), str(path)) if path.exists() else ast.Module(body=[])
        self.imports = [n for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))]
        self.items = {}
        for node in tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                continue
            if is_docstring(node):
                fail(path, node.lineno, "the module docstring is the rendering's")
            name = node.target.id if isinstance(node, ast.AnnAssign) else getattr(node, "name", None)
            if name is None:
                fail(path, node.lineno, "a supplement holds imports, annotated names, defs and classes")
            self.items[name] = node
        self.used = set()

    def take(self, name, owner=None):
        items = self.items
        if owner is not None:
            cls = self.items.get(owner)
            items = {} if cls is None else {getattr(n, "name", None) or n.target.id: n for n in cls.body
                                             if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.AnnAssign))}
        node = items.get(name)
        if node is not None:
            self.used.add((owner, name))
        return node

    def unused(self):
        for name, node in self.items.items():
            if (None, name) not in self.used:
                return node.lineno, name
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    if isinstance(member, ast.Expr):
                        continue
                    member_name = getattr(member, "name", None) or getattr(getattr(member, "target", None), "id", None)
                    if (name, member_name) not in self.used:
                        return member.lineno, f"{name}.{member_name}"
        return None


def stub_function(path, supplement, f, indent):
    own = supplement.take(f.name, f.owner)
    doc = f.doc
    if own is not None:
        if signature(own) != signature(f.node) or isinstance(own, ast.AsyncFunctionDef) != f.is_async:
            fail(supplement.path, own.lineno, f"{f.qualname}: the parameters and kind are the rendering's")
        own_doc = ast.get_docstring(own, clean=False)
        if own_doc is not None and doc is not None:
            fail(supplement.path, own.lineno, f"{f.qualname}: the rendering documents it")
        doc = doc if doc is not None else own_doc
        node = own
    else:
        node = f.node
    out = [f"{indent}@{ast.unparse(d)}" for d in node.decorator_list]
    keyword = "async def" if f.is_async else "def"
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    header = f"{indent}{keyword} {f.name}({ast.unparse(node.args)}){returns}:"
    if doc is None:
        return out + [header + " ..."]
    return out + [header] + docstring_lines(doc, indent + "    ")


def stub_class(path, supplement, c):
    own = supplement.take(c.name)
    doc = c.doc
    if own is not None:
        own_doc = ast.get_docstring(own, clean=False)
        if own_doc is not None and doc is not None:
            fail(supplement.path, own.lineno, f"{c.name}: the rendering documents it")
        doc = doc if doc is not None else own_doc
    bases = c.base
    if own is not None and own.bases:
        bases = ", ".join(ast.unparse(base) for base in own.bases)
    out = [f"@{c.decorator}"] if c.decorator else []
    out.append(f"class {c.name}({bases}):" if bases else f"class {c.name}:")
    if doc is not None:
        out += docstring_lines(doc, "    ")
    for name, annotation, default in c.fields:
        typed = supplement.take(name, c.name)
        if typed is not None:
            annotation = ast.unparse(typed.annotation)
        value = "" if default is None else " = ..." if default == "dict()" else f" = {default}"
        out.append(f"    {name}: {annotation}{value}")
    declared = {name for name, _, _ in c.fields} | {m.name for m in c.methods}
    if own is not None:
        for node in own.body:
            if isinstance(node, ast.AnnAssign) and node.target.id not in declared:
                supplement.take(node.target.id, c.name)
                out.append(f"    {ast.unparse(node)}")
    for f in c.methods:
        out += stub_function(path, supplement, f, "    ")
    if len(out) == (2 if c.decorator else 1):
        out[-1] += " ..."
    return out


def stub(rendering, supplement):
    out = docstring_lines(rendering.doc, "") + [""]
    out += [ast.unparse(node) for node in supplement.imports]
    out += ["", "__test__: dict[str, Any]", ""]
    for kind, item in rendering.statements:
        if kind == "bind":
            name, _, line = item
            typed = supplement.take(name)
            if not isinstance(typed, ast.AnnAssign):
                fail(rendering.path, line, f"{name}: its type is the supplement's to state")
            out.append(ast.unparse(typed))
        elif kind == "def":
            out += stub_function(rendering.path, supplement, item, "")
        elif kind == "class":
            out += [""] + stub_class(rendering.path, supplement, item)
    unused = supplement.unused()
    if unused is not None:
        fail(supplement.path, unused[0], f"{unused[1]} is not declared by the rendering")
    return "\n".join(out) + "\n"


def bodies_listing(declared):
    """The prototype of every body the module file must define, in order,
    each under the rendering line that declares it."""
    out = [f"// The bodies {declared.module}.cpp defines, declared by {declared.path.name}:"]
    for f in declared.functions:
        if f.awaits or not f.stub:
            out += ["", f"// {declared.path.name}:{f.line}: {f.qualname}", f"{body_prototype(f, 'body::' + f.scope)} {{", "}"]
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) == 3 and argv[1] == "--bodies":
        try:
            print(bodies_listing(Rendering(Path(argv[2]))), end="")
        except DeclarationError as error:
            sys.exit(f"declare.py: {error}")
        return
    if len(argv) != 3:
        sys.exit(__doc__)
    rendering, outdir = Path(argv[1]), Path(argv[2])
    try:
        declared = Rendering(rendering)
        declared.read_bodies(rendering.with_suffix(".cpp"))
        stub_text = stub(declared, Supplement(rendering.with_suffix(".typing.pyi")))
    except DeclarationError as error:
        sys.exit(f"declare.py: {error}")
    outdir.mkdir(parents=True, exist_ok=True)
    (outdir / f"{declared.module}_decl.hpp").write_text(declared.decl_header(), encoding="utf-8")
    (outdir / f"{declared.module}_tables.hpp").write_text(declared.tables_header(), encoding="utf-8")
    (outdir / f"{declared.module}.pyi").write_text(stub_text, encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv)
