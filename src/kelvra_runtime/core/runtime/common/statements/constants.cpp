// The module constants (host.hpp): each registers itself when the shared
// object is loaded, and the module's first exec makes them all.

#include <cstring>
#include <initializer_list>

#include "common/internal.hpp"

namespace kr {

// The module's constants, in declaration order: declarations run when the
// shared object is loaded, before the module is imported.
static Constant *first_constant = nullptr;
static Constant **last_constant = &first_constant;

void Constant::link() noexcept {
    *last_constant = this;
    last_constant = &next_;
}

Constant::Constant(const char *interned) noexcept : text_(interned), text_length_(std::strlen(interned)) { link(); }
Constant::Constant(std::span<const char *const> interned_tuple) noexcept : texts_(interned_tuple) { link(); }
Constant::Constant(PyObject *(*make)()) noexcept : make_(make) { link(); }

PyObject *Constant::make() const {
    if (text_ != nullptr) return PyUnicode_InternFromString(text_);
    if (make_ != nullptr) return make_();
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(texts_.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < texts_.size(); i++) {
        PyObject *name = PyUnicode_InternFromString(texts_[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

Constant str_empty{""};
Constant int_0{[] { return PyLong_FromLong(0); }};
Constant int_1{[] { return PyLong_FromLong(1); }};
Constant float_0_0{[] { return PyFloat_FromDouble(0.0); }};

int Constant::make_all() {
    // A module's own constants may be made from the shared ones, whose
    // place in the list depends on the order in which the linker laid out
    // the units: they come first.
    for (Constant *shared : {&str_empty, &int_0, &int_1, &float_0_0}) {
        if (shared->object_ == nullptr && (shared->object_ = shared->make()) == nullptr) return -1;
    }
    for (Constant *c = first_constant; c != nullptr; c = c->next_) {
        if (c->object_ != nullptr) continue;
        c->object_ = c->make();
        if (c->object_ == nullptr) return -1;
    }
    return 0;
}

}  // namespace kr
