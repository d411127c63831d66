// The function object of the runtime's modules: argument binding with the
// system's messages, exact-type tests and conversions, introspection
// (`__annotations__`, `__defaults__`, `__kwdefaults__`, `__signature__`),
// method binding, and the traceback entry of an error leaving a function.

#include <cstring>
#include <string>

#include "internal.hpp"

#include <frameobject.h>

namespace kr {

PyTypeObject *function_type = nullptr;


// ---------------------------------------------------------------------------
// Declarations into objects

static const char *strip_prefix(const char *text, const char *prefix) {
    std::size_t n = std::strlen(prefix);
    return std::strncmp(text, prefix, n) == 0 ? text + n : nullptr;
}

// The check a parameter's annotation asks for.
static Accept accept_of(const char *annotation, bool *admits_none) {
    *admits_none = false;
    if (annotation == nullptr) {
        return Accept::Any;
    }
    std::string text(annotation);
    if (const char *inner = strip_prefix(annotation, "Optional[")) {
        text.assign(inner);
        text.pop_back();
        *admits_none = true;
    }
    else if (text.size() > 7 && text.compare(text.size() - 7, 7, " | None") == 0) {
        text.resize(text.size() - 7);
        *admits_none = true;
    }
    std::string base = text.substr(0, text.find('['));
    if (base == "str") return Accept::Str;
    if (base == "dict") return Accept::Dict;
    if (base == "list") return Accept::List;
    if (base == "tuple") return Accept::Tuple;
    if (*admits_none) return Accept::Any;
    if (base == "float") return Accept::Float;
    if (base == "int") return Accept::Int;
    return Accept::Any;
}

static PyTypeObject *exact_type(Accept accept) {
    switch (accept) {
        case Accept::Str: return &PyUnicode_Type;
        case Accept::Dict: return &PyDict_Type;
        case Accept::List: return &PyList_Type;
        case Accept::Tuple: return &PyTuple_Type;
        default: return nullptr;
    }
}

PyObject *Module::function(const FunctionDef &def, const char *owner) {
    Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
    if (nparams > static_cast<Py_ssize_t>(kMaxParams)) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return nullptr;
    }
    Ref name = steal(PyUnicode_InternFromString(def.name));
    if (!name) return nullptr;
    Ref qualname = owner ? steal(PyUnicode_FromFormat("%s.%s", owner, def.name)) : name;
    if (!qualname) return nullptr;
    Ref module = steal(PyUnicode_FromString(qualified_name()));
    if (!module) return nullptr;
    Ref doc = def.doc ? steal(PyUnicode_FromString(def.doc)) : new_ref(Py_None);
    Ref annotations = steal(PyDict_New());
    Ref kwdefaults = steal(PyDict_New());
    Ref defaults = steal(PyList_New(0));
    if (!doc || !annotations || !kwdefaults || !defaults) return nullptr;

    auto *f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) return nullptr;
    Ref result = steal(reinterpret_cast<PyObject *>(f));
    f->vectorcall = nullptr;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->globals = Py_NewRef(dict_);
    f->annotations = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->signature = nullptr;
    f->codes = nullptr;
    f->nparams = nparams;
    f->npositional = 0;
    f->nrequired = 0;
    f->nchecked = 0;
    f->nconverted = 0;
    for (std::size_t i = 0; i < kMaxParams; i++) {
        f->param_names[i] = nullptr;
        f->default_values[i] = nullptr;
    }
    PyObject_GC_Track(f);

    for (Py_ssize_t i = 0; i < nparams; i++) {
        const Param &p = def.params[i];
        f->param_names[i] = PyUnicode_InternFromString(p.name);
        if (f->param_names[i] == nullptr) return nullptr;
        f->accept[i] = accept_of(p.annotation, &f->admits_none[i]);
        if (PyTypeObject *type = exact_type(f->accept[i])) {
            f->checked[f->nchecked] = i;
            f->checked_type[f->nchecked++] = type;
        }
        if (f->accept[i] == Accept::Float || f->accept[i] == Accept::Int) f->converted[f->nconverted++] = i;
        if (p.annotation) {
            Ref text = steal(PyUnicode_FromString(p.annotation));
            if (!text || PyDict_SetItem(annotations.get(), f->param_names[i], text.get()) < 0) return nullptr;
        }
        if (p.kind == Kind::PositionalOrKeyword) {
            f->npositional = i + 1;
        }
        if (p.default_value == nullptr) {
            if (p.kind == Kind::PositionalOrKeyword) f->nrequired = i + 1;
            continue;
        }
        f->default_values[i] = literal(p.default_value);
        if (f->default_values[i] == nullptr) return nullptr;
        PyObject *target = p.kind == Kind::KeywordOnly ? kwdefaults.get() : nullptr;
        if (target ? PyDict_SetItem(target, f->param_names[i], f->default_values[i]) < 0
                   : PyList_Append(defaults.get(), f->default_values[i]) < 0) {
            return nullptr;
        }
    }
    if (def.returns) {
        Ref text = steal(PyUnicode_FromString(def.returns));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return nullptr;
    }
    f->annotations = annotations.release();
    if (PyDict_GET_SIZE(kwdefaults.get()) > 0) f->kwdefaults = kwdefaults.release();
    if (PyList_GET_SIZE(defaults.get()) > 0) {
        f->defaults = PyList_AsTuple(defaults.get());
        if (f->defaults == nullptr) return nullptr;
    }
    f->vectorcall = function_vectorcall;
    return result.release();
}

// ---------------------------------------------------------------------------
// Binding

static int arity_error(FunctionObject *f, Py_ssize_t found) {
    bool exact = f->nrequired == f->npositional;
    Py_ssize_t expected = found < f->nrequired ? f->nrequired : f->npositional;
    const char *how = exact ? "exactly" : (found < f->nrequired ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->def->name,
                 how, expected, expected == 1 ? "" : "s", found);
    return -1;
}

// The index of parameter `key` from `first` on, -1 when absent, -2 on error.
static Py_ssize_t find_param(FunctionObject *f, PyObject *key, Py_ssize_t first, Py_ssize_t end) {
    for (Py_ssize_t j = first; j < end; j++) {
        if (f->param_names[j] == key) return j;
    }
    for (Py_ssize_t j = first; j < end; j++) {
        int eq = PyUnicode_Compare(f->param_names[j], key);
        if (eq == 0) return j;
        if (PyErr_Occurred()) return -2;
    }
    return -1;
}

PyObject *refuse_type(const char *param, PyTypeObject *expected, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(obj)->tp_name);
    if (PyObject_TypeCheck(obj, expected)) {
        PyObject *error = PyErr_GetRaisedException();
        Ref note = steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are refused for typed parameters: pass an exact %s.",
            expected->tp_name));
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

// The exact-type tests of the parameters annotated with a built-in
// container or text type, run after binding.  A refused type is the
// caller's error, not one of the function's own: it gets no traceback entry.
static int check_exact_types(FunctionObject *f, PyObject *const *bound) {
    for (Py_ssize_t c = 0; c < f->nchecked; c++) {
        Py_ssize_t j = f->checked[c];
        PyTypeObject *expected = f->checked_type[c];
        PyObject *value = bound[j];
        if (Py_IS_TYPE(value, expected) || (value == Py_None && f->admits_none[j])) continue;
        refuse_type(f->def->params[j].name, expected, value);
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
    for (Py_ssize_t c = 0; c < f->nconverted; c++) {
        Py_ssize_t j = f->converted[c];
        PyObject *value = bound[j];
        if (f->accept[j] == Accept::Float) {
            reals[j] = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
            if (reals[j] == -1.0 && PyErr_Occurred()) return -1;
        }
        else if (f->accept[j] == Accept::Int && !PyLong_CheckExact(value)) {
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

// Binds keywords spelled with the parameters' own interned names, as the
// interpreter passes them, by identity alone, and fills the defaults.
// Returns false, with `bound` as it was, for anything else: the general
// rule then binds such keywords the same and reports the errors.
static bool bind_by_identity(FunctionObject *f, PyObject *const *kwvalues, PyObject *kwnames, Py_ssize_t nargs,
                             PyObject **bound) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    bool bound_all = true;
    for (Py_ssize_t k = 0; k < nkw && bound_all; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = nargs;
        while (j < f->nparams && f->param_names[j] != key) j++;
        bound_all = j < f->nparams && bound[j] == nullptr;
        if (bound_all) bound[j] = kwvalues[k];
    }
    for (Py_ssize_t j = nargs; j < f->nparams && bound_all; j++) {
        if (bound[j] == nullptr) bound[j] = f->default_values[j];
        bound_all = bound[j] != nullptr;
    }
    if (!bound_all) {
        for (Py_ssize_t j = nargs; j < f->nparams; j++) bound[j] = nullptr;
    }
    return bound_all;
}

// Binds the arguments of one call into `bound`, in parameter order.
static int bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **bound) {
    const char *fname = f->def->name;
    if (kwnames == nullptr && nargs == f->nparams && nargs == f->npositional) {
        for (Py_ssize_t j = 0; j < nargs; j++) bound[j] = args[j];
        return 0;
    }
    if (nargs > f->npositional) return arity_error(f, nargs);
    for (Py_ssize_t j = 0; j < f->nparams; j++) {
        bound[j] = j < nargs ? args[j] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *kwvalues = args + nargs;
    if (nkw > 0 && bind_by_identity(f, kwvalues, kwnames, nargs, bound)) return 0;
    // Every keyword is bound before anything is reported missing, so that
    // a misspelt name is named rather than the parameter it left empty.
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
            return -1;
        }
        Py_ssize_t j = find_param(f, key, nargs, f->nparams);
        if (j == -2) return -1;
        if (j >= 0 && bound[j] == nullptr) {
            bound[j] = kwvalues[k];
            continue;
        }
        if (j < 0) j = find_param(f, key, 0, nargs);
        if (j == -2) return -1;
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

// Converts the arguments of an all-positional call where they are: 1 when
// done, -1 on error, 0 when an "int" parameter got an object that int()
// must convert, which the general path does (in parameter order with the
// other conversions, none of which has run yet).
static int convert_in_place(FunctionObject *f, PyObject *const *args, double *reals) {
    for (Py_ssize_t c = 0; c < f->nconverted; c++) {
        Py_ssize_t j = f->converted[c];
        if (f->accept[j] == Accept::Int && !PyLong_CheckExact(args[j])) return 0;
    }
    for (Py_ssize_t c = 0; c < f->nconverted; c++) {
        Py_ssize_t j = f->converted[c];
        if (f->accept[j] != Accept::Float) continue;
        PyObject *value = args[j];
        reals[j] = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
        if (reals[j] == -1.0 && PyErr_Occurred()) return -1;
    }
    return 1;
}

// Runs a body (a stub returns None) on bound arguments: its result, or
// null with the error set and `*line` naming the failing statement.
static PyObject *run_body(FunctionObject *f, PyObject *const *args, const double *reals, int *line) {
    if (f->def->body == nullptr) return Py_NewRef(Py_None);
    Call call(f->globals, args, reals);
    PyObject *result = f->def->body(call);
    *line = call.line();
    return result;
}

// Runs a plain function's body; an error leaving it gets the function's
// traceback entry.
static PyObject *run_plain(FunctionObject *f, PyObject *const *args, const double *reals) {
    int line = 0;
    PyObject *result = run_body(f, args, reals, &line);
    if (result == nullptr) function_traceback(f, line);
    return result;
}

static bool is_async(FunctionObject *f) { return f->def->is_async || f->def->step != nullptr; }

// What a call does once its arguments are bound: an asynchronous function
// returns its coroutine, or with `run_now` runs the body as awaiting that
// coroutine would; a plain one runs its body.
enum class Then : unsigned char { Call, RunNow };

// A call bound by the general rule: keywords, defaults and int().  Kept
// out of line, so that the all-positional path stays small.
[[gnu::noinline]] static PyObject *call_bound(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                                              PyObject *kwnames, Then then = Then::Call) {
    PyObject *bound[kMaxParams];
    double reals[kMaxParams];
    Converted converted;
    if (bind(f, args, nargs, kwnames, bound) < 0 || convert(f, bound, reals, converted) < 0) {
        function_traceback(f, 0);
        return nullptr;
    }
    if (check_exact_types(f, bound) < 0) return nullptr;
    if (!is_async(f)) return run_plain(f, bound, reals);
    if (then == Then::RunNow) {
        int line = 0;
        PyObject *result = run_body(f, bound, reals, &line);
        if (result == nullptr) coroutine_error(f, line);
        return result;
    }
    PyObject *coroutine = coroutine_new(f, bound, reals);
    if (coroutine == nullptr) function_traceback(f, 0);
    return coroutine;
}

PyObject *function_run_inline(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs) {
    return call_bound(f, args, nargs, nullptr, Then::RunNow);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf,
                                     PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams && nargs == f->npositional && !is_async(f)) {
        // Every argument given by position: they are bound where they are.
        double reals[kMaxParams];
        int ready = convert_in_place(f, args, reals);
        if (ready > 0) {
            if (f->nchecked > 0 && check_exact_types(f, args) < 0) return nullptr;
            return run_plain(f, args, reals);
        }
        if (ready < 0) {
            function_traceback(f, 0);
            return nullptr;
        }
    }
    return call_bound(f, args, nargs, kwnames);
}

// Calls through tp_call, where keywords come as a dict whose keys the host
// has not checked.
static PyObject *function_call(PyObject *callable, PyObject *args, PyObject *kwargs) {
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

// ---------------------------------------------------------------------------
// Traceback entries

// The source file our entries cite for the module named `module_name`.
static PyObject *source_path(PyObject *module_name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(module_name);
    Py_ssize_t dot = PyUnicode_FindChar(module_name, '.', 0, length, -1);
    if (dot == -2) return nullptr;
    Ref short_name = steal(PyUnicode_Substring(module_name, dot + 1, length));
    if (!short_name) return nullptr;
    return PyUnicode_FromFormat("src/kelvra_runtime/core/runtime/%U.py", short_name.get());
}

// A code object named `funcname` whose only line is `line`.
static PyObject *new_code(PyObject *funcname, PyObject *module_name, int line) {
    Ref filename = steal(source_path(module_name));
    const char *file_text = filename ? PyUnicode_AsUTF8(filename.get()) : nullptr;
    const char *func_text = file_text ? PyUnicode_AsUTF8(funcname) : nullptr;
    if (func_text == nullptr) return nullptr;
    return reinterpret_cast<PyObject *>(PyCode_NewEmpty(file_text, func_text, line));
}

// Adds a traceback entry for `code` to the error being raised; the entry
// is lost, and the error kept, when its frame cannot be made.
static void add_traceback_frame(PyObject *code, PyObject *globals) {
    PyObject *error = PyErr_GetRaisedException();
    Ref frame = code ? steal(frame_of(code, globals)) : Ref();
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(error);
        return;
    }
    PyErr_SetRaisedException(error);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

PyObject *frame_of(PyObject *code, PyObject *globals) {
    return reinterpret_cast<PyObject *>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr));
}

void add_traceback_entry(PyObject *funcname, PyObject *module_name, int line, PyObject *globals) {
    PyObject *error = PyErr_GetRaisedException();
    Ref code = steal(new_code(funcname, module_name, line));
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    add_traceback_frame(code.get(), globals);
}

PyObject *function_code(FunctionObject *f, int line) {
    if (line == 0) line = f->def->line;
    if (f->codes == nullptr) {
        f->codes = PyDict_New();
        if (f->codes == nullptr) return nullptr;
    }
    Ref key = steal(PyLong_FromLong(line));
    if (!key) return nullptr;
    PyObject *code;
    if (PyDict_GetItemRef(f->codes, key.get(), &code) != 0) return code;
    Ref funcname = steal(PyUnicode_FromFormat("%U.%U", f->module, f->qualname));
    Ref made = funcname ? steal(new_code(funcname.get(), f->module, line)) : Ref();
    if (!made || PyDict_SetItem(f->codes, key.get(), made.get()) < 0) return nullptr;
    return made.release();
}

void function_traceback(FunctionObject *f, int line) {
    PyObject *error = PyErr_GetRaisedException();
    Ref code = steal(function_code(f, line));
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    add_traceback_frame(code.get(), f->globals);
}

// ---------------------------------------------------------------------------
// The type

static PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

static PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

static PyObject *get_defaults(PyObject *self, void *) {
    PyObject *defaults = reinterpret_cast<FunctionObject *>(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

static PyObject *get_kwdefaults(PyObject *self, void *) {
    PyObject *kwdefaults = reinterpret_cast<FunctionObject *>(self)->kwdefaults;
    return Py_NewRef(kwdefaults ? kwdefaults : Py_None);
}

// `inspect.iscoroutinefunction` looks for inspect's own marker.
static PyObject *get_coroutine_mark(PyObject *self, void *) {
    if (!is_async(reinterpret_cast<FunctionObject *>(self))) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    return inspect ? PyObject_GetAttrString(inspect.get(), "_is_coroutine_mark") : nullptr;
}

static PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (f->signature) return Py_NewRef(f->signature);
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref empty = steal(PyObject_GetAttrString(inspect.get(), "_empty"));
    Ref params = steal(PyList_New(0));
    Ref kwnames = steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!parameter || !signature || !empty || !params || !kwnames) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; i++) {
        const Param &p = f->def->params[i];
        Ref kind = steal(PyObject_GetAttrString(
            parameter.get(), p.kind == Kind::KeywordOnly ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD"));
        if (!kind) return nullptr;
        PyObject *annotation = PyDict_GetItemWithError(f->annotations, f->param_names[i]);
        if (annotation == nullptr && PyErr_Occurred()) return nullptr;
        PyObject *dflt = f->default_values[i];
        PyObject *argv[] = {nullptr, f->param_names[i], kind.get(), dflt ? dflt : empty.get(),
                            annotation ? annotation : empty.get()};
        Ref item = steal(
            PyObject_Vectorcall(parameter.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!item || PyList_Append(params.get(), item.get()) < 0) return nullptr;
    }
    PyObject *returns = PyDict_GetItemString(f->annotations, "return");
    Ref kwargs = steal(Py_BuildValue("{s:O}", "return_annotation", returns ? returns : empty.get()));
    Ref args = steal(PyTuple_Pack(1, params.get()));
    if (!kwargs || !args) return nullptr;
    PyObject *made = PyObject_Call(signature.get(), args.get(), kwargs.get());
    if (made == nullptr) return nullptr;
    // inspect runs Python code, which may have asked for the signature
    // (or another thread may have) meanwhile: the first one made is kept.
    if (f->signature == nullptr) {
        f->signature = made;
    }
    else {
        Py_DECREF(made);
    }
    return Py_NewRef(f->signature);
}

static PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_mark, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    Py_VISIT(f->codes);
    for (std::size_t i = 0; i < kMaxParams; i++) Py_VISIT(f->default_values[i]);
    return 0;
}

static int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->codes);
    for (std::size_t i = 0; i < kMaxParams; i++) Py_CLEAR(f->default_values[i]);
    return 0;
}

static void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    for (std::size_t i = 0; i < kMaxParams; i++) Py_CLEAR(f->param_names[i]);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

int init_function_type(PyObject *) {
    if (function_type != nullptr) return 0;
    static PyType_Spec spec = {
        "kelvra_runtime.core.runtime.compiled_function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        function_slots,
    };
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    return function_type ? 0 : -1;
}

}  // namespace kr
