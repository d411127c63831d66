// The host's private layouts that the frame reads directly, past the
// host's API, for its fast paths: the fields, pinned for each version this
// layer knows, and the operations that read them.  The inline values of
// instances are fields.cpp's.  A new CPython means new pins here and, where
// its layouts moved, new reads in this folder.
#pragma once

#include "common/host/versions.hpp"

#include <cstddef>
#include <type_traits>

namespace kr::host {

// ---------------------------------------------------------------------------
// The fields read, as the known versions' headers have them: a build for a
// version that moves one stops here until its reads are looked at again.

#ifdef KR_HOST_LAYOUT_KNOWN
static_assert(std::is_same_v<decltype(PyListObject::allocated), Py_ssize_t>);
static_assert(offsetof(PyListObject, allocated) == sizeof(PyVarObject) + sizeof(PyObject **));
static_assert(std::is_same_v<decltype(PyFloatObject::ob_fval), double>);
static_assert(offsetof(PyFloatObject, ob_fval) == sizeof(PyObject));
static_assert(std::is_same_v<decltype(PyCodeObject::co_flags), int>);
static_assert(offsetof(PyCodeObject, co_flags) == sizeof(PyVarObject) + 3 * sizeof(PyObject *));
static_assert(offsetof(PyCodeObject, co_filename) ==
              offsetof(PyCodeObject, co_flags) + 12 * sizeof(int) + 2 * sizeof(PyObject *));
static_assert(offsetof(PyCodeObject, co_name) == offsetof(PyCodeObject, co_filename) + sizeof(PyObject *));
static_assert(CO_ITERABLE_COROUTINE == 0x0100);
static_assert(std::is_same_v<decltype(PyThreadState::coroutine_origin_tracking_depth), int>);
// The thread state's offsets as on the 64-bit machines the wheels are for.
#if SIZEOF_VOID_P == 8 && PY_VERSION_HEX < 0x030F0000
static_assert(offsetof(PyThreadState, coroutine_origin_tracking_depth) == 184);
#elif SIZEOF_VOID_P == 8
static_assert(offsetof(PyThreadState, coroutine_origin_tracking_depth) == 208);
#endif
#endif

// ---------------------------------------------------------------------------
// The operations

// How many items the exact list `list` has room for before it must grow.
inline Py_ssize_t list_room(PyObject *list) { return reinterpret_cast<PyListObject *>(list)->allocated; }

// Adds `x` into `value` in place when it is an exact float that only its
// holder references, as the host's own float addition reuses an operand
// no one else holds: nothing can tell it from the new float it stands
// for.  False, and `value` untouched, otherwise.
inline bool add_in_place(PyObject *value, double x) {
    if (!PyFloat_CheckExact(value) || Py_REFCNT(value) != 1) return false;
    reinterpret_cast<PyFloatObject *>(value)->ob_fval += x;
    return true;
}

// Whether `code` is that of a generator function decorated with
// types.coroutine, whose generators may be awaited as they are.
inline bool is_iterable_coroutine(PyCodeObject *code) { return (code->co_flags & CO_ITERABLE_COROUTINE) != 0; }

// The entry of a coroutine's `cr_origin` for a frame running `code` at
// `line`: (file name, line, function name), a new reference, or null with
// the error set.
inline PyObject *origin_entry(PyCodeObject *code, int line) {
    return Py_BuildValue("(OiO)", code->co_filename, line, code->co_name);
}

// The calling thread's coroutine origin tracking depth (how many of the
// calling frames a new coroutine records as its `cr_origin`).
inline int origin_tracking_depth() { return PyThreadState_Get()->coroutine_origin_tracking_depth; }

}  // namespace kr::host
