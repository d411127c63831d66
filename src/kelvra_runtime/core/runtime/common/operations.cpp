// The host's operations as the module bodies use them: comparisons taken as
// truth values, global lookups and the literals of declarations.

#include <cstring>

#include "internal.hpp"

namespace kr {

// The rest of `compare`, past its exact float and small int cases.
int compare_objects(PyObject *a, int op, PyObject *b) {
    if (a == b && (op == Py_EQ || op == Py_NE) && (a == Py_None || PyLong_CheckExact(a))) return op == Py_EQ;
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return (a == b || PyUnicode_Equal(a, b)) == (op == Py_EQ);
    }
    Ref result = steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
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

PyObject *attribute_error_context(PyObject *obj, PyObject *name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyObject *error = PyErr_GetRaisedException();
    auto *attribute_error = reinterpret_cast<PyAttributeErrorObject *>(error);
    if (PyErr_GivenExceptionMatches(error, PyExc_AttributeError) && attribute_error->name == nullptr &&
        attribute_error->obj == nullptr) {
        if (PyObject_SetAttrString(error, "name", name) < 0 || PyObject_SetAttrString(error, "obj", obj) < 0) {
            Py_DECREF(error);
            return nullptr;
        }
    }
    PyErr_SetRaisedException(error);
    return nullptr;
}

PyObject *builtin(const char *name) {
    Ref builtins = steal(PyImport_ImportModule("builtins"));
    return builtins ? PyObject_GetAttrString(builtins.get(), name) : nullptr;
}

PyObject *global(PyObject *globals, const char *name) {
    Ref key = steal(PyUnicode_InternFromString(name));
    return key ? global(globals, key.get()) : nullptr;
}

PyObject *literal(const char *text) {
    if (std::strcmp(text, "None") == 0) return Py_NewRef(Py_None);
    if (std::strcmp(text, "True") == 0) return Py_NewRef(Py_True);
    if (std::strcmp(text, "False") == 0) return Py_NewRef(Py_False);
    if (std::strchr(text, '.') != nullptr) {
        Ref s = steal(PyUnicode_FromString(text));
        return s ? PyFloat_FromString(s.get()) : nullptr;
    }
    return PyLong_FromString(text, nullptr, 10);
}

}  // namespace kr
