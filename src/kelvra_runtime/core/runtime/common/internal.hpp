// Internals of the frame shared by its own source files; module files use
// frame.hpp only.
#pragma once

#include "common/frame.hpp"

namespace kr {

// The events of a call of ours that tools listening through the host's
// monitoring see: PY_START, PY_RESUME, PY_THROW, PY_RETURN, PY_YIELD and
// PY_UNWIND, as a Python function's call fires them.
inline constexpr std::size_t kMonitoredEvents = 6;

// A function object: what `Module::function` makes from a FunctionDef.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *name;                        // str
    PyObject *qualname;                    // str
    PyObject *module;                      // str: the module's qualified name
    PyObject *doc;                         // str or None
    PyObject *globals;                     // the module's dict
    PyObject *annotations;                 // dict
    PyObject *defaults;                    // tuple, or null for none
    PyObject *kwdefaults;                  // dict, or null for none
    PyObject *dict;                        // the writable __dict__, made on first use
    PyObject *signature;                   // inspect.Signature, made on first use
    PyObject *codes;                       // dict: line -> the code object of our entries there
    PyObject *param_names[kMaxParams];     // interned
    PyObject *default_values[kMaxParams];  // null for required parameters
    Py_ssize_t nparams;
    Py_ssize_t npositional;      // positional-or-keyword parameters
    Py_ssize_t nrequired;        // positional-or-keyword parameters without default
    Py_ssize_t ndefaulted_from;  // every parameter from this index on has a default
    Py_ssize_t positional_call;  // nparams when every parameter binds by position, else -1
    // The latest quick keyword call: its tuple of keyword names (kept, so
    // that the same tuple, as a call site passes it each time, is known by
    // identity), its positional arguments, its number of keywords (-1: none
    // learnt), and the parameter each keyword binds.
    PyObject *known_kwnames;
    Py_ssize_t known_nargs;
    Py_ssize_t known_nkw;
    unsigned char known_slots[kMaxParams];
    // The parameters with a check, in parameter order, each with the one
    // type an argument must have to pass as it is: the declared type, an
    // int for `to_int`, a float for `to_double` (whose double is then
    // read).  The quick paths pass only such arguments; the general rule
    // converts the others and reports what it refuses.
    struct TypeTest {
        Py_ssize_t index;
        PyTypeObject *type;
        Check::How how;
    };
    TypeTest tests[kMaxParams];
    Py_ssize_t ntests;
    Body body;  // the declared body; for a stub, one that returns None
    // The size an awaiting body's frame takes, once one was made: room the
    // function's coroutine objects keep for it.
    std::size_t frame_size;
    bool returns_coroutine;  // an asynchronous function
    // What tools listening through the host's monitoring see of its calls
    // (calls/events.cpp): the code named as the rendering names the
    // function, made for the first call they see, and the state of each
    // event the calls fire, which the host fills in as a call enters its
    // scope.
    PyObject *monitored_code;
    PyMonitoringState monitoring[kMonitoredEvents];
    std::uint64_t monitoring_version;
};

// Whether calling the function returns a coroutine.
inline bool is_async(const FunctionObject *f) { return f->returns_coroutine; }

// Whether the arguments of the parameters with a check, all bound in
// `bound`, are exactly of the types their checks name, reading the doubles
// of floats into `reals`.  When they are not, the general rule converts,
// tests and reports them.
inline bool types_as_declared(const FunctionObject *f, PyObject *const *bound, double *reals) {
    for (Py_ssize_t c = 0; c < f->ntests; c++) {
        const FunctionObject::TypeTest &test = f->tests[c];
        PyObject *value = bound[test.index];
        if (Py_TYPE(value) == test.type) {
            if (test.how == Check::How::ToDouble) reals[test.index] = PyFloat_AS_DOUBLE(value);
        }
        else if (value != Py_None || test.how != Check::How::ExactOrNone) {
            return false;
        }
    }
    return true;
}

// The types of the frame, made at the first exec of the module that links
// this copy of the frame.
inline PyTypeObject *function_type = nullptr;
inline PyTypeObject *coroutine_type = nullptr;
inline PyTypeObject *coroutine_await_type = nullptr;

int init_function_type(PyObject *module_name);
int init_coroutine_types(PyObject *module_name);

// Returns a new coroutine object for an asynchronous function whose
// arguments were bound into `args` (borrowed) and `reals`.
PyObject *coroutine_new(FunctionObject *function, PyObject *const *args, const double *reals);

// Gives the error set the traceback entry and form of an error leaving the
// body of the asynchronous function at `line` (0: the def line).
void coroutine_error(FunctionObject *function, int line);

// A new object for a literal of a declaration: "None", "True", "False",
// an int or a float.
PyObject *literal(const char *text);

// Adds the traceback entry `funcname` at `line` of the source file of the
// module named `module_name` to the error being raised.
void add_traceback_entry(PyObject *funcname, PyObject *module_name, int line, PyObject *globals);

// The function object's vectorcall, and its tp_call.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf, PyObject *kwnames);
PyObject *coroutine_function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf,
                                        PyObject *kwnames);
PyObject *function_call(PyObject *callable, PyObject *args, PyObject *kwargs);

// Adds the function's traceback entry for an error leaving it at `line`
// (0: the def line).
void function_traceback(FunctionObject *function, int line);

// The code object of the function's traceback entries and frames at `line`
// (0: the def line), made once per line: named by the function's dotted
// path, in the module's source file.  A new reference, or null.
PyObject *function_code(FunctionObject *function, int line);

// A frame object standing at the single line of `code`, as the host makes
// for a traceback entry.  A new reference, or null.
PyObject *frame_of(PyObject *code, PyObject *globals);

// The code object that tools see for the function's calls: named, and
// qualified, as the rendering's function, in the module's source file at
// the def line.  A new reference, or null.
PyObject *rendering_code(FunctionObject *function);

// Where a call enters the function's body, as tools see it: a call starts
// it; a coroutine's is resumed, or has an exception thrown in.
enum class Entry : unsigned char { Start, Resume, Throw };

// The events of the calls made while a tool listens (host::calls_watched),
// to those tools.  Each call fires an entry, then, after the body ran,
// its exit: `fire_exit` of its result, or `fire_yield` of a value a
// coroutine yields.
//
// Enters the host's monitoring scope and fires PY_START, PY_RESUME or
// PY_THROW (with the error set); -1 with the error set when a tool's
// callback failed.
int fire_entry(FunctionObject *function, Entry entry);
// Fires PY_RETURN of `result`, or PY_UNWIND with the error set when it is
// null, and leaves the scope.  Returns `result`, or null with the error
// set when a callback failed: a failed PY_RETURN then unwinds too, as the
// host's frame does.
PyObject *fire_exit(FunctionObject *function, PyObject *result);
// Fires PY_YIELD of `value` and leaves the scope; -1 with the error set
// when a callback failed, and the body, still in its scope, goes on.
int fire_yield(FunctionObject *function, PyObject *value);

}  // namespace kr
