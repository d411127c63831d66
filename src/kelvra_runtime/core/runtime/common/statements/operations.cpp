// The host's operations as the module bodies use them: comparisons taken as
// truth values, global lookups and the literals of declarations.

#include <algorithm>
#include <array>
#include <cmath>
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
Constant startswith_name{"startswith"};
Constant items_name{"items"};
Constant builtin_round{[] { return builtin("round"); }};

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

// ---------------------------------------------------------------------------
// Text and tables

bool plain_table(PyObject *table, PyTypeObject *key_type, PyTypeObject *value_type) {
    if (table == nullptr || !PyDict_CheckExact(table)) return false;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &at, &key, &value)) {
        if (!Py_IS_TYPE(key, key_type) || !Py_IS_TYPE(value, value_type)) return false;
    }
    return true;
}

bool float_of_ascii(const std::string &text, double *out) {
    char *end;
    double value = PyOS_string_to_double(text.c_str(), &end, nullptr);
    if (end == text.c_str() + text.size() && !PyErr_Occurred()) {
        *out = value;
        return true;
    }
    PyErr_Clear();
    Ref number = steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).to_float();
    if (!number) return false;
    *out = PyFloat_AS_DOUBLE(number.get());
    return true;
}

// ---------------------------------------------------------------------------
// round

// `round(x, ndigits)` of a finite double as float's rounding computes it:
// the multiple of 10**-ndigits nearest to x (ties to even), as the double
// nearest to it.  For |x| * 10**ndigits below 2**53 that multiple is
// q * 10**-ndigits with q exact as a double, so the nearest double is the
// correctly rounded quotient q / 10**ndigits; q comes from x * 10**ndigits
// formed exactly in 128 bits.  False when |x| is too large for that.
static bool round_exactly(double x, int ndigits, double *out) {
    static constexpr unsigned long long kPowersOfTen[] = {1ull,
                                                          10ull,
                                                          100ull,
                                                          1000ull,
                                                          10000ull,
                                                          100000ull,
                                                          1000000ull,
                                                          10000000ull,
                                                          100000000ull,
                                                          1000000000ull,
                                                          10000000000ull,
                                                          100000000000ull,
                                                          1000000000000ull,
                                                          10000000000000ull,
                                                          100000000000000ull,
                                                          1000000000000000ull};
    // 2**53 / 10**ndigits: below it, x * 10**ndigits is below 2**53.
    static constexpr auto kBounds = [] {
        std::array<double, std::size(kPowersOfTen)> bounds{};
        for (std::size_t i = 0; i < bounds.size(); i++) bounds[i] = 9007199254740992.0 / kPowersOfTen[i];
        return bounds;
    }();
    unsigned long long scale = kPowersOfTen[ndigits];
    double magnitude = std::fabs(x);
    if (!(magnitude < kBounds[ndigits])) return false;
    if (magnitude == 0.0) {
        *out = x;
        return true;
    }
    int exponent;
    double fraction = std::frexp(magnitude, &exponent);
    // magnitude = mantissa / 2**shift, with shift > 0 as magnitude is no
    // whole number, and mantissa * scale < 2**103.
    auto mantissa = static_cast<unsigned long long>(std::ldexp(fraction, 53));
    int shift = 53 - exponent;
    unsigned long long q = 0;  // beyond 120 bits of shift, x * scale < 1/2
    if (shift <= 120) {
        unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * scale;
        unsigned __int128 whole = scaled >> shift;
        unsigned __int128 rest = scaled - (whole << shift);
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (whole & 1) != 0)) whole++;
        q = static_cast<unsigned long long>(whole);
    }
    *out = std::copysign(static_cast<double>(q) / static_cast<double>(scale), x);
    return true;
}

// An exact float that is infinite, NaN or a whole number rounds to itself
// (its decimal digits name it exactly); others in range, to at most 15
// digits, round exactly as above; the rest through the builtin.
Ref round_number(PyObject *value, PyObject *ndigits) {
    long long digits;
    if (PyFloat_CheckExact(value) && machine_int(ndigits, &digits) && digits >= 0 && digits <= 15) {
        double x = PyFloat_AS_DOUBLE(value), rounded;
        if (!std::isfinite(x) || std::trunc(x) == x) return new_float(x);
        if (round_exactly(x, static_cast<int>(digits), &rounded)) return new_float(rounded);
    }
    return Handle(builtin_round)(value, ndigits);
}

// ---------------------------------------------------------------------------
// Calls

// The instance starts as a copy of a dict of the keyword names in order,
// each mapped to its value where the call site passes a constant and to None
// elsewhere, kept from the previous call with the same names and constants:
// the copy is made at its final size (inserting the keywords one by one
// into an empty dict would grow it on the way), and only the values that
// vary are set.  The kept dict holds nothing but constants, which live as
// long as the process.
Ref dict_from_keywords(PyObject *cls, PyObject *const *values, PyObject *kwnames, const bool *constant) {
    constexpr Py_ssize_t kMaxKept = 16;
    static PyObject *last_kwnames = nullptr;
    static PyObject *keys = nullptr;
    static PyObject *kept_constants[kMaxKept];  // borrowed: constants live on
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    if (count > kMaxKept) {
        return steal(PyObject_Vectorcall(cls, values, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    bool same = kwnames == last_kwnames;
    for (Py_ssize_t i = 0; same && i < count; i++) same = kept_constants[i] == (constant[i] ? values[i] : nullptr);
    if (!same) {
        Ref made = new_dict();
        for (Py_ssize_t i = 0; made && i < count; i++) {
            if (!made.set_item(PyTuple_GET_ITEM(kwnames, i), constant[i] ? values[i] : Py_None)) made = Ref();
        }
        if (!made) return made;
        Py_XSETREF(keys, made.release());
        Py_XSETREF(last_kwnames, Py_NewRef(kwnames));
        for (Py_ssize_t i = 0; i < count; i++) kept_constants[i] = constant[i] ? values[i] : nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    Ref no_arguments = steal(PyTuple_New(0));
    Ref instance = no_arguments ? steal(type->tp_new(type, no_arguments.get(), nullptr)) : Ref();
    if (!instance || PyDict_Merge(instance.get(), keys, 1) < 0) return Ref();
    // An instance of a dict subclass: set as dict's own __init__ sets.
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!constant[i] && PyDict_SetItem(instance.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0) return Ref();
    }
    return instance;
}

// ---------------------------------------------------------------------------
// Results and exceptions

Ref int_result(Ref value) {
    if (!value || PyLong_CheckExact(value.get())) return value;
    if (!PyNumber_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.5s, got %.200s", "int", Py_TYPE(value.get())->tp_name);
        return Ref();
    }
    return steal(PyNumber_Long(value.get()));
}

Ref exact_or_none_result(Ref value, PyTypeObject *type) {
    if (!value || Py_IS_TYPE(value.get(), type) || value.get() == Py_None) return value;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(value.get())->tp_name);
    return Ref();
}

bool caught(std::initializer_list<PyObject *> types) {
    for (PyObject *type : types) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// f-strings

// The decimal digits of `number`, as int's str() writes them, into the end
// of `buffer`; the first digit (or sign) is returned.
static char *decimal(long long number, char (&buffer)[24]) {
    char *at = buffer + sizeof buffer;
    unsigned long long magnitude = number < 0 ? 0ull - static_cast<unsigned long long>(number) : number;
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (number < 0) *--at = '-';
    return at;
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
    char number_buffers[kMaxPieces][24];
    const char *numbers[kMaxPieces] = {};
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    std::size_t i = 0;
    for (const Piece &piece : pieces) {
        length += static_cast<Py_ssize_t>(std::strlen(piece.text));
        if (piece.counts) {
            numbers[i] = decimal(piece.number, number_buffers[i]);
            length += static_cast<Py_ssize_t>(number_buffers[i] + sizeof number_buffers[i] - numbers[i]);
        }
        else if (piece.formats) {
            bool itself = piece.spec == nullptr && PyUnicode_CheckExact(piece.value);
            formatted[i] = itself ? new_ref(piece.value) : steal(PyObject_Format(piece.value, piece.spec));
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
    auto write_ascii = [&](const char *ascii, std::size_t n) {
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<Py_UCS1 *>(data) + at, ascii, n);
            at += static_cast<Py_ssize_t>(n);
        }
        else {
            for (std::size_t c = 0; c < n; c++) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(ascii[c]));
        }
    };
    i = 0;
    for (const Piece &piece : pieces) {
        write_ascii(piece.text, std::strlen(piece.text));
        if (const char *digits = numbers[i]) {
            write_ascii(digits, static_cast<std::size_t>(number_buffers[i] + sizeof number_buffers[i] - digits));
        }
        else if (PyObject *value = formatted[i].get()) {
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
        i++;
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
