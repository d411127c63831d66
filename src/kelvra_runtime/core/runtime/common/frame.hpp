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

#include "ref.hpp"

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

// The bound arguments of one call, in parameter order.
class Call {
public:
    PyObject *operator[](std::size_t i) const { return args_[i]; }
    // The double of a parameter checked `to_double`.
    double real(std::size_t i) const { return reals_[i]; }
    // `float(arg)` of a parameter checked `to_double`: the argument itself
    // when it is an exact float, as float() returns it, else a new float
    // of its double.  A new reference, or null.
    PyObject *float_of(std::size_t i) const {
        return PyFloat_CheckExact(args_[i]) ? Py_NewRef(args_[i]) : PyFloat_FromDouble(reals_[i]);
    }
    // The namespace of the module that defines the function.
    PyObject *globals() const { return globals_; }

    PyObject *fail(int line) {
        line_ = line;
        return nullptr;
    }
    int line() const { return line_; }

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

// ---------------------------------------------------------------------------
// Helpers shared by module bodies

// The builtin `name` (a new reference).
PyObject *builtin(const char *name);

// The module global `name` (a new reference), else the builtin of that
// name; NameError when neither exists.
PyObject *global(PyObject *globals, const char *name);
PyObject *global(PyObject *globals, PyObject *name);

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

template <class Number>
inline bool compare_numbers(Number x, int op, Number y) {
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// `compare` past its exact float and small exact int cases.
int compare_objects(PyObject *a, int op, PyObject *b);

// `a <op> b` taken as a truth value (1, 0, or -1 with the error set), as
// the host evaluates it.  Two exact floats compare as doubles and two small
// exact ints as machine integers, as their own comparisons do; two exact
// strs compare by value, and an exact int or None equals itself.
inline int compare(PyObject *a, int op, PyObject *b) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return compare_numbers(PyFloat_AS_DOUBLE(a), op, PyFloat_AS_DOUBLE(b));
    }
    long long x, y;
    if (machine_int(a, &x) && machine_int(b, &y)) return compare_numbers(x, op, y);
    if (a == b && (op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a)) return op == Py_EQ;
    return compare_objects(a, op, b);
}

// `list.append(item)` for an exact list: 0, or -1 with the error set.  In
// place while the list has room, as the host's own append is.
inline int list_append(PyObject *list, PyObject *item) {
    Py_ssize_t size = PyList_GET_SIZE(list);
    if (size < reinterpret_cast<PyListObject *>(list)->allocated) [[likely]] {
        PyList_SET_ITEM(list, size, Py_NewRef(item));
        Py_SET_SIZE(list, size + 1);
        return 0;
    }
    return PyList_Append(list, item);
}

// The error of a failed attribute read, given the name and object for the
// host's suggestions, as its own attribute read does.  Returns null.
PyObject *attribute_error_context(PyObject *obj, PyObject *name);

// `obj.<name>` for an interned str `name`, as the host's attribute read
// does it, through the type's own lookup.
inline PyObject *get_attr(PyObject *obj, PyObject *name) {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == nullptr) [[unlikely]]
        return PyObject_GetAttr(obj, name);
    PyObject *value = getattro(obj, name);
    return value != nullptr ? value : attribute_error_context(obj, name);
}

// `obj.<name> = value` for an interned str `name`, through the type's own
// assignment; 0, or -1 with the error set.
inline int set_attr(PyObject *obj, PyObject *name, PyObject *value) {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    if (setattro == nullptr) [[unlikely]]
        return PyObject_SetAttr(obj, name, value);
    return setattro(obj, name, value);
}

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

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
// with the subclass note when `obj` is an instance of a subclass of
// `expected`.  Always returns null.
PyObject *refuse_type(const char *param, PyTypeObject *expected, PyObject *obj);

}  // namespace kr
