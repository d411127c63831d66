// The shared frame of the runtime's extension modules.
//
// A module's source file declares its namespace with the types below —
// functions with their parameters, annotations, docstrings and source
// lines, classes with their members, the module body — and the frame does
// the rest: argument binding with the system's messages, exact-type tests,
// coroutine objects for asynchronous methods, traceback entries, and the
// module definition with its import behaviour.
//
// No C++ exception ever crosses the C API: a failing call returns null (or
// -1) with the Python error set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "ref.hpp"

namespace kr {

// ---------------------------------------------------------------------------
// Functions

constexpr std::size_t kMaxParams = 12;

enum class Kind : unsigned char { PositionalOrKeyword, KeywordOnly };
constexpr Kind kw_only = Kind::KeywordOnly;

// One declared parameter.  The annotation text is stored as written in the
// function's `__annotations__` and also chooses the check made at binding:
// "str", "dict", "list", "tuple" (with or without subscripts) accept exactly
// that built-in type, "Optional[...]" or "... | None" also admit None,
// "float" converts to a double, "int" converts to an int; anything else is
// not enforced.  The default is a literal ("None", "0", "1", "0.0"); null
// means required.
struct Param {
    const char *name;
    const char *annotation = nullptr;
    Kind kind = Kind::PositionalOrKeyword;
    const char *default_value = nullptr;
};

class Call;
class Coroutine;

// A plain function body: returns a new reference, or null with the error
// set after `call.fail(line)` recorded the failing statement's line.
using Body = PyObject *(*)(Call &call);

// One step of an asynchronous body.  `sent` is Py_None on the first step;
// after an `await` it is the awaited result (borrowed), or null with the
// awaited object's error set.  A step returns the body's result, null with
// the error set, or the value of `co.await(...)` to suspend.
using Step = PyObject *(*)(Coroutine &co, PyObject *sent);

struct FunctionDef {
    const char *name;
    const char *doc = nullptr;
    int line = 0;  // the `def` line: binding errors are reported here
    std::span<const Param> params = {};
    const char *returns = nullptr;  // return annotation, null for none
    Body body = nullptr;            // exactly one of body and step
    Step step = nullptr;            // an `async def`: the call returns a coroutine
};

// The bound arguments of one call, in parameter order.
class Call {
public:
    PyObject *operator[](std::size_t i) const { return args_[i]; }
    // The double of a parameter annotated "float".
    double real(std::size_t i) const { return reals_[i]; }
    // The function being called (a borrowed function object).
    PyObject *function() const { return function_; }
    // The namespace of the module that defines the function.
    PyObject *globals() const;

    PyObject *fail(int line) {
        line_ = line;
        return nullptr;
    }
    int line() const { return line_; }

    Call(PyObject *function, PyObject *const *args, const double *reals)
        : function_(function), args_(args), reals_(reals) {}

private:
    PyObject *function_;
    PyObject *const *args_;
    const double *reals_;
    int line_ = 0;
};

// The coroutine object returned by an asynchronous function.  It owns the
// bound arguments and the body's locals, and follows the host's coroutine
// protocol (`__await__`, `send`, `throw`, `close`), delegating to the object
// the body awaits.
class Coroutine {
public:
    static constexpr std::size_t kLocals = 6;

    PyObject *operator[](std::size_t i) const { return args_[i].get(); }
    double real(std::size_t i) const { return reals_[i]; }
    PyObject *function() const { return function_.get(); }
    PyObject *globals() const;

    // The body's own state, kept between steps: `resume_at` is where the
    // next step resumes (0 on the first), `counter` a loop index, `locals`
    // owned references (released when the coroutine ends or is collected).
    int resume_at = 0;
    Py_ssize_t counter = 0;
    Ref locals[kLocals];

    // Starts awaiting `awaitable` through the host's await protocol, in
    // the statement at `line` (where the coroutine's frame then stands).
    // On success it returns the suspension marker that the step must
    // return; on failure (not awaitable) it returns null with TypeError set
    // and the step may handle the error or return null itself.
    PyObject *await(PyObject *awaitable, int line);

    PyObject *fail(int line) {
        line_ = line;
        return nullptr;
    }
    int line() const { return line_; }

private:
    friend struct CoroutineObject;
    Coroutine() = default;
    Ref function_;
    Ref args_[kMaxParams];
    double reals_[kMaxParams] = {};
    int line_ = 0;
    int await_line_ = 0;  // the statement of the latest await; 0 before any
};

// ---------------------------------------------------------------------------
// Classes

// One entry of a class namespace, in definition order.
struct Member {
    enum class What : unsigned char { Method, ClassMethod, Value };
    const char *name;
    What what = What::Method;
    const FunctionDef *function = nullptr;  // Method and ClassMethod
    const char *value = nullptr;            // Value: a literal as for defaults
};

inline Member method(const FunctionDef &def) { return {def.name, Member::What::Method, &def}; }
inline Member class_method(const FunctionDef &def) {
    return {def.name, Member::What::ClassMethod, &def};
}

// A data-class field: its annotation text and default.  A default of
// "dict()" becomes `field(default_factory=dict)`; other defaults are
// literals, null means required.
struct Field {
    const char *name;
    const char *annotation;
    const char *default_value = nullptr;
};

struct ClassDef {
    const char *name;
    const char *doc = nullptr;
    int line = 0;                        // the `class` line, for init tracebacks
    std::span<const Field> fields = {};  // the `__annotations__` and defaults
    std::span<const Member> members = {};
};

// ---------------------------------------------------------------------------
// Modules

// A process-wide constant of a module, made once at its first exec, in the
// order of declaration: an interned str,
//     kr::Constant str_get{"get"};
// a tuple of interned strs, such as the keyword names of a call site,
//     const char *const breach_names[] = {"cap_name", "cap_value"};
//     kr::Constant breach_keywords{breach_names};
// or the object a function makes (it may use the constants declared
// before it),
//     kr::Constant int_zero{[] { return PyLong_FromLong(0); }};
// Declaring one is all it takes: it registers itself with the module.
class Constant {
public:
    explicit Constant(const char *interned) noexcept;
    explicit Constant(std::span<const char *const> interned_tuple) noexcept;
    explicit Constant(PyObject *(*make)()) noexcept;
    Constant(const Constant &) = delete;
    Constant &operator=(const Constant &) = delete;

    PyObject *get() const noexcept { return object_; }
    operator PyObject *() const noexcept { return object_; }

    // Makes every declared constant not made yet; -1 with the error set.
    static int make_all();

private:
    void link() noexcept;
    PyObject *make() const;

    const char *text_ = nullptr;
    std::span<const char *const> texts_ = {};
    PyObject *(*make_)() = nullptr;
    PyObject *object_ = nullptr;
    Constant *next_ = nullptr;
};

class Module;
using ModuleBody = int (*)(Module &m);

struct ModuleDef {
    const char *name;  // the short name, e.g. "waiters"
    const char *doc;
    ModuleBody body = nullptr;
};

// What a module body builds with.  Every operation returns null or -1 with
// the error set when it fails, after recording `line` for the
// "init <module>" traceback entry.
class Module {
public:
    PyObject *object() const { return module_; }
    PyObject *dict() const { return dict_; }
    const char *qualified_name() const;

    // Records the line of a failing step.  The first failure is kept, so
    // that nested steps such as `m.bind(name, m.decorate(...))` report
    // the innermost one.
    int fail(int line) {
        if (!failed_) line_ = line;
        failed_ = true;
        return -1;
    }

    // `name = value`; steals `value` (null means the error is set).
    int bind(const char *name, PyObject *value, int line);
    // `import module`
    int import_module(const char *module, int line);
    // `from module import names...`; a leading dot makes it relative.
    int import_from(const char *module, std::span<const char *const> names, int line);
    // A module-level function.
    int def(const FunctionDef &def);
    // A function object for `def`; `owner` is the qualified name of the
    // class that holds it, or null for a module-level function.
    PyObject *function(const FunctionDef &def, const char *owner);
    // A class built through the host's class-creation protocol from
    // `bases` (a tuple, borrowed; null for none).  Returns a new reference.
    PyObject *build_class(const ClassDef &def, PyObject *bases);
    // Calls the module global `decorator` with one argument; steals `cls`.
    PyObject *decorate(const char *decorator, PyObject *cls, int line);

    Module(const ModuleDef &def, PyObject *module, PyObject *dict)
        : def_(def), module_(module), dict_(dict) {}
    int line() const { return line_; }

private:
    const ModuleDef &def_;
    PyObject *module_;
    PyObject *dict_;
    int line_ = 1;
    bool failed_ = false;
};

// The PyModuleDef of a module, for its PyInit function:
//     PyMODINIT_FUNC PyInit_waiters() { return kr::module_init(waiters_module); }
PyObject *module_init(const ModuleDef &def);

// ---------------------------------------------------------------------------
// Helpers shared by module bodies

// The builtin `name` (a new reference).
PyObject *builtin(const char *name);

// The module global `name` (a new reference), else the builtin of that
// name; NameError when neither exists.
PyObject *global(PyObject *globals, const char *name);
PyObject *global(PyObject *globals, PyObject *name);

// `a <op> b` taken as a truth value (1, 0, or -1 with the error set), as
// the host evaluates it.  Two exact floats compare as doubles and two small
// exact ints as machine integers, as their own comparisons do; two exact
// strs compare by value, and an exact int or None equals itself.
int compare(PyObject *a, int op, PyObject *b);

// `self.<name>(args...)`: a new reference, or null with the error set.
template <class... Args>
PyObject *call_method(PyObject *name, PyObject *self, const Args &...args) {
    PyObject *stack[] = {self, static_cast<PyObject *>(args)...};
    return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `callable(positional..., **dict(zip(kwnames, keyword values)))`: the
// arguments are the positional ones, then one value per name of `kwnames`
// (a tuple of interned strs, as a compiled call site passes).
template <class... Args>
PyObject *call_with_keywords(PyObject *callable, PyObject *kwnames, const Args &...args) {
    PyObject *stack[] = {nullptr, static_cast<PyObject *>(args)...};
    std::size_t nargs = sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// The value of an exact int small enough for machine arithmetic (a compact
// one, of at most one internal digit): the host's int arithmetic and
// comparisons on it give what the machine's do, and a double holds it
// exactly.  False for any other object.
inline bool machine_int(PyObject *value, long long *out) {
    if (!PyLong_CheckExact(value)) return false;
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *out = PyUnstable_Long_CompactValue(number);
    return true;
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
// with the subclass note when `obj` is an instance of a subclass of
// `expected`.  Always returns null.
PyObject *refuse_type(const char *param, PyTypeObject *expected, PyObject *obj);

// The error set, as it leaves the body of the asynchronous function
// `function` at `line` (0: the def line) through the function's coroutine:
// with the function's traceback entry, and a StopIteration turned into
// RuntimeError.  For a module that runs such a body without a coroutine.
// Always returns null.
PyObject *body_error(PyObject *function, int line);

}  // namespace kr
