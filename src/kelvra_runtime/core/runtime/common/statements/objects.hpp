// Objects and the statements bodies are written in.
//
// `Ref` owns one strong reference and releases it when it goes out of scope;
// a borrowed reference is a plain `PyObject *`, or a `Handle` where it takes
// part in a statement.  Errors are never thrown: a null reference means
// "failed, the Python error is set", as in the C API.
//
// A body reads statement by statement like its rendering.  The operations
// of `Ref` and `Handle` take their operands as handles (a `PyObject *`, a
// `Ref` or a `Constant`) and give a new `Ref`; a null operand (an earlier
// operation of the same statement failed) makes the result null without
// doing anything.  So a statement checks once, at its end, and fails at its
// line:
//
//     // counts[tool_name] = counts.get(tool_name, 0) + 1  # @count_tool
//     if (!counts.set_item(tool_name, counts.get_or(tool_name, int_zero).plus(int_one))) return line::count_tool;
//
// Only a chain stops at a failure: an operation runs whenever its own
// operands are there, even though another operation failed before it and
// its error is set.  So two reads that do not feed one another are two
// statements, each with its own check, never the operands of one.  And C++
// evaluates a call's arguments in no set order, though the object of a
// member call comes before them and the items of a braced list go left to
// right: where Python's order shows (a read or call with effects), a
// statement takes its operands in that order by member calls, a braced
// list or named values.
#pragma once

#include "common/host/versions.hpp"

#include <initializer_list>
#include <type_traits>
#include <utility>

#include "common/host/host.hpp"

namespace kr {

// ---------------------------------------------------------------------------
// References

class Ref;
class Handle;

// The operations of a statement, shared by `Ref` and `Handle`, inlined into
// each statement as the C API's own macros are (a call per operation would
// cost more than its checks).  Each gives
// a new reference, or null with the error set (also when this object or an
// operand is null); a truth value is 1, 0, or -1 with the error set; an
// assignment gives whether it succeeded.
template <class Self>
class Api {
public:
    // `self.<name>`, for a name constant
    Ref attr(const Constant &name) const;
    // `self.<name> = value`
    bool set(const Constant &name, Handle value) const;
    // `self.<name> += value`, and the same with the float of `x`
    bool add_to(const Constant &name, Handle value) const;
    bool add_to(const Constant &name, double x) const;
    // `self[key]` and `self[key] = value`; an exact dict directly.
    Ref item(Handle key) const;
    bool set_item(Handle key, Handle value) const;
    // `self(args...)` and `self.<name>(args...)`
    template <class... Args>
    Ref operator()(const Args &...args) const;
    template <class... Args>
    Ref method(PyObject *name, const Args &...args) const;

    // `getattr(self, name, fallback)`
    Ref attr_or(PyObject *name, Handle fallback) const;
    // `self.get(key, fallback)` and `self.pop(key, fallback)`; an exact dict
    // directly.
    Ref get_or(Handle key, Handle fallback) const;
    Ref pop_or(Handle key, Handle fallback) const;
    // `self(*args, **dict(zip(kwnames, keyword values)))`: the arguments are
    // the positional ones, then one value per name of `kwnames` (a tuple of
    // interned strs, as a compiled call site passes).
    template <class... Args>
    Ref call_keywords(PyObject *kwnames, const Args &...args) const;

    // `self + other`, `self - other`, and the value `self += other` binds;
    // exact floats and small exact ints as machine numbers.
    Ref plus(Handle other) const;
    Ref minus(Handle other) const;
    Ref iadd(Handle other) const;
    // The same with the float of `x` as the other operand.
    Ref plus(double x) const;
    Ref iadd(double x) const;

    // `self <op> other` as a truth value (see `compare`).
    int compare(int op, Handle other) const;
    int lt(Handle other) const;
    int le(Handle other) const;
    int eq(Handle other) const;
    int ne(Handle other) const;
    int gt(Handle other) const;
    int ge(Handle other) const;
    // `bool(self)`
    int truth() const;
    // `self.startswith(prefix)` as a truth value; exact strs compared in
    // place, an ASCII one with a constant's text directly.
    int startswith(Handle prefix) const;
    int startswith(const Constant &prefix) const;
    // `round(self, ndigits)`; an exact float to a few digits computed
    // exactly as float's own rounding does.
    Ref round(Handle ndigits) const;
    // `str(self)`, `int(self)`, `float(self)`, `format(self, spec)`; the int
    // of an exact str of a few ASCII digits read in place.
    Ref str() const;
    Ref to_int() const;
    Ref to_float() const;
    Ref format(PyObject *spec) const;

    // Loops and containers
    // `iter(self)`, `len(self)`, `repr(self)`
    Ref iter() const;
    Ref len() const;
    Ref repr() const;
    // `self * other`; exact floats as machine numbers.
    Ref times(Handle other) const;
    // `other in self`
    int contains(Handle other) const;
    // `self.append(item)`; an exact list in place.
    bool append(Handle item) const;
    // `del self[index]` of a machine index; an exact list in place.
    bool del_item(Py_ssize_t index) const;

private:
    PyObject *ptr() const { return static_cast<const Self *>(this)->get(); }
};

class Ref : public Api<Ref> {
public:
    Ref() noexcept = default;
    // Takes over a new (owned) reference; null is allowed.
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject *obj) noexcept { return Ref(Py_XNewRef(obj)); }

    Ref(const Ref &other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (a C API function that steals it,
    // or a return value).
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject *owned = nullptr) noexcept { Ref old(std::exchange(obj_, owned)); }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

inline Ref new_ref(PyObject *obj) noexcept { return Ref::borrow(obj); }
inline Ref steal(PyObject *obj) noexcept { return Ref::steal(obj); }

// A borrowed reference taking part in a statement; null when the operation
// that made it failed.
class Handle : public Api<Handle> {
public:
    Handle(PyObject *obj) noexcept : obj_(obj) {}
    Handle(const Ref &ref) noexcept : obj_(ref.get()) {}
    Handle(const Constant &constant) noexcept : obj_(constant.get()) {}

    PyObject *get() const noexcept { return obj_; }
    operator PyObject *() const noexcept { return obj_; }

private:
    PyObject *obj_;
};

// `dict(mapping)`; an exact dict copied directly.
inline Ref dict_of(Handle mapping) {
    if (!mapping) return Ref();
    if (PyDict_CheckExact(mapping)) return steal(PyDict_Copy(mapping));
    return steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), mapping));
}
// The double of an exact float.
inline double float_value(Handle exact_float) { return PyFloat_AS_DOUBLE(exact_float.get()); }
// `type(obj)`
inline Ref type_of(Handle obj) { return obj ? new_ref(reinterpret_cast<PyObject *>(Py_TYPE(obj))) : Ref(); }

// A parameter that binding checked to be exactly a dict: its statements
// know its type.
class ExactDict : public Handle {
public:
    using Handle::Handle;
    // `bool(self)`
    int truth() const { return PyDict_GET_SIZE(get()) != 0; }
    // `self.get(key, fallback)`
    Ref get_or(Handle key, Handle fallback) const {
        if (!key || !fallback) return Ref();
        PyObject *value;
        int found = PyDict_GetItemRef(get(), key, &value);
        if (found < 0) return Ref();
        return found ? steal(value) : new_ref(fallback);
    }
};

// New objects: a dict, a list, a float, an int, a bool, a tuple.
inline Ref new_dict() { return steal(PyDict_New()); }
inline Ref new_list() { return steal(PyList_New(0)); }
inline Ref new_float(double x) { return steal(PyFloat_FromDouble(x)); }
inline Ref new_int(long long x) { return steal(PyLong_FromLongLong(x)); }
inline Ref new_bool(bool x) { return new_ref(x ? Py_True : Py_False); }
// `(items...)`, the items in order; null when an item is.
Ref new_tuple(std::initializer_list<Handle> items);

// `max(a, b)`: `b` when `b > a`, else `a`; `min(a, b)`: `b` when `b < a`, else `a`.
Ref max(Handle a, Handle b);
Ref min(Handle a, Handle b);

// `raise exc`; nothing when `exc` is null (its error is set already).
void raise(const Ref &exc);

// Whether calling `cls` runs dict's own construction: `type.__call__`, then
// dict's `__new__` and `__init__`, which copy the keywords in order.
inline bool constructs_as_dict(PyObject *cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    return type->tp_new == PyDict_Type.tp_new && type->tp_init == PyDict_Type.tp_init;
}

// `cls(**dict(zip(kwnames, values)))` for a `cls` that constructs as a dict;
// `constant[i]` says that `values[i]` is a module constant, the same object
// at every call of the call site.
Ref dict_from_keywords(PyObject *cls, PyObject *const *values, PyObject *kwnames, const bool *constant);

// `round(value, ndigits)` (see `Api::round`).
Ref round_number(PyObject *value, PyObject *ndigits);

// The value a function declared `-> int` returns: an exact int is itself,
// another number goes through int(), anything else is refused.
Ref int_result(Ref value);
// The value a function declared to return exactly `type` or None returns;
// anything else is refused.
Ref exact_or_none_result(Ref value, PyTypeObject *type);

// `except (types...): pass` — whether the error set is one of `types`, in
// which case it is cleared.
bool caught(std::initializer_list<PyObject *> types);
// The test of `except type:` — whether the error set is an instance of it.
inline bool error_is(PyObject *type) { return PyErr_ExceptionMatches(type) != 0; }

// `from module import name`, of a module the host can import.
inline Ref import_from(const char *module, const char *name) {
    return steal(PyImport_ImportModuleAttrString(module, name));
}

// The exception an `except ... as exc:` block handles: taken from the error
// set, and the one being handled while the block runs, so that errors
// raised in the block carry it as their context.
class Handling {
public:
    Handling() : exc_(steal(PyErr_GetRaisedException())), outer_(steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc_.get());
    }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;
    ~Handling() { PyErr_SetHandledException(outer_.get()); }
    Handle exc() const { return exc_; }

private:
    Ref exc_;
    Ref outer_;
};

// One fragment of an f-string: fixed ASCII text, then, if given,
// `format(value, spec)` (an exact str with no spec is itself).
struct Piece {
    Piece(const char *text) noexcept : text(text) {}
    Piece(const char *text, Handle value, PyObject *spec) noexcept
        : text(text), value(value.get()), spec(spec), formats(true) {}
    // `{number}` of a machine integer, written as int's str() writes it.
    Piece(const char *text, long long number) noexcept : text(text), number(number), counts(true) {}

    const char *text;
    PyObject *value = nullptr;
    PyObject *spec = nullptr;
    bool formats = false;
    long long number = 0;
    bool counts = false;
};

// The f-string of the pieces in order (at most four of them); null when a
// value is null or its formatting fails.
Ref fstring(std::initializer_list<Piece> pieces);

// ---------------------------------------------------------------------------
// What bodies take and give

// The line of a marked statement of the rendering, where a body reports its
// failure.
struct Line {
    int number;
    constexpr operator int() const { return number; }
};

// An argument checked `to_double`: the object given and its double.
struct Real {
    PyObject *object;
    double value;
    // `float(object)`: the object itself when it is an exact float, as
    // float() returns it, else a new float of its double.
    Ref as_float() const { return PyFloat_CheckExact(object) ? new_ref(object) : new_float(value); }
};

struct NoneResult {};
// `return None`
inline constexpr NoneResult None{};

// What a body gives: its result, or the line of the statement that failed
// with the error set.  A body returns it and the glue takes it at once, so
// it is a plain pair that goes back in registers: it owns its value only
// on the way.
class Result {
public:
    Result(NoneResult) noexcept : value_(Py_NewRef(Py_None)) {}
    Result(Line failed) noexcept : line_(failed.number) {}
    // A result that is not null.
    Result(Ref &&value) noexcept : value_(value.release()) {}
    // `value`, or the failure of the statement at `line` when it is null.
    Result(Ref &&value, Line line) noexcept : value_(value.release()), line_(line.number) {}

    // The result (a new reference), or null after storing the failing line.
    PyObject *take(int *line) noexcept {
        if (value_ == nullptr) *line = line_;
        return std::exchange(value_, nullptr);
    }

private:
    PyObject *value_ = nullptr;
    int line_ = 0;
};

// ---------------------------------------------------------------------------
// The operations

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::attr(const Constant &name) const {
    return ptr() ? steal(get_attr(ptr(), name)) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline bool Api<Self>::set(const Constant &name, Handle value) const {
    return ptr() && value && set_attr(ptr(), name, value) == 0;
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::item(Handle key) const {
    if (!ptr() || !key) return Ref();
    if (PyDict_CheckExact(ptr())) {
        PyObject *value;
        // A missing key raises through the general protocol.
        if (PyDict_GetItemRef(ptr(), key, &value) != 0) return steal(value);
    }
    return steal(PyObject_GetItem(ptr(), key));
}

template <class Self>
[[gnu::always_inline]] inline bool Api<Self>::set_item(Handle key, Handle value) const {
    if (!ptr() || !key || !value) return false;
    return (PyDict_CheckExact(ptr()) ? PyDict_SetItem(ptr(), key, value) : PyObject_SetItem(ptr(), key, value)) == 0;
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::attr_or(PyObject *name, Handle fallback) const {
    if (!ptr() || !fallback) return Ref();
    PyObject *value;
    int found = PyObject_GetOptionalAttr(ptr(), name, &value);
    if (found < 0) return Ref();
    return found ? steal(value) : new_ref(fallback);
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::get_or(Handle key, Handle fallback) const {
    if (!ptr() || !key || !fallback) return Ref();
    if (PyDict_CheckExact(ptr())) {
        PyObject *value;
        int found = PyDict_GetItemRef(ptr(), key, &value);
        if (found < 0) return Ref();
        return found ? steal(value) : new_ref(fallback);
    }
    return method(get_name, key, fallback);
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::pop_or(Handle key, Handle fallback) const {
    if (!ptr() || !key || !fallback) return Ref();
    if (PyDict_CheckExact(ptr())) {
        PyObject *value;
        int found = PyDict_Pop(ptr(), key, &value);
        if (found < 0) return Ref();
        return found ? steal(value) : new_ref(fallback);
    }
    return method(pop_name, key, fallback);
}

template <class Self>
template <class... Args>
[[gnu::always_inline]] inline Ref Api<Self>::call_keywords(PyObject *kwnames, const Args &...args) const {
    PyObject *stack[] = {nullptr, Handle(args).get()...};
    if (!ptr()) return Ref();
    for (std::size_t i = 1; i <= sizeof...(Args); i++) {
        if (stack[i] == nullptr) return Ref();
    }
    std::size_t nargs = sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (nargs == 0 && constructs_as_dict(ptr())) {
        static constexpr bool constant[] = {std::is_same_v<Args, Constant>...};
        return dict_from_keywords(ptr(), stack + 1, kwnames, constant);
    }
    return steal(PyObject_Vectorcall(ptr(), stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class Self>
template <class... Args>
[[gnu::always_inline]] inline Ref Api<Self>::operator()(const Args &...args) const {
    PyObject *stack[] = {nullptr, Handle(args).get()...};
    if (!ptr()) return Ref();
    for (std::size_t i = 1; i <= sizeof...(Args); i++) {
        if (stack[i] == nullptr) return Ref();
    }
    return steal(PyObject_Vectorcall(ptr(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class Self>
template <class... Args>
[[gnu::always_inline]] inline Ref Api<Self>::method(PyObject *name, const Args &...args) const {
    PyObject *stack[] = {ptr(), Handle(args).get()...};
    for (PyObject *obj : stack) {
        if (obj == nullptr) return Ref();
    }
    return steal(
        PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::plus(Handle other) const {
    if (!ptr() || !other) return Ref();
    if (PyFloat_CheckExact(ptr()) && PyFloat_CheckExact(other)) {
        return new_float(PyFloat_AS_DOUBLE(ptr()) + PyFloat_AS_DOUBLE(other.get()));
    }
    long long x, y;
    if (machine_int(ptr(), &x) && machine_int(other, &y)) return new_int(x + y);
    return steal(PyNumber_Add(ptr(), other));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::minus(Handle other) const {
    if (!ptr() || !other) return Ref();
    if (PyFloat_CheckExact(ptr()) && PyFloat_CheckExact(other)) {
        return new_float(PyFloat_AS_DOUBLE(ptr()) - PyFloat_AS_DOUBLE(other.get()));
    }
    long long x, y;
    if (machine_int(ptr(), &x) && machine_int(other, &y)) return new_int(x - y);
    return steal(PyNumber_Subtract(ptr(), other));
}

template <class Self>
[[gnu::always_inline]] inline bool Api<Self>::add_to(const Constant &name, Handle value) const {
    return set(name, attr(name).iadd(value));
}

// A float that only the instance holds takes the sum in place.
template <class Self>
[[gnu::always_inline]] inline bool Api<Self>::add_to(const Constant &name, double x) const {
    if (!ptr()) return false;
    if (PyObject **place = field_to_assign(ptr(), name)) {
        if (host::add_in_place(*place, x)) return true;
    }
    return set(name, attr(name).iadd(x));
}

// float and int have no in-place addition: their fast paths are the same.
template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::iadd(Handle other) const {
    if (!ptr() || !other) return Ref();
    if (PyFloat_CheckExact(ptr()) && PyFloat_CheckExact(other)) {
        return new_float(PyFloat_AS_DOUBLE(ptr()) + PyFloat_AS_DOUBLE(other.get()));
    }
    long long x, y;
    if (machine_int(ptr(), &x) && machine_int(other, &y)) return new_int(x + y);
    return steal(PyNumber_InPlaceAdd(ptr(), other));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::plus(double x) const {
    if (!ptr()) return Ref();
    if (PyFloat_CheckExact(ptr())) return new_float(PyFloat_AS_DOUBLE(ptr()) + x);
    return plus(new_float(x));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::iadd(double x) const {
    if (!ptr()) return Ref();
    if (PyFloat_CheckExact(ptr())) return new_float(PyFloat_AS_DOUBLE(ptr()) + x);
    return iadd(new_float(x));
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::compare(int op, Handle other) const {
    return ptr() && other ? kr::compare(ptr(), op, other) : -1;
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::lt(Handle other) const {
    return compare(Py_LT, other);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::le(Handle other) const {
    return compare(Py_LE, other);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::eq(Handle other) const {
    return compare(Py_EQ, other);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::ne(Handle other) const {
    return compare(Py_NE, other);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::gt(Handle other) const {
    return compare(Py_GT, other);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::ge(Handle other) const {
    return compare(Py_GE, other);
}

[[gnu::always_inline]] inline Ref max(Handle a, Handle b) {
    int bigger = b.gt(a);
    if (bigger < 0) return Ref();
    return new_ref(bigger ? b : a);
}

[[gnu::always_inline]] inline Ref min(Handle a, Handle b) {
    int smaller = b.lt(a);
    if (smaller < 0) return Ref();
    return new_ref(smaller ? b : a);
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::truth() const {
    if (!ptr()) return -1;
    if (ptr() == Py_True || ptr() == Py_False || ptr() == Py_None) return ptr() == Py_True;
    if (PyUnicode_CheckExact(ptr())) return PyUnicode_GET_LENGTH(ptr()) != 0;
    return PyObject_IsTrue(ptr());
}

template <class Self>
inline int Api<Self>::startswith(Handle prefix) const {
    if (!ptr() || !prefix) return -1;
    if (PyUnicode_CheckExact(ptr()) && PyUnicode_CheckExact(prefix)) return str_startswith(ptr(), prefix);
    return method(startswith_name, prefix).truth();
}

// A constant's UTF-8 text matches an ASCII str byte for byte, or not at all.
template <class Self>
[[gnu::always_inline]] inline int Api<Self>::startswith(const Constant &prefix) const {
    std::string_view text = prefix.text();
    if (ptr() && PyUnicode_CheckExact(ptr()) && PyUnicode_IS_COMPACT_ASCII(ptr()) && !text.empty()) {
        if (PyUnicode_GET_LENGTH(ptr()) < static_cast<Py_ssize_t>(text.size())) return 0;
        return same_bytes(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(ptr())), text.data(), text.size());
    }
    return startswith(Handle(prefix));
}

template <class Self>
inline Ref Api<Self>::round(Handle ndigits) const {
    return ptr() && ndigits ? round_number(ptr(), ndigits) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::str() const {
    return ptr() ? steal(PyObject_Str(ptr())) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::to_int() const {
    if (!ptr()) return Ref();
    if (PyLong_CheckExact(ptr())) return new_ref(ptr());
    long long value;
    if (plain_digits(ptr(), &value)) return new_int(value);
    return steal(PyNumber_Long(ptr()));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::to_float() const {
    if (!ptr()) return Ref();
    if (PyFloat_CheckExact(ptr())) return new_ref(ptr());
    long long x;
    if (machine_int(ptr(), &x)) return new_float(static_cast<double>(x));
    return steal(PyNumber_Float(ptr()));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::format(PyObject *spec) const {
    return ptr() ? steal(PyObject_Format(ptr(), spec)) : Ref();
}

// ---------------------------------------------------------------------------
// Loops and containers

// The next item of `for item in iterator`: null at the end of the loop, and
// also when `iterator` is null or the step fails, with the error set; the
// loop tells them apart by `PyErr_Occurred()` once it ends.
inline Ref next(Handle iterator) { return iterator ? steal(PyIter_Next(iterator)) : Ref(); }

// `first, second = item`, with the host's unpacking errors.
bool unpack(Handle item, Ref &first, Ref &second);

// `for item in iterable:` — `next()` gives each item, then null at the end
// of the loop or when a step failed; `failed()` tells which, once it ends.
// An exact list or tuple is walked by index, the length read again at
// every step, as their own iterators do.
class Loop {
public:
    explicit Loop(Handle iterable) {
        if (iterable && (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)))
            sequence_ = new_ref(iterable);
        else
            iterator_ = iterable.iter();
    }
    [[gnu::always_inline]] Ref next() {
        if (!sequence_) {
            Ref item = kr::next(iterator_);
            if (!item) failed_ = PyErr_Occurred() != nullptr;
            return item;
        }
        PyObject *items = sequence_.get();
        if (index_ >= Py_SIZE(items)) return Ref();
        return new_ref(PyList_CheckExact(items) ? PyList_GET_ITEM(items, index_++) : PyTuple_GET_ITEM(items, index_++));
    }
    bool failed() const { return failed_; }

private:
    Ref sequence_;
    Ref iterator_;
    Py_ssize_t index_ = 0;
    bool failed_ = false;
};

// `for key, value in mapping.items():` — an exact dict walked in place,
// with the checks the host's own iterator makes of a dict that changes
// under the loop; any other mapping through its `items()` and unpacking.
class ItemsLoop {
public:
    explicit ItemsLoop(Ref mapping);
    bool next(Ref &key, Ref &value);
    bool failed() const { return failed_; }

private:
    bool fail() {
        failed_ = true;
        return false;
    }
    Ref mapping_;
    bool exact_dict_ = false;
    bool failed_ = false;
    Ref iterator_;  // for a mapping other than an exact dict
    Py_ssize_t size_ = 0, position_ = 0, seen_ = 0;
};

inline ItemsLoop::ItemsLoop(Ref mapping) : mapping_(std::move(mapping)) {
    exact_dict_ = mapping_ && PyDict_CheckExact(mapping_.get());
    if (exact_dict_)
        size_ = PyDict_GET_SIZE(mapping_.get());
    else
        iterator_ = mapping_.method(items_name).iter();
}

[[gnu::always_inline]] inline bool ItemsLoop::next(Ref &key, Ref &value) {
    if (!exact_dict_) {
        Ref item = kr::next(iterator_);
        if (!item) return PyErr_Occurred() ? fail() : false;
        return unpack(item, key, value) || fail();
    }
    if (PyDict_GET_SIZE(mapping_.get()) != size_) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return fail();
    }
    PyObject *k, *v;
    if (!PyDict_Next(mapping_.get(), &position_, &k, &v)) return false;
    if (++seen_ > size_) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return fail();
    }
    key = new_ref(k);
    value = new_ref(v);
    return true;
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::iter() const {
    return ptr() ? steal(PyObject_GetIter(ptr())) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::len() const {
    Py_ssize_t size = ptr() ? PyObject_Size(ptr()) : -1;
    return size < 0 ? Ref() : steal(PyLong_FromSsize_t(size));
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::repr() const {
    return ptr() ? steal(PyObject_Repr(ptr())) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::times(Handle other) const {
    if (!ptr() || !other) return Ref();
    if (PyFloat_CheckExact(ptr()) && PyFloat_CheckExact(other)) {
        return new_float(PyFloat_AS_DOUBLE(ptr()) * PyFloat_AS_DOUBLE(other.get()));
    }
    return steal(PyNumber_Multiply(ptr(), other));
}

template <class Self>
[[gnu::always_inline]] inline int Api<Self>::contains(Handle other) const {
    return ptr() && other ? PySequence_Contains(ptr(), other) : -1;
}

template <class Self>
inline bool Api<Self>::del_item(Py_ssize_t index) const {
    if (!ptr()) return false;
    if (PyList_CheckExact(ptr())) return PySequence_DelItem(ptr(), index) == 0;
    Ref key = new_int(index);
    return key && PyObject_DelItem(ptr(), key.get()) == 0;
}

template <class Self>
[[gnu::always_inline]] inline bool Api<Self>::append(Handle item) const {
    if (!ptr() || !item) return false;
    if (PyList_CheckExact(ptr())) return list_append(ptr(), item) == 0;
    return bool(method(append_name, item));
}

}  // namespace kr
