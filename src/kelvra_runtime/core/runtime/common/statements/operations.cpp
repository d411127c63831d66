// The host's operations as the module bodies use them: comparisons taken as
// truth values, global lookups and the literals of declarations.

#include <algorithm>
#include <cstring>

#include "common/internal.hpp"

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

Constant get_name{"get"};
Constant pop_name{"pop"};
Constant append_name{"append"};

Ref new_tuple(std::initializer_list<Handle> items) {
    for (Handle item : items) {
        if (!item) return Ref();
    }
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return tuple;
    Py_ssize_t i = 0;
    for (Handle item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item.get()));
    return tuple;
}

void raise(const Ref &exc) {
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
}

// The values are formatted first, then the text is made at its full length
// and written once.
Ref fstring(std::initializer_list<Piece> pieces) {
    constexpr std::size_t kMaxPieces = 4;
    if (pieces.size() > kMaxPieces) {
        PyErr_SetString(PyExc_SystemError, "too many f-string pieces");
        return Ref();
    }
    // A value that failed leaves its error set: nothing may run after it.
    for (const Piece &piece : pieces) {
        if (piece.formats && piece.value == nullptr) return Ref();
    }
    Ref formatted[kMaxPieces];
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    std::size_t i = 0;
    for (const Piece &piece : pieces) {
        length += static_cast<Py_ssize_t>(std::strlen(piece.text));
        if (piece.formats) {
            formatted[i] = steal(PyObject_Format(piece.value, piece.spec));
            if (!formatted[i]) return Ref();
            length += PyUnicode_GET_LENGTH(formatted[i].get());
            widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(formatted[i].get()));
        }
        i++;
    }
    Ref text = steal(PyUnicode_New(length, widest));
    if (!text) return Ref();
    int kind = PyUnicode_KIND(text.get());
    void *data = PyUnicode_DATA(text.get());
    Py_ssize_t at = 0;
    i = 0;
    for (const Piece &piece : pieces) {
        std::size_t n = std::strlen(piece.text);
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<Py_UCS1 *>(data) + at, piece.text, n);
            at += static_cast<Py_ssize_t>(n);
        }
        else {
            for (std::size_t c = 0; c < n; c++) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(piece.text[c]));
        }
        if (PyObject *value = formatted[i++].get()) {
            Py_ssize_t count = PyUnicode_GET_LENGTH(value);
            if (PyUnicode_KIND(value) == kind) {
                std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(value),
                            static_cast<std::size_t>(count) * kind);
            }
            else if (PyUnicode_CopyCharacters(text.get(), at, value, 0, count) < 0) {
                return Ref();
            }
            at += count;
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// Loops and containers

// As the host unpacks a for-loop target: an exact pair directly, otherwise
// through iteration, drawing at most one value beyond the two.
bool unpack(Handle item, Ref &first, Ref &second) {
    if (!item) return false;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item.get()) == 2) {
        first = new_ref(PyTuple_GET_ITEM(item.get(), 0));
        second = new_ref(PyTuple_GET_ITEM(item.get(), 1));
        return true;
    }
    Ref iterator = item.iter();
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref *targets[] = {&first, &second};
    for (int i = 0; i < 2; i++) {
        *targets[i] = next(iterator);
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return false;
        }
    }
    Ref extra = next(iterator);
    if (!extra) return !PyErr_Occurred();
    if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) {
        Py_ssize_t size = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item.get()) : Py_SIZE(item.get());
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
            return false;
        }
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
}

}  // namespace kr
