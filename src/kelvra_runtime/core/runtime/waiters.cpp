// kelvra_runtime.core.runtime.waiters: suspended parent runs — duration
// parsing, the waiter records and the waiter registry.

#include <string>

#include "common/frame.hpp"

namespace {

using kr::Ref;
using kr::steal;

PyObject *str_duration_units;  // "_DURATION_UNITS"
PyObject *str_strip;
PyObject *str_lower;
PyObject *str_isdigit;
PyObject *str_isspace;
PyObject *str_dot;
PyObject *str_empty;

const kr::Interned constants[] = {
    {&str_duration_units, "_DURATION_UNITS"},
    {&str_strip, "strip"},
    {&str_lower, "lower"},
    {&str_isdigit, "isdigit"},
    {&str_isspace, "isspace"},
    {&str_dot, "."},
    {&str_empty, ""},
};

const char module_doc[] =
    "Phase 1.2 \xe2\x80\x94 waiter registry protocol + in-memory default.\n"
    "\n"
    "Three suspension types converge on one registry:\n"
    "\n"
    "- Signal waiters: the parent waits for a named signal whose payload\n"
    "  satisfies a shallow-equality match predicate.\n"
    "- Timers: the parent waits until a wall-clock time.\n"
    "- User-input waiters: the parent waits for typed user input.\n"
    "\n"
    "The runtime defines the registry shape; infra implements it with Redis\n"
    "for durable state across workers, Celery Beat for timer sweeping, and\n"
    "hooks into the existing signal handler. The in-memory default is for\n"
    "local development and unit tests; it is not thread-safe.\n"
    "\n"
    "See docs/RUNTIME_EMERGENCE_PLAN.md \xc2\xa7" "4.2.";

// ---------------------------------------------------------------------------
// parse_duration

// Source lines of parse_duration's statements.
constexpr int kLineNumeric = 212;
constexpr int kLineUnsupported = 214;
constexpr int kLineNormalise = 215;
constexpr int kLineEmpty = 217;
constexpr int kLineUnitTest = 224;
constexpr int kLineNoNumber = 226;
constexpr int kLineAddUnit = 229;
constexpr int kLineSpaceTest = 231;
constexpr int kLineUnrecognized = 234;
constexpr int kLineTrailing = 237;
constexpr int kLineNotPositive = 240;

// The running sum: a double while every term is a float, the host's
// addition once a unit value of another type took part.
struct Total {
    double real = 0.0;
    Ref object;

    int add(PyObject *term) {
        if (!object && PyFloat_CheckExact(term)) {
            real += PyFloat_AS_DOUBLE(term);
            return 0;
        }
        if (!object) {
            object = steal(PyFloat_FromDouble(real));
            if (!object) return -1;
        }
        object = steal(PyNumber_InPlaceAdd(object.get(), term));
        return object ? 0 : -1;
    }
    // `total <= 0`
    int not_positive() const {
        if (!object) return real <= 0.0;
        Ref zero = steal(PyLong_FromLong(0));
        return zero ? PyObject_RichCompareBool(object.get(), zero.get(), Py_LE) : -1;
    }
    PyObject *result() { return object ? object.release() : PyFloat_FromDouble(real); }
};

// The current value of the module's `_DURATION_UNITS`.
PyObject *duration_units(kr::Call &call) { return kr::global(call.globals(), str_duration_units); }

PyObject *fail_with_reprs(const char *before, PyObject *first, const char *between, PyObject *second) {
    Ref a = steal(PyObject_Repr(first));
    Ref b = a ? steal(PyObject_Repr(second)) : Ref();
    if (b) PyErr_Format(PyExc_ValueError, "%s%U%s%U", before, a.get(), between, b.get());
    return nullptr;
}

// `ch in _DURATION_UNITS`, the table read afresh.
int is_unit(kr::Call &call, PyObject *ch) {
    Ref units = steal(duration_units(call));
    if (!units) return -1;
    return PyDict_CheckExact(units.get()) ? PyDict_Contains(units.get(), ch) : PySequence_Contains(units.get(), ch);
}

// `total += float(num_buf) * _DURATION_UNITS[ch]`, the table read afresh.
int add_amount(kr::Call &call, Total &total, PyObject *num_buf, PyObject *ch) {
    Ref amount = steal(PyFloat_FromString(num_buf));
    if (!amount) return -1;
    Ref units = steal(duration_units(call));
    if (!units) return -1;
    Ref unit = steal(PyObject_GetItem(units.get(), ch));
    if (!unit) return -1;
    if (PyFloat_CheckExact(unit.get())) {
        Ref term = steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(amount.get()) * PyFloat_AS_DOUBLE(unit.get())));
        return term ? total.add(term.get()) : -1;
    }
    Ref term = steal(PyNumber_Multiply(amount.get(), unit.get()));
    return term ? total.add(term.get()) : -1;
}

// Walks a normalised spec that is exactly a str: the characters are then
// exact one-character strings, whose isdigit() and isspace() are the
// Unicode predicates below.
PyObject *walk_str(kr::Call &call, PyObject *value, PyObject *s) {
    Total total;
    std::u32string num_buf;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISDIGIT(c) || c == '.') {
            num_buf.push_back(c);
            continue;
        }
        Ref ch = steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
        if (!ch) return call.fail(kLineUnitTest);
        int unit = is_unit(call, ch.get());
        if (unit < 0) return call.fail(kLineUnitTest);
        if (unit) {
            if (num_buf.empty()) {
                fail_with_reprs("duration unit ", ch.get(), " with no preceding number in ", value);
                return call.fail(kLineNoNumber);
            }
            Ref text = steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, num_buf.data(),
                                                       static_cast<Py_ssize_t>(num_buf.size())));
            if (!text || add_amount(call, total, text.get(), ch.get()) < 0) return call.fail(kLineAddUnit);
            num_buf.clear();
            continue;
        }
        if (Py_UNICODE_ISSPACE(c)) continue;
        fail_with_reprs("unrecognized character ", ch.get(), " in duration ", value);
        return call.fail(kLineUnrecognized);
    }
    if (!num_buf.empty()) {
        Ref text = steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, num_buf.data(),
                                                   static_cast<Py_ssize_t>(num_buf.size())));
        Ref amount = text ? steal(PyFloat_FromString(text.get())) : Ref();
        if (!amount || total.add(amount.get()) < 0) return call.fail(kLineTrailing);
    }
    int not_positive = total.not_positive();
    if (not_positive < 0) return call.fail(kLineNotPositive);
    if (not_positive) {
        Ref r = steal(PyObject_Repr(value));
        if (r) PyErr_Format(PyExc_ValueError, "duration must be positive: %U", r.get());
        return call.fail(kLineNotPositive);
    }
    return total.result();
}

// `ch.<method>()` taken as a truth value.
int call_predicate(PyObject *ch, PyObject *method) {
    Ref result = steal(PyObject_CallMethodNoArgs(ch, method));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Walks a normalised spec of any other type through the general protocols:
// iteration, the characters' own methods, equality and concatenation.
PyObject *walk_object(kr::Call &call, PyObject *value, PyObject *s) {
    Total total;
    Ref num_buf = kr::new_ref(str_empty);
    Ref iter = steal(PyObject_GetIter(s));
    if (!iter) return call.fail(kLineUnitTest);
    while (true) {
        Ref ch = steal(PyIter_Next(iter.get()));
        if (!ch) {
            if (PyErr_Occurred()) return call.fail(kLineUnitTest);
            break;
        }
        int digit = call_predicate(ch.get(), str_isdigit);
        if (digit == 0) digit = PyObject_RichCompareBool(ch.get(), str_dot, Py_EQ);
        if (digit < 0) return call.fail(kLineUnitTest);
        if (digit) {
            num_buf = steal(PyNumber_Add(num_buf.get(), ch.get()));
            if (!num_buf) return call.fail(kLineUnitTest);
            continue;
        }
        int unit = is_unit(call, ch.get());
        if (unit < 0) return call.fail(kLineUnitTest);
        if (unit) {
            int empty = PyObject_Not(num_buf.get());
            if (empty < 0) return call.fail(kLineNoNumber);
            if (empty) {
                fail_with_reprs("duration unit ", ch.get(), " with no preceding number in ", value);
                return call.fail(kLineNoNumber);
            }
            if (add_amount(call, total, num_buf.get(), ch.get()) < 0) return call.fail(kLineAddUnit);
            num_buf = kr::new_ref(str_empty);
            continue;
        }
        int space = call_predicate(ch.get(), str_isspace);
        if (space < 0) return call.fail(kLineSpaceTest);
        if (space) continue;
        fail_with_reprs("unrecognized character ", ch.get(), " in duration ", value);
        return call.fail(kLineUnrecognized);
    }
    int pending = PyObject_IsTrue(num_buf.get());
    if (pending < 0) return call.fail(kLineTrailing);
    if (pending) {
        Ref amount = steal(PyNumber_Float(num_buf.get()));
        if (!amount || total.add(amount.get()) < 0) return call.fail(kLineTrailing);
    }
    int not_positive = total.not_positive();
    if (not_positive < 0) return call.fail(kLineNotPositive);
    if (not_positive) {
        Ref r = steal(PyObject_Repr(value));
        if (r) PyErr_Format(PyExc_ValueError, "duration must be positive: %U", r.get());
        return call.fail(kLineNotPositive);
    }
    return total.result();
}

// `value.strip().lower()` of an exact str; ASCII is done in place.
PyObject *normalise_str(PyObject *value) {
    if (!PyUnicode_IS_ASCII(value)) {
        Ref stripped = steal(PyObject_CallMethodNoArgs(value, str_strip));
        return stripped ? PyObject_CallMethodNoArgs(stripped.get(), str_lower) : nullptr;
    }
    const char *text = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(value));
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(value);
    while (start < end && Py_UNICODE_ISSPACE(static_cast<unsigned char>(text[start]))) start++;
    while (end > start && Py_UNICODE_ISSPACE(static_cast<unsigned char>(text[end - 1]))) end--;
    std::string lowered(text + start, text + end);
    for (char &c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return PyUnicode_FromStringAndSize(lowered.data(), static_cast<Py_ssize_t>(lowered.size()));
}

PyObject *parse_duration(kr::Call &call) {
    PyObject *value = call[0];
    if (PyFloat_CheckExact(value)) return Py_NewRef(value);
    if (PyLong_Check(value) || PyFloat_Check(value)) {
        PyObject *seconds = PyNumber_Float(value);
        return seconds ? seconds : call.fail(kLineNumeric);
    }
    if (!PyUnicode_Check(value)) {
        Ref name = steal(PyType_GetName(Py_TYPE(value)));
        if (name) PyErr_Format(PyExc_ValueError, "unsupported duration type: %U", name.get());
        return call.fail(kLineUnsupported);
    }
    Ref s;
    if (PyUnicode_CheckExact(value)) {
        s = steal(normalise_str(value));
    }
    else {
        Ref stripped = steal(PyObject_CallMethodNoArgs(value, str_strip));
        s = stripped ? steal(PyObject_CallMethodNoArgs(stripped.get(), str_lower)) : Ref();
    }
    if (!s) return call.fail(kLineNormalise);
    int empty = PyObject_Not(s.get());
    if (empty < 0) return call.fail(kLineEmpty);
    if (empty) {
        PyErr_SetString(PyExc_ValueError, "empty duration string");
        return call.fail(kLineEmpty);
    }
    return PyUnicode_CheckExact(s.get()) ? walk_str(call, value, s.get()) : walk_object(call, value, s.get());
}

const kr::Param parse_duration_params[] = {{"value"}};

const kr::FunctionDef parse_duration_def = {
    .name = "parse_duration",
    .doc = "Parse a duration spec into seconds.\n"
           "\n"
           "    Accepts:\n"
           "        int / float  -> seconds as-is\n"
           "        \"30s\"        -> 30.0\n"
           "        \"5m\"         -> 300.0\n"
           "        \"1h\"         -> 3600.0\n"
           "        \"2h30m\"      -> 9000.0\n"
           "        \"1d\"         -> 86400.0\n"
           "\n"
           "    Multi-unit strings are summed left-to-right. Raises ValueError on\n"
           "    anything unparseable.\n"
           "    ",
    .line = 198,
    .params = parse_duration_params,
    .returns = "float",
    .body = parse_duration,
};

// ---------------------------------------------------------------------------
// The module

const char *const dataclasses_names[] = {"dataclass", "field"};
const char *const typing_names[] = {"Any", "Optional", "Protocol", "runtime_checkable"};

PyObject *duration_units_table() {
    return Py_BuildValue("{s:d,s:d,s:d,s:d}", "s", 1.0, "m", 60.0, "h", 3600.0, "d", 86400.0);
}

int waiters_body(kr::Module &m) {
    if (m.import_module("time", 17) < 0) return -1;
    if (m.import_from("dataclasses", dataclasses_names, 18) < 0) return -1;
    if (m.import_from("typing", typing_names, 19) < 0) return -1;
    if (m.bind("_DURATION_UNITS", duration_units_table(), 190) < 0) return -1;
    return m.def(parse_duration_def);
}

const kr::ModuleDef waiters_module = {
    .name = "waiters",
    .doc = module_doc,
    .constants = constants,
    .body = waiters_body,
};

}  // namespace

PyMODINIT_FUNC PyInit_waiters() { return kr::module_init(waiters_module); }
