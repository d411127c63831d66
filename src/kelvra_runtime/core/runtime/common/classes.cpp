// Classes of the runtime's modules, made as the host makes a class
// statement: `__mro_entries__` resolution of the bases, the most derived
// metaclass, its `__prepare__`, the namespace in definition order, then the
// metaclass call.

#include <cstring>

#include "internal.hpp"

namespace kr {

// The bases after `__mro_entries__` resolution; `bases` itself when no base
// asked for a change.
static PyObject *resolve_bases(PyObject *bases) {
    Ref resolved;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); i++) {
        PyObject *base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            PyObject *found = nullptr;
            if (PyObject_GetOptionalAttrString(base, "__mro_entries__", &found) < 0) return nullptr;
            Ref meth = steal(found);
            if (meth) {
                entries = steal(PyObject_CallOneArg(meth.get(), bases));
                if (!entries) return nullptr;
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return nullptr;
                }
            }
        }
        if (!entries && !resolved) continue;
        if (!resolved) {
            Ref before = steal(PyTuple_GetSlice(bases, 0, i));
            resolved = before ? steal(PySequence_List(before.get())) : Ref();
            if (!resolved) return nullptr;
        }
        if (entries) {
            Py_ssize_t end = PyList_GET_SIZE(resolved.get());
            if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0) return nullptr;
        }
        else if (PyList_Append(resolved.get(), base) < 0) {
            return nullptr;
        }
    }
    return resolved ? PyList_AsTuple(resolved.get()) : Py_NewRef(bases);
}

// As the host's class statement: the first base's type is the candidate
// (the type of an object that is no class is a metaclass too).
static PyObject *most_derived_metaclass(PyObject *bases) {
    PyTypeObject *winner = PyTuple_GET_SIZE(bases) > 0 ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); i++) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(winner));
}

static int set_item(PyObject *ns, const char *key, PyObject *value) {
    Ref owned = steal(value);
    if (!owned) return -1;
    Ref name = steal(PyUnicode_InternFromString(key));
    return name ? PyObject_SetItem(ns, name.get(), owned.get()) : -1;
}

PyObject *global(PyObject *globals, PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    // Made at the first lookup that needs it, and again after a failure.
    static PyObject *builtins_key = nullptr;
    if (builtins_key == nullptr) builtins_key = PyUnicode_InternFromString("__builtins__");
    if (builtins_key == nullptr) return nullptr;
    PyObject *builtins = PyDict_GetItemWithError(globals, builtins_key);
    if (builtins != nullptr) {
        PyObject *found = nullptr;
        if (PyObject_GetOptionalAttr(builtins, name, &found) != 0) return found;
    }
    if (PyErr_Occurred()) return nullptr;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject *global(PyObject *globals, const char *name) {
    Ref key = steal(PyUnicode_InternFromString(name));
    return key ? global(globals, key.get()) : nullptr;
}

// The default of a data-class field: a literal, or `field(default_factory=dict)`.
static PyObject *field_default(PyObject *globals, const char *text) {
    if (std::strcmp(text, "dict()") != 0) return literal(text);
    Ref field = steal(global(globals, "field"));
    if (!field) return nullptr;
    PyObject *argv[] = {nullptr, reinterpret_cast<PyObject *>(&PyDict_Type)};
    Ref kwnames = steal(Py_BuildValue("(s)", "default_factory"));
    if (!kwnames) return nullptr;
    return PyObject_Vectorcall(field.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
}

static int fill_namespace(Module &m, const ClassDef &def, PyObject *ns) {
    if (set_item(ns, "__module__", PyUnicode_FromString(m.qualified_name())) < 0 ||
        set_item(ns, "__qualname__", PyUnicode_FromString(def.name)) < 0) {
        return m.fail(def.line);
    }
    if (def.doc && set_item(ns, "__doc__", PyUnicode_FromString(def.doc)) < 0) return m.fail(def.line);
    if (!def.fields.empty()) {
        Ref annotations = steal(PyDict_New());
        if (!annotations) return m.fail(def.line);
        for (const Field &f : def.fields) {
            Ref text = steal(PyUnicode_FromString(f.annotation));
            if (!text || PyDict_SetItemString(annotations.get(), f.name, text.get()) < 0) return m.fail(def.line);
        }
        if (set_item(ns, "__annotations__", annotations.release()) < 0) return m.fail(def.line);
        for (const Field &f : def.fields) {
            if (f.default_value && set_item(ns, f.name, field_default(m.dict(), f.default_value)) < 0) {
                return m.fail(def.line);
            }
        }
    }
    for (const Member &member : def.members) {
        PyObject *value = nullptr;
        int line = member.function ? member.function->line : def.line;
        switch (member.what) {
            case Member::What::Method:
                value = m.function(*member.function, def.name);
                break;
            case Member::What::ClassMethod: {
                Ref function = steal(m.function(*member.function, def.name));
                value = function ? PyClassMethod_New(function.get()) : nullptr;
                break;
            }
            case Member::What::Value:
                value = literal(member.value);
                break;
        }
        if (set_item(ns, member.name, value) < 0) return m.fail(line);
    }
    return 0;
}

PyObject *Module::build_class(const ClassDef &def, PyObject *bases) {
    Ref written = bases ? new_ref(bases) : steal(PyTuple_New(0));
    if (!written) return fail(def.line), nullptr;
    Ref resolved = steal(resolve_bases(written.get()));
    if (!resolved) return fail(def.line), nullptr;
    Ref metaclass = steal(most_derived_metaclass(resolved.get()));
    Ref name = steal(PyUnicode_FromString(def.name));
    if (!metaclass || !name) return fail(def.line), nullptr;
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(metaclass.get(), "__prepare__", &found) < 0) return fail(def.line), nullptr;
    Ref prepare = steal(found);
    Ref ns = prepare ? steal(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), resolved.get(), nullptr))
                 : steal(PyDict_New());
    if (!ns) return fail(def.line), nullptr;
    if (fill_namespace(*this, def, ns.get()) < 0) return nullptr;
    if (resolved.get() != written.get() && PyMapping_SetItemString(ns.get(), "__orig_bases__", written.get()) < 0) {
        return fail(def.line), nullptr;
    }
    PyObject *cls = PyObject_CallFunctionObjArgs(metaclass.get(), name.get(), resolved.get(), ns.get(), nullptr);
    if (cls == nullptr) fail(def.line);
    return cls;
}

PyObject *Module::decorate(const char *decorator, PyObject *cls, int line) {
    Ref owned = steal(cls);
    if (!owned) return nullptr;
    Ref callable = steal(global(dict_, decorator));
    PyObject *result = callable ? PyObject_CallOneArg(callable.get(), owned.get()) : nullptr;
    if (result == nullptr) fail(line);
    return result;
}

}  // namespace kr
