// The shared frame of the runtime's extension modules.
//
// A module's namespace is declared with the types below — functions with
// their parameters, annotations, docstrings and source lines, classes with
// their members, the module body — in tables that tools/declare.py
// generates from the module's rendering; the module file gives the bodies,
// and the frame does the rest: argument binding with the system's messages, exact-type tests,
// coroutine objects for asynchronous methods, traceback entries, and the
// module definition with its import behaviour.
//
// No C++ exception ever crosses the C API: a failing call returns null (or
// -1) with the Python error set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <span>

#include "objects.hpp"

namespace kr {

// ---------------------------------------------------------------------------
// Functions

inline constexpr std::size_t kMaxParams = 12;

enum class Kind : unsigned char { PositionalOrKeyword, KeywordOnly };

// What binding does with a parameter's argument: nothing; accept exactly
// one built-in type (a subclass instance is refused), or also None;
// convert it to a double with the host's float conversion; or take an
// exact int as it is and convert another number with the host's int().
struct Check {
    enum class How : unsigned char { None, Exact, ExactOrNone, ToDouble, ToInt };
    How how = How::None;
    PyTypeObject *type = nullptr;  // for Exact and ExactOrNone
};

inline constexpr Check any{};
constexpr Check exact(PyTypeObject *type) { return {Check::How::Exact, type}; }
constexpr Check exact_or_none(PyTypeObject *type) { return {Check::How::ExactOrNone, type}; }
inline constexpr Check to_double{Check::How::ToDouble};
inline constexpr Check to_int{Check::How::ToInt};

// One declared parameter: its name, its check, its annotation as
// `__annotations__` shows it (null for none), its kind, and its default as
// a literal ("None", "0", "1", "0.0"; null means required).
struct Param {
    const char *name;
    Check check = any;
    const char *annotation = nullptr;
    Kind kind = Kind::PositionalOrKeyword;
    const char *default_value = nullptr;
};

class Call;
class Coroutine;

// A function body: returns a new reference, or null with the error set
// after `call.fail(line)` recorded the failing statement's line.
using Body = PyObject *(*)(Call &call);

// A step of an asynchronous body that awaits.  `sent` is Py_None on the
// first step; after an await it is the awaited result (borrowed), or null
// with the awaited object's error set.  A step returns the body's result,
// null with the error set, or what `co.await(...)` returned, to suspend.
using Step = PyObject *(*)(Coroutine &co, PyObject *sent);

// The type of the state an awaiting body keeps across its awaits: made
// with the coroutine, released when the coroutine ends or is collected,
// and shown to the garbage collector through its `traverse`.
struct StateType {
    std::size_t size;
    void (*construct)(void *state);
    void (*destroy)(void *state);
    int (*traverse)(const void *state, visitproc visit, void *arg);
};

// The most state an awaiting body may keep (it lives in the coroutine).
inline constexpr std::size_t kMaxStateSize = 64;

template <class State>
    requires(sizeof(State) <= kMaxStateSize && alignof(State) <= alignof(std::max_align_t))
inline constexpr StateType state_type = {
    sizeof(State),
    [](void *state) { new (state) State(); },
    [](void *state) { static_cast<State *>(state)->~State(); },
    [](const void *state, visitproc visit, void *arg) {
        return static_cast<const State *>(state)->traverse(visit, arg);
    },
};

// A function's declaration.  The body is one of:
//   body               a plain body; with `is_async` (an `async def` that never
//                      awaits) the call returns a coroutine that runs it on its
//                      first step;
//   step and state     an `async def` that awaits;
//   neither            a stub, such as a protocol's method: it returns None
//                      (through a coroutine with `is_async`).
struct FunctionDef {
    const char *name;
    const char *doc = nullptr;
    int line = 0;  // the `def` line: binding errors are reported here
    std::span<const Param> params = {};
    const char *returns = nullptr;  // return annotation, null for none
    Body body = nullptr;
    bool is_async = false;
    Step step = nullptr;
    const StateType *state = nullptr;
};

// The bound arguments of one call, in parameter order, as the generated
// glue hands them to the body by name.
class Call {
public:
    PyObject *operator[](std::size_t i) const { return args_[i]; }
    // The double of a parameter checked `to_double` (the glue reads it for
    // those parameters only).
    double real(std::size_t i) const { return reals_[i]; }
    // The namespace of the module that defines the function.
    PyObject *globals() const { return globals_; }
    // `globals()[name]`, else the builtin of that name; NameError when neither exists.
    Ref global(PyObject *name) const { return steal(kr::global(globals_, name)); }

    PyObject *fail(int line) {
        line_ = line;
        return nullptr;
    }
    int line() const { return line_; }

    // The body's result, or null after recording the failing statement's line.
    PyObject *finish(Result result) { return result.take(&line_); }

    Call(PyObject *globals, PyObject *const *args, const double *reals)
        : globals_(globals), args_(args), reals_(reals) {}

private:
    PyObject *globals_;
    PyObject *const *args_;
    const double *reals_;
    int line_ = 0;
};

// What an awaiting body sees of its coroutine: the bound arguments, its
// state, and the await.  The coroutine object owns all of them and what
// the body awaits.
class Coroutine {
public:
    PyObject *operator[](std::size_t i) const { return args_[i]; }
    double real(std::size_t i) const { return reals_[i]; }
    PyObject *globals() const { return globals_; }
    template <class State>
    State &state() {
        return *static_cast<State *>(state_);
    }

    // Starts awaiting `awaitable` through the host's await protocol, in
    // the statement at `line` (where the coroutine's frame then stands).
    // On success it returns the suspension marker that the step must
    // return; on failure (not awaitable) it returns null with TypeError set
    // and the step may handle the error or return null itself.
    PyObject *await(PyObject *awaitable, int line);

    // `await callable(arg)` at `line`.  Returns the suspension marker when
    // the step must suspend; otherwise null, with `*result` set to the
    // awaited result, or left empty with the error set.  Our own functions
    // whose bodies never await run here, without a coroutine, with the
    // same outcome.
    PyObject *await_call(PyObject *callable, PyObject *arg, int line, Ref *result);

    PyObject *fail(int line) {
        line_ = line;
        return nullptr;
    }

private:
    friend struct CoroutineObject;
    Coroutine() = default;
    PyObject *globals_ = nullptr;  // borrowed from the function
    // The bound arguments, `nargs_` of them (left unset beyond).
    Py_ssize_t nargs_ = 0;
    PyObject *args_[kMaxParams];
    double reals_[kMaxParams];
    void *state_ = nullptr;
    Ref inner_;           // the iterator being awaited
    int line_ = 0;        // the failing statement's line
    int await_line_ = 0;  // the statement of the latest await; 0 before any
};

// ---------------------------------------------------------------------------
// Classes

// A method of a class namespace, in definition order.
struct Member {
    const FunctionDef *function;
    bool is_class_method = false;
};

inline Member method(const FunctionDef &def) { return {&def}; }
inline Member class_method(const FunctionDef &def) { return {&def, true}; }

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
    const char *base = nullptr;       // its one base: a module global or builtin
    const char *decorator = nullptr;  // a module global, applied on the line above
};

// ---------------------------------------------------------------------------
// Modules

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
    const char *qualified_name() const { return qualified_name_; }

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
    // A class statement: the class built through the host's class-creation
    // protocol, decorated, and bound to its name.
    int def_class(const ClassDef &def);
    // The class of a class statement, before it is bound: a new reference.
    PyObject *make_class(const ClassDef &def);

    Module(const ModuleDef &def, PyObject *module, PyObject *dict, const char *qualified_name)
        : def_(def), module_(module), dict_(dict), qualified_name_(qualified_name) {}
    int line() const { return line_; }

private:
    const ModuleDef &def_;
    PyObject *module_;
    PyObject *dict_;
    const char *qualified_name_;
    int line_ = 1;
    bool failed_ = false;
};

// The PyModuleDef of a module, for its PyInit function:
//     PyMODINIT_FUNC PyInit_waiters() { return kr::module_init(waiters_module); }
PyObject *module_init(const ModuleDef &def);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
// with the subclass note when `obj` is an instance of a subclass of
// `expected`.  Always returns null.
PyObject *refuse_type(const char *param, PyTypeObject *expected, PyObject *obj);

}  // namespace kr
