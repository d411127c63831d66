// Whether the running interpreter is one whose layouts the module was built
// for, found once at its first exec: the version first, then a probe of
// each fast path's read against what the host's own API gives for the same
// object.  And the general protocol of the reads that have one to take.

#include <cstdlib>
#include <string_view>

#include "common/host/host.hpp"

namespace kr::host {

// ---------------------------------------------------------------------------
// The check

// The host keeps its public structures' layout within a minor version's
// final releases; a pre-release may change any layout in the next one, so
// it must be the build's own.  Private layouts may change in any release:
// the probes look at those.
static bool runs_the_build_version() {
#ifdef KR_HOST_LAYOUT_KNOWN
    unsigned long running = Py_Version;
    if ((running >> 16) != (PY_VERSION_HEX >> 16)) return false;
    bool both_final = ((running >> 4) & 0xF) == PY_RELEASE_LEVEL_FINAL && PY_RELEASE_LEVEL == PY_RELEASE_LEVEL_FINAL;
    return both_final || running == PY_VERSION_HEX;
#else
    return false;
#endif
}

// sys.<name>(), or sys.<name>(argument): a new reference, or null with the
// error set.
static PyObject *call_sys(const char *name, PyObject *argument) {
    // Borrowed, and null without an error when sys has no such attribute.
    PyObject *function = Py_XNewRef(PySys_GetObject(name));
    if (function == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "lost sys.%s", name);
        return nullptr;
    }
    PyObject *result = argument ? PyObject_CallOneArg(function, argument) : PyObject_CallNoArgs(function);
    Py_DECREF(function);
    return result;
}

// Each probe: 1 when the read finds what the host's own API gives, 0 when
// it does not, -1 with the error set.

// A list grown by the host's appends: the room read is what the host's
// list.__sizeof__ counts, and an item put in that room, as list_append
// does, is the item the host then finds at the list's end.
static int list_room_agrees(PyObject *list) {
    for (int i = 0; i < 5; i++) {
        if (PyList_Append(list, Py_None) < 0) return -1;
    }
    PyObject *counted = PyObject_CallMethod(list, "__sizeof__", nullptr);
    if (counted == nullptr) return -1;
    Py_ssize_t bytes = PyLong_AsSsize_t(counted);
    Py_DECREF(counted);
    if (bytes == -1 && PyErr_Occurred()) return -1;
    Py_ssize_t size = PyList_GET_SIZE(list), room = layout::list_allocated(list);
    if (room <= size || bytes != Py_TYPE(list)->tp_basicsize + room * static_cast<Py_ssize_t>(sizeof(PyObject *))) {
        return 0;
    }
    PyList_SET_ITEM(list, size, Py_NewRef(Py_None));
    Py_SET_SIZE(list, size + 1);
    return PyList_Size(list) == size + 1 && PyList_GetItem(list, size) == Py_None;
}

static int probe_list_room() {
    PyObject *list = PyList_New(0);
    if (list == nullptr) return -1;
    int agrees = list_room_agrees(list);
    Py_DECREF(list);
    return agrees;
}

// A float the host has just made: only its maker references it, and a sum
// put into its value is the value the host then reads.
static int probe_float_in_place() {
    PyObject *value = PyFloat_FromDouble(0.5);
    if (value == nullptr) return -1;
    bool agrees = Py_REFCNT(value) == 1 && layout::float_value(value) == 0.5;
    if (agrees) layout::float_value(value) += 2.25;
    agrees = agrees && PyFloat_AsDouble(value) == 2.75;
    Py_DECREF(value);
    return agrees;
}

// A code object of the host's with CO_ITERABLE_COROUTINE among its flags:
// the flags and names read are its `co_flags`, `co_filename` and `co_name`.
static int code_fields_agree(PyObject *code) {
    auto *fields = reinterpret_cast<PyCodeObject *>(code);
    PyObject *flags = PyObject_GetAttrString(code, "co_flags");
    if (flags == nullptr) return -1;
    long expected = PyLong_AsLong(flags);
    Py_DECREF(flags);
    if (expected == -1 && PyErr_Occurred()) return -1;
    PyObject *filename = PyObject_GetAttrString(code, "co_filename");
    PyObject *name = filename ? PyObject_GetAttrString(code, "co_name") : nullptr;
    bool agrees = (expected & CO_ITERABLE_COROUTINE) != 0 && layout::code_flags(fields) == expected &&
                  layout::code_filename(fields) == filename && layout::code_name(fields) == name;
    Py_XDECREF(filename);
    Py_XDECREF(name);
    return name != nullptr ? agrees : -1;
}

static int probe_code_fields() {
    auto *empty = reinterpret_cast<PyObject *>(PyCode_NewEmpty("probe.py", "probe", 1));
    if (empty == nullptr) return -1;
    PyObject *replace = PyObject_GetAttrString(empty, "replace");
    Py_DECREF(empty);
    if (replace == nullptr) return -1;
    PyObject *no_arguments = PyTuple_New(0);
    PyObject *changes = no_arguments ? Py_BuildValue("{s:i}", "co_flags", CO_ITERABLE_COROUTINE) : nullptr;
    PyObject *code = changes ? PyObject_Call(replace, no_arguments, changes) : nullptr;
    Py_XDECREF(no_arguments);
    Py_XDECREF(changes);
    Py_DECREF(replace);
    if (code == nullptr) return -1;
    int agrees = code_fields_agree(code);
    Py_DECREF(code);
    return agrees;
}

static int set_origin_tracking_depth(int depth) {
    PyObject *value = PyLong_FromLong(depth);
    PyObject *done = value ? call_sys("set_coroutine_origin_tracking_depth", value) : nullptr;
    Py_XDECREF(value);
    if (done == nullptr) return -1;
    Py_DECREF(done);
    return 0;
}

// The thread's depth, set through sys to one more than it was, then back.
static int probe_origin_tracking_depth() {
    int previous = origin_tracking_depth_from_sys();
    if (previous < 0 || set_origin_tracking_depth(previous + 1) < 0) return -1;
    bool agrees = layout::thread_origin_tracking_depth() == previous + 1;
    if (set_origin_tracking_depth(previous) < 0) return -1;
    return agrees && layout::thread_origin_tracking_depth() == previous;
}

struct Probe {
    const char *path;
    bool FastPaths::*on;
    int (*run)();
};

// The fast paths, by the names the report gives them.
static const Probe probes[] = {
    {"inline_fields", &FastPaths::inline_fields, probe_inline_fields},
    {"list_room", &FastPaths::list_room, probe_list_room},
    {"float_in_place", &FastPaths::float_in_place, probe_float_in_place},
    {"code_fields", &FastPaths::code_fields, probe_code_fields},
    {"origin_tracking_depth", &FastPaths::origin_tracking_depth, probe_origin_tracking_depth},
};

// Whether KELVRA_RUNTIME_FAIL_HOST_PROBES, a list of paths separated by
// commas, names `path`: its probe then counts as failed, so that the tests
// can run the general protocol under a host the build knows.
static bool made_to_fail(std::string_view path) {
    const char *names = std::getenv("KELVRA_RUNTIME_FAIL_HOST_PROBES");
    for (std::string_view rest = names ? names : ""; !rest.empty();) {
        std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == path) return true;
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    return false;
}

// The layout cannot change within a process: the probes run at the first
// exec that gets through them, and a later exec (a retried import) keeps
// what they found.
int check_layout() {
    static bool checked = false;
    if (checked) return 0;
    FastPaths found;
    bool known = runs_the_build_version();
    for (const Probe &probe : probes) {
        int agrees = known ? probe.run() : 0;
        if (agrees < 0) return -1;
        found.*probe.on = agrees == 1 && !made_to_fail(probe.path);
    }
    fast_paths = found;
    checked = true;
    return 0;
}

PyObject *fast_path_report() {
    PyObject *report = PyDict_New();
    if (report == nullptr) return nullptr;
    for (const Probe &probe : probes) {
        if (PyDict_SetItemString(report, probe.path, fast_paths.*probe.on ? Py_True : Py_False) < 0) {
            Py_DECREF(report);
            return nullptr;
        }
    }
    PyObject *view = PyDictProxy_New(report);
    Py_DECREF(report);
    return view;
}

// ---------------------------------------------------------------------------
// The general protocol

int is_iterable_coroutine(PyCodeObject *code) {
    if (fast_paths.code_fields) return (layout::code_flags(code) & CO_ITERABLE_COROUTINE) != 0;
    PyObject *flags = PyObject_GetAttrString(reinterpret_cast<PyObject *>(code), "co_flags");
    if (flags == nullptr) return -1;
    long value = PyLong_AsLong(flags);
    Py_DECREF(flags);
    if (value == -1 && PyErr_Occurred()) return -1;
    return (value & CO_ITERABLE_COROUTINE) != 0;
}

PyObject *origin_entry(PyCodeObject *code, int line) {
    if (fast_paths.code_fields) {
        return Py_BuildValue("(OiO)", layout::code_filename(code), line, layout::code_name(code));
    }
    auto *object = reinterpret_cast<PyObject *>(code);
    PyObject *filename = PyObject_GetAttrString(object, "co_filename");
    PyObject *name = filename ? PyObject_GetAttrString(object, "co_name") : nullptr;
    PyObject *entry = name ? Py_BuildValue("(OiO)", filename, line, name) : nullptr;
    Py_XDECREF(filename);
    Py_XDECREF(name);
    return entry;
}

int origin_tracking_depth_from_sys() {
    PyObject *depth = call_sys("get_coroutine_origin_tracking_depth", nullptr);
    if (depth == nullptr) return -1;
    int value = PyLong_AsInt(depth);
    Py_DECREF(depth);
    if (value < 0 && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "the coroutine origin tracking depth is negative");
    }
    return value < 0 ? -1 : value;
}

}  // namespace kr::host
