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

#include "common/host/versions.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>
#include <span>
#include <utility>

#include "common/statements/objects.hpp"

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
class Task;

// A function's generated glue: calls the body with its parameters by name
// and returns its result, a new reference, or null with the error set after
// recording the failing statement's line (`Call::finish`).
using Body = PyObject *(*)(Call &call);

// The C++ coroutine of an asynchronous body that awaits (see Task below),
// started on the coroutine object that runs it.
using TaskBody = Task (*)(Coroutine &co);

// A function's declaration.  The body is one of:
//   body               a plain body; with `is_async` (an `async def` that never
//                      awaits) the call returns a coroutine that runs it on its
//                      first step;
//   task               an `async def` that awaits;
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
    TaskBody task = nullptr;
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

// ---------------------------------------------------------------------------
// Asynchronous bodies that await
//
// Such a body is a C++ coroutine that the coroutine object drives: it reads
// in the order of its rendering, each `await` a `co_await` of what
// `co.await_call` or `co.await` give, and it ends with `co_return` of a
// Result, as a plain body returns one:
//
//     kr::Task body::f(kr::Coroutine &co, kr::Handle self, kr::Handle spec) {
//         kr::Held seen{co, kr::new_dict()};
//         if (!seen) co_return line::seen;
//         Ref result = co_await co.await_call(self.attr(str_runner), spec, line::run);
//         if (!result) co_return line::run;
//         ...
//     }
//
// An await whose iterator yields suspends the body; the values go out to
// whoever drives the coroutine object, and what they send in comes back
// into the body as the await's result.  A throw() or close() there comes
// back as a failed await: a null result with the error set (GeneratorExit
// for close()).  Collecting a suspended coroutine destroys the body's frame
// without resuming it, releasing what it holds.
//
// The body's parameters are borrowed from the coroutine object, which owns
// the arguments.  An object the body keeps across an await is a `Held`, so
// that the garbage collector sees it through the coroutine object.

class Held;
class Await;

// What an awaiting body sees of its coroutine: the bound arguments, the
// module's namespace, and the awaits.  The coroutine object owns the
// arguments, the iterator being awaited and the body's frame.
class Coroutine {
public:
    PyObject *operator[](std::size_t i) const { return args_[i]; }
    double real(std::size_t i) const { return reals_[i]; }
    PyObject *globals() const { return globals_; }
    // `globals()[name]`, else the builtin of that name; NameError when neither exists.
    Ref global(PyObject *name) const { return steal(kr::global(globals_, name)); }

    // `await awaitable` at `line`, through the host's await protocol; the
    // awaiting statement fails with TypeError when it is not awaitable.
    Await await(PyObject *awaitable, Line line);

    // `await callable(arg)` at `line`.  The callable is released once
    // called, before the body suspends.  Our own asynchronous functions
    // whose bodies never await run here at once, without a coroutine, with
    // the same outcome.
    Await await_call(Ref &&callable, PyObject *arg, Line line);

    // The memory of the body's frame: room the coroutine object keeps for
    // it, or else the heap (null with MemoryError set when that fails).
    void *allocate_frame(std::size_t size) noexcept;
    static void free_frame(void *frame) noexcept;

private:
    friend struct CoroutineObject;
    friend class Held;
    friend class Await;
    Coroutine() = default;
    PyObject *globals_ = nullptr;  // borrowed from the function
    // The bound arguments, `nargs_` of them (left unset beyond).
    Py_ssize_t nargs_ = 0;
    PyObject *args_[kMaxParams];
    double reals_[kMaxParams];
    Ref inner_;                            // the iterator being awaited
    Ref sent_;                             // the result of the await the body resumes in
    Held *held_ = nullptr;                 // what the body holds, newest first
    int line_ = 0;                         // the failing statement's line
    int await_line_ = 0;                   // the statement of the latest await; 0 before any
    unsigned char *frame_room_ = nullptr;  // where the frame goes if it fits
    std::size_t frame_room_size_ = 0;
    std::size_t *frame_size_ = nullptr;  // the function's record of its frames' size
};

// A reference that an awaiting body keeps across its awaits: while it lives
// in the body's frame, the coroutine object's traverse visits it.
class Held : public Api<Held> {
public:
    Held(Coroutine &co, Ref &&value) noexcept : obj_(value.release()), next_(co.held_), link_(&co.held_) {
        if (next_ != nullptr) next_->link_ = &next_;
        co.held_ = this;
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() {
        *link_ = next_;
        if (next_ != nullptr) next_->link_ = link_;
        Py_XDECREF(obj_);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    operator Handle() const noexcept { return obj_; }
    // Hands the reference over (a result, say).
    Ref take() noexcept { return steal(std::exchange(obj_, nullptr)); }

private:
    friend struct CoroutineObject;
    PyObject *obj_;
    Held *next_;
    Held **link_;  // what points at this one: the coroutine's head or the newer one's next_
};

// What `co_await` takes: an await that either completed at once (its
// result, or null with the error set) or suspends the body until the
// coroutine object resumes it with the awaited iterator's outcome.
class Await {
public:
    bool await_ready() const noexcept { return done_; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Ref await_resume() noexcept { return done_ ? std::move(result_) : std::move(co_.sent_); }

private:
    friend class Coroutine;
    Await(Coroutine &co, Ref &&result, bool done) noexcept : co_(co), result_(std::move(result)), done_(done) {}
    Coroutine &co_;
    Ref result_;
    bool done_;
};

// The C++ coroutine of an awaiting body.  It starts when the coroutine
// object is first sent a value and runs until its first suspending await;
// once it has returned, it stays suspended at its end until the coroutine
// object takes the result and destroys it.
class Task {
public:
    struct promise_type;
    using Frame = std::coroutine_handle<promise_type>;

    struct promise_type {
        Task get_return_object() noexcept { return Task(Frame::from_promise(*this)); }
        static Task get_return_object_on_allocation_failure() noexcept { return Task(Frame()); }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Result result) noexcept { value = result.take(&line); }
        void unhandled_exception() noexcept { std::terminate(); }

        // The frame lives in the coroutine object when it fits.
        template <class... Params>
        static void *operator new(std::size_t size, Coroutine &co, const Params &...) noexcept {
            return co.allocate_frame(size);
        }
        static void operator delete(void *frame) noexcept { Coroutine::free_frame(frame); }

        PyObject *value = nullptr;  // the result, a new reference; null when it failed
        int line = 0;               // the failing statement's line
    };

    explicit Task(Frame frame) noexcept : frame_(frame) {}
    Task(Task &&other) noexcept : frame_(other.release()) {}
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() {
        if (frame_) frame_.destroy();
    }
    // The frame, for the coroutine object to keep; null when it could not
    // be made (MemoryError is set).
    Frame release() noexcept { return std::exchange(frame_, Frame()); }

private:
    Frame frame_;
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
