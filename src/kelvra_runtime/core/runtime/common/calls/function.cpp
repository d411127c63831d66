// The function object of the runtime's modules, made from a FunctionDef:
// its introspection (`__annotations__`, `__defaults__`, `__kwdefaults__`,
// `__signature__`, inspect's coroutine marker), method binding, and the
// type's slots.  Calling it is binding.cpp's.

#include "common/internal.hpp"

namespace kr {

// ---------------------------------------------------------------------------
// Declarations into objects

// The body of a stub, such as a protocol's method.
static PyObject *stub_body(Call &) { return Py_NewRef(Py_None); }

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
    f->known_kwnames = nullptr;
    f->known_nargs = -1;
    f->known_nkw = -1;
    f->nparams = nparams;
    f->npositional = 0;
    f->nrequired = 0;
    f->ndefaulted_from = 0;
    f->positional_call = -1;
    f->ntests = 0;
    f->body = def.body ? def.body : stub_body;
    f->frame_size = 0;
    f->returns_coroutine = def.is_async || def.task != nullptr;
    f->monitored_code = nullptr;
    for (PyMonitoringState &state : f->monitoring) state = {};
    f->monitoring_version = 0;
    for (std::size_t i = 0; i < kMaxParams; i++) {
        f->param_names[i] = nullptr;
        f->default_values[i] = nullptr;
        f->known_slots[i] = 0;
    }
    PyObject_GC_Track(f);

    for (Py_ssize_t i = 0; i < nparams; i++) {
        const Param &p = def.params[i];
        f->param_names[i] = PyUnicode_InternFromString(p.name);
        if (f->param_names[i] == nullptr) return nullptr;
        switch (p.check.how) {
            case Check::How::Exact:
            case Check::How::ExactOrNone: f->tests[f->ntests++] = {i, p.check.type, p.check.how}; break;
            case Check::How::ToDouble: f->tests[f->ntests++] = {i, &PyFloat_Type, p.check.how}; break;
            case Check::How::ToInt: f->tests[f->ntests++] = {i, &PyLong_Type, p.check.how}; break;
            case Check::How::None: break;
        }
        if (p.annotation) {
            Ref text = steal(PyUnicode_FromString(p.annotation));
            if (!text || PyDict_SetItem(annotations.get(), f->param_names[i], text.get()) < 0) return nullptr;
        }
        if (p.kind == Kind::PositionalOrKeyword) {
            f->npositional = i + 1;
        }
        if (p.default_value == nullptr) {
            if (p.kind == Kind::PositionalOrKeyword) f->nrequired = i + 1;
            f->ndefaulted_from = i + 1;
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
    if (f->npositional == f->nparams) f->positional_call = nparams;
    f->vectorcall = is_async(f) ? coroutine_function_vectorcall : function_vectorcall;
    return result.release();
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
    // An attribute lookup may not start with an error set.
    Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    Ref empty = steal(PyObject_GetAttrString(inspect.get(), "_empty"));
    Ref params = steal(PyList_New(0));
    Ref kwnames = steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!empty || !params || !kwnames) return nullptr;
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
        Ref item =
            steal(PyObject_Vectorcall(parameter.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!item || PyList_Append(params.get(), item.get()) < 0) return nullptr;
    }
    // PyDict_GetItemString would take a failure to make its key for a
    // missing annotation, and the signature kept would lack it.
    PyObject *found = nullptr;
    if (PyDict_GetItemStringRef(f->annotations, "return", &found) < 0) return nullptr;
    Ref returns = steal(found);
    Ref kwargs = steal(Py_BuildValue("{s:O}", "return_annotation", returns ? returns.get() : empty.get()));
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
    Py_CLEAR(f->known_kwnames);
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
    // A code object refers to no other object that could lead back here.
    Py_CLEAR(f->monitored_code);
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
    host::find_call_events();
    static PyType_Spec spec = {
        "kelvra_runtime.core.runtime.compiled_function",
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        function_slots,
    };
    auto *type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    if (type == nullptr) return -1;
    // Which of the host's fast paths this copy of the frame takes, for the
    // tests: outside the modules' namespaces.
    PyObject *report = host::fast_path_report();
    int stored = report ? PyDict_SetItemString(type->tp_dict, "_host_fast_paths", report) : -1;
    Py_XDECREF(report);
    if (stored < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyType_Modified(type);
    function_type = type;
    return 0;
}

}  // namespace kr
