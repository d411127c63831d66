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
    // `str(self)`, `int(self)`, `float(self)`, `format(self, spec)`
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

// One fragment of an f-string: fixed ASCII text, then, if given,
// `format(value, spec)`.
struct Piece {
    Piece(const char *text) noexcept : text(text) {}
    Piece(const char *text, Handle value, PyObject *spec) noexcept
        : text(text), value(value.get()), spec(spec), formats(true) {}

    const char *text;
    PyObject *value = nullptr;
    PyObject *spec = nullptr;
    bool formats = false;
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
[[gnu::always_inline]] inline Ref Api<Self>::str() const {
    return ptr() ? steal(PyObject_Str(ptr())) : Ref();
}

template <class Self>
[[gnu::always_inline]] inline Ref Api<Self>::to_int() const {
    return ptr() ? steal(PyNumber_Long(ptr())) : Ref();
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
[[gnu::always_inline]] inline bool Api<Self>::append(Handle item) const {
    if (!ptr() || !item) return false;
    if (PyList_CheckExact(ptr())) return list_append(ptr(), item) == 0;
    return bool(method(append_name, item));
}

}  // namespace kr
