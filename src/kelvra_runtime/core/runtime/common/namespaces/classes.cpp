// Classes of the runtime's modules, made as the host makes a class
// statement: `__mro_entries__` resolution of the bases, the most derived
// metaclass, its `__prepare__`, the namespace in definition order, then the
// metaclass call.

#include <cstring>

#include "common/internal.hpp"

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
        Ref function = steal(m.function(*member.function, def.name));
        PyObject *value = member.is_class_method && function ? PyClassMethod_New(function.get()) : function.release();
        if (set_item(ns, member.function->name, value) < 0) return m.fail(member.function->line);
    }
    return 0;
}

// The class of `def` from `bases` (a tuple).
static PyObject *build_class(Module &m, const ClassDef &def, PyObject *bases) {
    Ref resolved = steal(resolve_bases(bases));
    if (!resolved) return m.fail(def.line), nullptr;
    Ref metaclass = steal(most_derived_metaclass(resolved.get()));
    Ref name = steal(PyUnicode_FromString(def.name));
    if (!metaclass || !name) return m.fail(def.line), nullptr;
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(metaclass.get(), "__prepare__", &found) < 0) return m.fail(def.line), nullptr;
    Ref prepare = steal(found);
    Ref ns = prepare ? steal(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), resolved.get(), nullptr))
                     : steal(PyDict_New());
    if (!ns) return m.fail(def.line), nullptr;
    if (fill_namespace(m, def, ns.get()) < 0) return nullptr;
    if (resolved.get() != bases && PyMapping_SetItemString(ns.get(), "__orig_bases__", bases) < 0) {
        return m.fail(def.line), nullptr;
    }
    PyObject *cls = PyObject_CallFunctionObjArgs(metaclass.get(), name.get(), resolved.get(), ns.get(), nullptr);
    if (cls == nullptr) m.fail(def.line);
    return cls;
}

PyObject *Module::make_class(const ClassDef &def) {
    Ref base = def.base ? steal(global(dict_, def.base)) : Ref();
    Ref bases = def.base ? (base ? steal(PyTuple_Pack(1, base.get())) : Ref()) : steal(PyTuple_New(0));
    if (!bases) return fail(def.line), nullptr;
    Ref cls = steal(build_class(*this, def, bases.get()));
    if (!cls || def.decorator == nullptr) return cls.release();
    int line = def.line - 1;
    Ref decorator = steal(global(dict_, def.decorator));
    PyObject *decorated = decorator ? PyObject_CallOneArg(decorator.get(), cls.get()) : nullptr;
    if (decorated == nullptr) fail(line);
    return decorated;
}

int Module::def_class(const ClassDef &def) { return bind(def.name, make_class(def), def.line); }

}  // namespace kr
