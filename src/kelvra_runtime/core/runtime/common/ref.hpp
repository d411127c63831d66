// Owning reference to a Python object.
//
// `Ref` owns one strong reference and releases it when it goes out of scope;
// a borrowed reference is a plain `PyObject *`.  Errors are never thrown:
// a null `Ref` means "failed, the Python error is set", as in the C API.
#pragma once

#include <Python.h>

#include <utility>

namespace kr {

class Ref {
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

}  // namespace kr
