// The host's private layouts that the frame reads directly, past the
// host's API, for its fast paths: the fields, pinned for each version this
// layer knows, and the operations that read them, each on only while the
// running interpreter is one whose layout the module was built for.  The
// inline values of instances are fields.cpp's.  A new CPython means new
// pins here and, where its layouts moved, new reads in this folder.
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
// Which fast paths are on

// Each is off until the module's first exec has found the running
// interpreter to be one whose layout the build knows (check_layout); off,
// its operations take the host's general protocol.  Each module links its
// own copy of the frame, and so of these.
struct FastPaths {
    bool inline_fields = false;          // instances' fields in their inline values (fields.cpp)
    bool list_room = false;              // a list's allocated room, for appends in place
    bool float_in_place = false;         // a float's value, for sums in place
    bool code_fields = false;            // a code object's flags, file name and name
    bool origin_tracking_depth = false;  // the thread's coroutine origin tracking depth
};
inline FastPaths fast_paths;

// Sets `fast_paths` at the module's first exec: every path off unless the
// running interpreter is the build's version and each path's probe finds
// what the host's own API gives.  -1 with the error set when a probe fails
// to run.
int check_layout();

// {name: whether it is on} of `fast_paths`, as a read-only mapping; null
// with the error set.
PyObject *fast_path_report();

// Whether the inline-values reads of fields.cpp find what the host's
// attribute protocol keeps: 1 or 0, or -1 with the error set.
int probe_inline_fields();

// ---------------------------------------------------------------------------
// The reads, unconditional: for the operations below and the probes

namespace layout {

inline Py_ssize_t list_allocated(PyObject *list) { return reinterpret_cast<PyListObject *>(list)->allocated; }

inline double &float_value(PyObject *value) { return reinterpret_cast<PyFloatObject *>(value)->ob_fval; }

inline int code_flags(PyCodeObject *code) { return code->co_flags; }

inline PyObject *code_filename(PyCodeObject *code) { return code->co_filename; }

inline PyObject *code_name(PyCodeObject *code) { return code->co_name; }

inline int thread_origin_tracking_depth() { return PyThreadState_Get()->coroutine_origin_tracking_depth; }

}  // namespace layout

// ---------------------------------------------------------------------------
// The operations

// How many items the exact list `list` has room for before it must grow;
// 0 while its layout is not known to be the running host's.
inline Py_ssize_t list_room(PyObject *list) { return fast_paths.list_room ? layout::list_allocated(list) : 0; }

// Adds `x` into `value` in place when it is an exact float that only its
// holder references, as the host's own float addition reuses an operand
// no one else holds: nothing can tell it from the new float it stands
// for.  False, and `value` untouched, otherwise.
inline bool add_in_place(PyObject *value, double x) {
    if (!fast_paths.float_in_place || !PyFloat_CheckExact(value) || Py_REFCNT(value) != 1) return false;
    layout::float_value(value) += x;
    return true;
}

// Whether `code` is that of a generator function decorated with
// types.coroutine, whose generators may be awaited as they are: 1 or 0, or
// -1 with the error set.
int is_iterable_coroutine(PyCodeObject *code);

// The entry of a coroutine's `cr_origin` for a frame running `code` at
// `line`: (file name, line, function name), a new reference, or null with
// the error set.
PyObject *origin_entry(PyCodeObject *code, int line);

// sys.get_coroutine_origin_tracking_depth(): -1 with the error set.
int origin_tracking_depth_from_sys();

// The calling thread's coroutine origin tracking depth (how many of the
// calling frames a new coroutine records as its `cr_origin`); -1 with the
// error set.
inline int coroutine_origin_depth() {
    if (fast_paths.origin_tracking_depth) [[likely]]
        return layout::thread_origin_tracking_depth();
    return origin_tracking_depth_from_sys();
}

}  // namespace kr::host
