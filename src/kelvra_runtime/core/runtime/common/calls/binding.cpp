// Calling a function object: argument binding with the system's messages,
// exact-type tests and conversions, then the body, or the coroutine of an
// asynchronous function.

#include "common/internal.hpp"

namespace kr {

static int arity_error(FunctionObject *f, Py_ssize_t found) {
    bool exact = f->nrequired == f->npositional;
    Py_ssize_t expected = found < f->nrequired ? f->nrequired : f->npositional;
    const char *how = exact ? "exactly" : (found < f->nrequired ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->def->name, how,
                 expected, expected == 1 ? "" : "s", found);
    return -1;
}

// The index of parameter `key`, a str, among those from `first` to `end`;
// -1 when absent.
static Py_ssize_t find_param(FunctionObject *f, PyObject *key, Py_ssize_t first, Py_ssize_t end) {
    for (Py_ssize_t j = first; j < end; j++) {
        if (f->param_names[j] == key) return j;
    }
    for (Py_ssize_t j = first; j < end; j++) {
        if (PyUnicode_Equal(f->param_names[j], key) == 1) return j;
    }
    return -1;
}

PyObject *refuse_type(const char *param, PyTypeObject *expected, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(obj)->tp_name);
    if (PyObject_TypeCheck(obj, expected)) {
        PyObject *error = PyErr_GetRaisedException();
        Ref note = steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are refused for typed parameters: pass an exact %s.", expected->tp_name));
        if (note) {
            Ref added = steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
            if (!added) {
                Py_DECREF(error);
                return nullptr;
            }
        }
        else {
            Py_DECREF(error);
            return nullptr;
        }
        PyErr_SetRaisedException(error);
    }
    return nullptr;
}

// The exact-type tests of the parameters that declare one, run after
// binding.  A refused type is the caller's error, not one of the
// function's own: it gets no traceback entry.
static int check_exact_types(FunctionObject *f, PyObject *const *bound) {
    for (Py_ssize_t c = 0; c < f->ntests; c++) {
        const FunctionObject::TypeTest &test = f->tests[c];
        if (test.how != Check::How::Exact && test.how != Check::How::ExactOrNone) continue;
        PyObject *value = bound[test.index];
        if (Py_IS_TYPE(value, test.type) || (value == Py_None && test.how == Check::How::ExactOrNone)) continue;
        refuse_type(f->def->params[test.index].name, test.type, value);
        return -1;
    }
    return 0;
}

// Values converted during binding, released after the call.
struct Converted {
    PyObject *objs[kMaxParams];
    std::size_t count = 0;
    ~Converted() {
        for (std::size_t i = 0; i < count; i++) Py_DECREF(objs[i]);
    }
};

static int convert(FunctionObject *f, PyObject **bound, double *reals, Converted &converted) {
    for (Py_ssize_t c = 0; c < f->ntests; c++) {
        const FunctionObject::TypeTest &test = f->tests[c];
        Py_ssize_t j = test.index;
        PyObject *value = bound[j];
        if (test.how == Check::How::ToDouble) {
            reals[j] = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if (reals[j] == -1.0 && PyErr_Occurred()) return -1;
        }
        else if (test.how == Check::How::ToInt && !PyLong_CheckExact(value)) {
            if (!PyNumber_Check(value)) {
                PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)",
                             f->def->params[j].name, "int", Py_TYPE(value)->tp_name);
                return -1;
            }
            PyObject *number = PyNumber_Long(value);
            if (number == nullptr) return -1;
            converted.objs[converted.count++] = number;
            bound[j] = number;
        }
    }
    return 0;
}

// Learns where the keywords of `kwnames` go when `nargs` arguments come by
// position: each must be the interned name of a parameter after those, as
// the interpreter passes them, no two the same, and every parameter without
// a default given.  False for anything else, which the general rule binds
// and reports.
[[gnu::noinline]] static bool learn_keyword_slots(FunctionObject *f, PyObject *kwnames, Py_ssize_t nargs) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    // A tuple of the very names the latest mapping maps, as a call through
    // a dict of keywords makes anew each time.
    if (nargs == f->known_nargs && nkw == f->known_nkw) {
        Py_ssize_t k = 0;
        while (k < nkw && PyTuple_GET_ITEM(kwnames, k) == f->param_names[f->known_slots[k]]) k++;
        if (k == nkw) {
            Py_SETREF(f->known_kwnames, Py_NewRef(kwnames));
            return true;
        }
    }
    Py_CLEAR(f->known_kwnames);
    f->known_nkw = -1;
    if (nkw > f->nparams - nargs) return false;
    unsigned taken = 0;  // a bit per parameter
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = nargs;
        while (j < f->nparams && f->param_names[j] != key) j++;
        if (j == f->nparams || (taken & (1u << j)) != 0) return false;
        taken |= 1u << j;
        f->known_slots[k] = static_cast<unsigned char>(j);
    }
    for (Py_ssize_t j = nargs; j < f->ndefaulted_from; j++) {
        if ((taken & (1u << j)) == 0) return false;
    }
    f->known_kwnames = Py_NewRef(kwnames);
    f->known_nargs = nargs;
    f->known_nkw = nkw;
    return true;
}

// Whether the keywords of `kwnames` bind the quick way after `nargs`
// positional arguments, and where to: a call site passes the same tuple of
// names every time, so the mapping of the latest call is kept, and trusted
// for that very tuple.
[[gnu::always_inline]] static inline bool keyword_slots(FunctionObject *f, PyObject *kwnames, Py_ssize_t nargs) {
    if (kwnames == f->known_kwnames && nargs == f->known_nargs) [[likely]]
        return true;
    return learn_keyword_slots(f, kwnames, nargs);
}

// The `nargs` positional arguments, then the defaults of the parameters
// after them (null for one without).  One loop: a few pointers are copied
// faster than a call to copy them.
[[gnu::always_inline]] static inline void fill_defaulted(const FunctionObject *f, PyObject *const *args,
                                                         Py_ssize_t nargs, PyObject **bound) {
    for (Py_ssize_t j = 0; j < f->nparams; j++) bound[j] = j < nargs ? args[j] : f->default_values[j];
}

// Binds a call the quick way when it is an ordinary one: positional
// arguments, keywords named by the parameters' own interned names, and
// defaults for the rest.  False, with nothing reported, when the general
// rule must bind it (and report what is wrong).
[[gnu::always_inline]] static inline bool bind_quickly(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                                                       PyObject *kwnames, PyObject **bound) {
    if (nargs > f->npositional) return false;
    if (kwnames == nullptr) {
        if (nargs < f->ndefaulted_from) return false;
        fill_defaulted(f, args, nargs, bound);
        return true;
    }
    if (!keyword_slots(f, kwnames, nargs)) return false;
    // Keywords for every parameter after the positional ones leave no
    // default to fill.
    if (nargs + f->known_nkw == f->nparams) {
        for (Py_ssize_t j = 0; j < nargs; j++) bound[j] = args[j];
    }
    else {
        fill_defaulted(f, args, nargs, bound);
    }
    PyObject *const *kwvalues = args + nargs;
    for (Py_ssize_t k = 0; k < f->known_nkw; k++) bound[f->known_slots[k]] = kwvalues[k];
    return true;
}

// Binds the arguments of one call into `bound`, in parameter order.
static int bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **bound) {
    const char *fname = f->def->name;
    if (bind_quickly(f, args, nargs, kwnames, bound)) return 0;
    if (nargs > f->npositional) return arity_error(f, nargs);
    for (Py_ssize_t j = 0; j < f->nparams; j++) {
        bound[j] = j < nargs ? args[j] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *kwvalues = args + nargs;
    // Every keyword is bound before anything is reported missing, so that
    // a misspelt name is named rather than the parameter it left empty.
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
            return -1;
        }
        Py_ssize_t j = find_param(f, key, nargs, f->nparams);
        if (j >= 0 && bound[j] == nullptr) {
            bound[j] = kwvalues[k];
            continue;
        }
        if (j < 0) j = find_param(f, key, 0, nargs);
        if (j >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
        return -1;
    }
    for (Py_ssize_t j = nargs; j < f->nparams; j++) {
        if (bound[j] != nullptr) continue;
        if (f->default_values[j] != nullptr) {
            bound[j] = f->default_values[j];
            continue;
        }
        if (j < f->npositional) return arity_error(f, j);
        PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", fname, f->param_names[j]);
        return -1;
    }
    return 0;
}

// Runs a plain function's body; an error leaving it gets the function's
// traceback entry.
static inline PyObject *run_plain(FunctionObject *f, PyObject *const *args, const double *reals) {
    Call call(f->globals, args, reals);
    PyObject *result = f->body(call);
    if (result == nullptr) function_traceback(f, call.line());
    return result;
}

// Makes an asynchronous function's coroutine for a call whose arguments
// are bound, converted and tested.
static inline PyObject *start(FunctionObject *f, PyObject *const *bound, const double *reals) {
    PyObject *coroutine = coroutine_new(f, bound, reals);
    if (coroutine == nullptr) function_traceback(f, 0);
    return coroutine;
}

// A call whose arguments are bound, converted and tested: a plain
// function's body runs; an asynchronous one's coroutine is made.  Each kind
// of function has its own call path, from its own vectorcall on, which
// knows the kind without a test.
template <bool async>
static inline PyObject *run_or_start(FunctionObject *f, PyObject *const *bound, const double *reals) {
    if constexpr (async) {
        return start(f, bound, reals);
    }
    else {
        return run_plain(f, bound, reals);
    }
}

// Binds a call's arguments into `bound` by the general rule: keywords,
// defaults and int(), then the exact-type tests.  0, or -1 with the error
// set.
static int bind_by_rule(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **bound,
                        double *reals, Converted &converted) {
    if (bind(f, args, nargs, kwnames, bound) < 0 || convert(f, bound, reals, converted) < 0) {
        function_traceback(f, 0);
        return -1;
    }
    return check_exact_types(f, bound);
}

// A call bound by the general rule.  Kept out of line, so that the
// all-positional path stays small.
template <bool async>
[[gnu::noinline]] static PyObject *call_bound(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                                              PyObject *kwnames) {
    PyObject *bound[kMaxParams];
    double reals[kMaxParams];
    Converted converted;
    if (bind_by_rule(f, args, nargs, kwnames, bound, reals, converted) < 0) return nullptr;
    return run_or_start<async>(f, bound, reals);
}

// A plain function's call while a tool listens (host::calls_watched),
// bound by the general rule: its body starts, then returns or unwinds, as
// a Python function's does; a call that binding refuses fires nothing, nor
// one from a tool's callback.
[[gnu::noinline]] static PyObject *call_watched(PyObject *callable, PyObject *const *args, std::size_t nargsf,
                                                PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(callable);
    PyObject *bound[kMaxParams];
    double reals[kMaxParams];
    Converted converted;
    if (bind_by_rule(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound, reals, converted) < 0) return nullptr;
    if (host::in_tool_callback()) return run_plain(f, bound, reals);
    if (fire_entry(f, Entry::Start) < 0) return fire_exit(f, nullptr);
    return fire_exit(f, run_plain(f, bound, reals));
}

// A call that gives some arguments by position and leaves the rest to
// their defaults.
template <bool async>
[[gnu::noinline]] static PyObject *call_defaulted(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *filled[kMaxParams];
    double reals[kMaxParams];
    fill_defaulted(f, args, nargs, filled);
    if (types_as_declared(f, filled, reals)) return run_or_start<async>(f, filled, reals);
    return call_bound<async>(f, args, nargs, nullptr);
}

// Any call the all-positional path does not take: bound the quick way
// when it is an ordinary call, else by the general rule.
template <bool async>
[[gnu::noinline]] static PyObject *call_other(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                                              PyObject *kwnames) {
    PyObject *filled[kMaxParams];
    double reals[kMaxParams];
    if (bind_quickly(f, args, nargs, kwnames, filled) && types_as_declared(f, filled, reals)) {
        return run_or_start<async>(f, filled, reals);
    }
    return call_bound<async>(f, args, nargs, kwnames);
}

// A call of an asynchronous function (`async`) or of a plain one.
template <bool async>
[[gnu::always_inline]] static inline PyObject *vectorcall(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                                                          PyObject *kwnames) {
    if (kwnames == nullptr) [[likely]] {
        // Every argument given by position, and of the declared types: they
        // are bound where they are.
        if (nargs == f->positional_call) [[likely]] {
            double reals[kMaxParams];
            if (types_as_declared(f, args, reals)) [[likely]]
                return run_or_start<async>(f, args, reals);
        }
        else if (nargs >= f->ndefaulted_from && nargs <= f->npositional) {
            return call_defaulted<async>(f, args, nargs);
        }
    }
    return call_other<async>(f, args, nargs, kwnames);
}

// A plain function's vectorcall makes the call path's one test of whether
// a tool listens; an asynchronous function's coroutine makes it at each
// step.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    if (host::calls_watched()) [[unlikely]]
        return call_watched(callable, args, nargsf, kwnames);
    return vectorcall<false>(reinterpret_cast<FunctionObject *>(callable), args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject *coroutine_function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf,
                                        PyObject *kwnames) {
    return vectorcall<true>(reinterpret_cast<FunctionObject *>(callable), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Calls through tp_call, where keywords come as a dict whose keys the host
// has not checked.
PyObject *function_call(PyObject *callable, PyObject *args, PyObject *kwargs) {
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                // Reported where binding would report it: after the
                // positional count.
                auto *f = reinterpret_cast<FunctionObject *>(callable);
                if (PyTuple_GET_SIZE(args) > f->npositional) {
                    arity_error(f, PyTuple_GET_SIZE(args));
                }
                else {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
                }
                function_traceback(f, 0);
                return nullptr;
            }
        }
    }
    return PyVectorcall_Call(callable, args, kwargs);
}

}  // namespace kr
