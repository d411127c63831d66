// Module constants and the host's operations as bodies use them, with the
// exact-type paths that give the host's own results directly.
#pragma once

#include "common/host/versions.hpp"

#include <cstddef>
#include <cstring>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/host/layout.hpp"

namespace kr {

// ---------------------------------------------------------------------------
// Module constants

// Where the instances of one class keep the value of one attribute in their
// own storage, as the host's specialised attribute access finds it: found
// once by `fill_field_slot` (common/fields.cpp), then valid for as long as
// the class keeps its version tag, which any change to it replaces.
// Offsets are in bytes from the object.  Each name constant keeps two, the
// latest found first, so that one name read on two classes keeps both.
struct FieldSlot {
    unsigned int version = 0;  // the class's version tag; 0: an empty slot
    std::int16_t value = 0;    // the value's pointer; 0: the general protocol
    std::int8_t in_use = 0;    // the flag that says the storage holds the fields
    std::int8_t dict = 0;      // the pointer to a `__dict__` made for the instance
};

// A process-wide constant of a module, made once at its first exec, in the
// order of declaration: an interned str,
//     kr::Constant str_get{"get"};
// a tuple of interned strs, such as the keyword names of a call site,
//     const char *const kw_R_names[] = {"cap_name", "cap_value"};
//     kr::Constant kw_R{kw_R_names};
// or the object a function makes (it may use the constants declared
// before it, and the shared ones below),
//     kr::Constant int_6{[] { return PyLong_FromLongLong(6); }};
// Declaring one is all it takes: it registers itself with the module.
// tools/declare.py declares those that the rendering writes, in the
// module's `py` namespace.
class Constant {
public:
    explicit Constant(const char *interned) noexcept;
    explicit Constant(std::span<const char *const> interned_tuple) noexcept;
    explicit Constant(PyObject *(*make)()) noexcept;
    Constant(const Constant &) = delete;
    Constant &operator=(const Constant &) = delete;

    PyObject *get() const noexcept { return object_; }
    operator PyObject *() const noexcept { return object_; }

    // Makes every declared constant not made yet; -1 with the error set.
    static int make_all();

    // For a name: where classes keep the attribute of that name.
    FieldSlot *field_slots() const noexcept { return field_slots_; }
    // For a str: its text as declared (UTF-8); empty for any other constant.
    std::string_view text() const noexcept { return {text_, text_length_}; }

private:
    void link() noexcept;
    PyObject *make() const;

    const char *text_ = nullptr;
    std::size_t text_length_ = 0;
    std::span<const char *const> texts_ = {};
    PyObject *(*make_)() = nullptr;
    PyObject *object_ = nullptr;
    Constant *next_ = nullptr;
    mutable FieldSlot field_slots_[2] = {};
};

// ---------------------------------------------------------------------------
// The host's operations, with their exact-type paths

// The constants every module's bodies share: the empty str, 0, 1 and 0.0.
// The generated declarations bring them into a module's `py` namespace.
extern Constant str_empty;
extern Constant int_0;
extern Constant int_1;
extern Constant float_0_0;

// The names "get", "pop" and "append", for `Api::get_or`, `Api::pop_or`
// and `Api::append`.
extern Constant get_name;
extern Constant pop_name;
extern Constant append_name;
// The names "startswith" and "items" and the builtin round, for
// `Api::startswith`, `ItemsLoop` and `Api::round`.
extern Constant startswith_name;
extern Constant items_name;
extern Constant builtin_round;

// The builtin `name` (a new reference).
PyObject *builtin(const char *name);

// The module global `name` (a new reference), else the builtin of that
// name; NameError when neither exists.
PyObject *global(PyObject *globals, const char *name);
PyObject *global(PyObject *globals, PyObject *name);

// Whether the `length` bytes at `a` and `b` are equal.  A short run, as a
// prefix mostly is, is compared as two words that may overlap, without a
// call.
inline bool same_bytes(const char *a, const char *b, std::size_t length) {
    auto same = [&](std::size_t at, auto word) {
        decltype(word) x, y;
        std::memcpy(&x, a + at, sizeof x);
        std::memcpy(&y, b + at, sizeof y);
        return x == y;
    };
    if (length >= 8 && length <= 16) return same(0, std::uint64_t()) && same(length - 8, std::uint64_t());
    if (length >= 4 && length < 8) return same(0, std::uint32_t()) && same(length - 4, std::uint32_t());
    if (length < 4) {
        for (std::size_t i = 0; i < length; i++) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
    return std::memcmp(a, b, length) == 0;
}

// `s.startswith(prefix)` of two exact strs: code point by code point, as
// str compares them; 1 or 0 (-1 with the error set).
inline int str_startswith(PyObject *s, PyObject *prefix) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(prefix);
    if (PyUnicode_GET_LENGTH(s) < length) return 0;
    int kind = PyUnicode_KIND(prefix);
    if (PyUnicode_KIND(s) == kind) {
        return same_bytes(static_cast<const char *>(PyUnicode_DATA(s)),
                          static_cast<const char *>(PyUnicode_DATA(prefix)), static_cast<std::size_t>(length) * kind);
    }
    return static_cast<int>(PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1));
}

// The text of an exact str of ASCII characters, read in place; false for
// any other object.
inline bool ascii_text(PyObject *obj, std::string_view *out) {
    if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_ASCII(obj)) return false;
    *out = std::string_view(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(obj)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
}

// str.isspace of an ASCII character.
inline bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

// Whether `table` is an exact dict whose keys and values are all exactly of
// these types: one that can be read without running any code of the
// caller's.
bool plain_table(PyObject *table, PyTypeObject *key_type, PyTypeObject *value_type);

// `float(text)` of an ASCII text: read directly when the host's own
// parsing takes it whole, else float() of it as a str, with its error.
// False with the error set when it is no number.
bool float_of_ascii(const std::string &text, double *out);

// The str of one ASCII character: the host's own cached one.
inline PyObject *ascii_char(char c) { return PyUnicode_FromOrdinal(static_cast<unsigned char>(c)); }

// The value of an exact str that int() reads as a plain decimal number of
// at most 18 ASCII digits (no sign, space or underscore), which a machine
// integer holds.  False for any other str.
inline bool ascii_digits_value(PyObject *s, long long *out) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (!PyUnicode_IS_COMPACT_ASCII(s) || length == 0 || length > 18) return false;
    const char *digits = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s));
    long long value = 0;
    for (Py_ssize_t i = 0; i < length; i++) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        value = value * 10 + (digits[i] - '0');
    }
    *out = value;
    return true;
}

// The value of a few plain ASCII digits, when `obj` is an exact str that
// int() reads as one (see above); false for anything else.
inline bool plain_digits(PyObject *obj, long long *out) {
    return obj != nullptr && PyUnicode_CheckExact(obj) && ascii_digits_value(obj, out);
}

// The value of an exact int small enough for machine arithmetic (a compact
// one, of at most one internal digit): the host's int arithmetic and
// comparisons on it give what the machine's do, and a double holds it
// exactly.  False for any other object.
inline bool machine_int(PyObject *value, long long *out) {
    if (!PyLong_CheckExact(value)) return false;
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *out = PyUnstable_Long_CompactValue(number);
    return true;
}

template <class Number>
inline bool compare_numbers(Number x, int op, Number y) {
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// `compare` past its exact float and small exact int cases.
int compare_objects(PyObject *a, int op, PyObject *b);

// `a <op> b` taken as a truth value (1, 0, or -1 with the error set), as
// the host evaluates it.  Exact floats and small exact ints compare as
// machine numbers, as their own comparisons do; two exact
// strs compare by value, and an exact int or None equals itself.
inline int compare(PyObject *a, int op, PyObject *b) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return compare_numbers(PyFloat_AS_DOUBLE(a), op, PyFloat_AS_DOUBLE(b));
    }
    long long x, y;
    bool small_a = machine_int(a, &x), small_b = machine_int(b, &y);
    if (small_a && small_b) return compare_numbers(x, op, y);
    // A float compares with a small int as with its exact double.
    if (small_a && PyFloat_CheckExact(b)) return compare_numbers(static_cast<double>(x), op, PyFloat_AS_DOUBLE(b));
    if (small_b && PyFloat_CheckExact(a)) return compare_numbers(PyFloat_AS_DOUBLE(a), op, static_cast<double>(y));
    if (a == b && (op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a)) return op == Py_EQ;
    return compare_objects(a, op, b);
}

// `list.append(item)` for an exact list: 0, or -1 with the error set.  In
// place while the list has room, as the host's own append is.
inline int list_append(PyObject *list, PyObject *item) {
    Py_ssize_t size = PyList_GET_SIZE(list);
    if (size < host::list_room(list)) [[likely]] {
        PyList_SET_ITEM(list, size, Py_NewRef(item));
        Py_SET_SIZE(list, size + 1);
        return 0;
    }
    return PyList_Append(list, item);
}

// The error of a failed attribute read, given the name and object for the
// host's suggestions, as its own attribute read does.  Returns null.
PyObject *attribute_error_context(PyObject *obj, PyObject *name);

// Finds where the instances of `obj`'s class keep `name`, when the class
// stores its instances' attributes inline and reads and assigns them
// through the generic protocol, and keeps it first in `slots`.  Never
// fails; the error state is kept.
void fill_field_slot(PyObject *obj, PyObject *name, FieldSlot *slots);

// The slot of `slots` for the class of version tag `version`, or null.  A
// class without a tag yet meets an empty slot, whose general protocol gives
// it one; the next access finds its slot.
inline const FieldSlot *find_field_slot(const FieldSlot *slots, unsigned int version) {
    if (slots[0].version == version) [[likely]]
        return &slots[0];
    if (slots[1].version == version) return &slots[1];
    return nullptr;
}

inline PyObject **field_place(PyObject *obj, std::ptrdiff_t offset) {
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset);
}

inline bool fields_in_use(PyObject *obj, const FieldSlot &slot) {
    return reinterpret_cast<const unsigned char *>(obj)[slot.in_use] != 0;
}

// `obj.<name>`, as the host's attribute read does it: an instance's own
// value straight from its storage where the class allows, else through the
// type's own lookup.
inline PyObject *get_attr(PyObject *obj, const Constant &name) {
    PyTypeObject *type = Py_TYPE(obj);
    const FieldSlot *slot = find_field_slot(name.field_slots(), type->tp_version_tag);
    if (slot != nullptr) {
        if (slot->value != 0 && fields_in_use(obj, *slot)) {
            PyObject *value = *field_place(obj, slot->value);
            if (value != nullptr) return Py_NewRef(value);
        }
    }
    else if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) {
        fill_field_slot(obj, name, name.field_slots());
    }
    getattrofunc getattro = type->tp_getattro;
    if (getattro == nullptr) [[unlikely]]
        return PyObject_GetAttr(obj, name);
    PyObject *value = getattro(obj, name);
    return value != nullptr ? value : attribute_error_context(obj, name);
}

// Where `obj` keeps its value of `name` in its own storage, when the class
// allows, the instance has no `__dict__` made for it and the attribute is
// there already: an assignment may then replace the value in place.  Null
// otherwise.
inline PyObject **field_to_assign(PyObject *obj, const Constant &name) {
    PyTypeObject *type = Py_TYPE(obj);
    const FieldSlot *slot = find_field_slot(name.field_slots(), type->tp_version_tag);
    if (slot == nullptr) {
        if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) fill_field_slot(obj, name, name.field_slots());
        return nullptr;
    }
    if (slot->value == 0 || !fields_in_use(obj, *slot) || *field_place(obj, slot->dict) != nullptr) return nullptr;
    PyObject **place = field_place(obj, slot->value);
    return *place != nullptr ? place : nullptr;
}

// `obj.<name> = value`: in the instance's own storage when the class
// allows and the attribute is there already, else through the type's own
// assignment; 0, or -1 with the error set.
inline int set_attr(PyObject *obj, const Constant &name, PyObject *value) {
    if (value != nullptr) {
        if (PyObject **place = field_to_assign(obj, name)) {
            Py_SETREF(*place, Py_NewRef(value));
            return 0;
        }
    }
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    if (setattro == nullptr) [[unlikely]]
        return PyObject_SetAttr(obj, name, value);
    return setattro(obj, name, value);
}

// `self.<name>(args...)`: a new reference, or null with the error set.
template <class... Args>
PyObject *call_method(PyObject *name, PyObject *self, const Args &...args) {
    PyObject *stack[] = {self, static_cast<PyObject *>(args)...};
    return PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `callable(positional..., **dict(zip(kwnames, keyword values)))`: the
// arguments are the positional ones, then one value per name of `kwnames`
// (a tuple of interned strs, as a compiled call site passes).
template <class... Args>
PyObject *call_with_keywords(PyObject *callable, PyObject *kwnames, const Args &...args) {
    PyObject *stack[] = {nullptr, static_cast<PyObject *>(args)...};
    std::size_t nargs = sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// ---------------------------------------------------------------------------
// The host's monitoring (sys.monitoring), as our calls meet it

namespace host {

// The tools of the legacy hooks, sys.setprofile's and sys.settrace's, a bit
// each among the eight of sys.monitoring.  The host's bridge to those hooks
// reports every event with the frame of the Python code that runs, which
// for an event of ours is the caller's: a profile function would see the
// caller called again.  Our events go to the other tools only.
inline constexpr std::uint8_t legacy_tools = 0xC0;

// The host's bytes of PY_START, PY_RESUME, PY_RETURN and PY_YIELD, in that
// order, each with a bit per tool that listens to it everywhere: found at
// the first exec (`find_call_events`, common/host/monitoring.cpp), zeros
// until then.
inline constexpr unsigned char no_call_events[4] = {};
inline const unsigned char *call_events = no_call_events;

void find_call_events();

// Whether a tool other than the legacy hooks' listens to Python functions
// starting, resuming, returning or yielding: the one test a call of ours
// makes before it fires those events (common/calls/events.cpp).
inline bool calls_watched() {
    constexpr std::uint32_t tools = 0x01010101u * static_cast<std::uint8_t>(~legacy_tools);
    std::uint32_t events;
    std::memcpy(&events, call_events, sizeof events);
    return (events & tools) != 0;
}

// Whether the thread runs a tool's callback or a legacy hook's function:
// the host fires no event meanwhile, and our calls fire none either.
inline bool in_tool_callback() { return PyThreadState_Get()->tracing > 0; }

// PyMonitoring_EnterScope for a call that may fire `events`, leaving the
// legacy hooks' tools out of their states.  0, or -1 with the error set.
int enter_monitoring_scope(PyMonitoringState *states, std::uint64_t *version, std::span<const std::uint8_t> events);

}  // namespace host

}  // namespace kr
