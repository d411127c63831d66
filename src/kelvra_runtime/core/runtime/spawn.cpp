// kelvra_runtime.core.runtime.spawn: child-run dispatch — the dispatcher
// protocol, the child result shape and the in-memory dispatcher.

#include <cstring>

#include "common/frame.hpp"
#include "spawn_decl.hpp"

namespace {

using kr::Ref;
using kr::steal;

// The keywords of a ChildResult call in order, each mapped to None or to
// the zero the call passes.  Made by hand: the rendering writes the call,
// not this dict, which `child_result_as_dict` copies.
kr::Constant child_result_template{[]() -> PyObject * {
    Ref keys = steal(PyDict_New());
    if (!keys) return nullptr;
    PyObject *values[] = {Py_None, Py_None, Py_None, Py_None, py::float_0_0, py::int_0, py::float_0_0};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(py::kw_ChildResult.get()); i++) {
        if (PyDict_SetItem(keys.get(), PyTuple_GET_ITEM(py::kw_ChildResult.get(), i), values[i]) < 0) {
            return nullptr;
        }
    }
    return keys.release();
}};

// ---------------------------------------------------------------------------
// Helpers

// Whether calling `cls` runs dict's own construction: `type.__call__`,
// then dict's `__new__` and `__init__`.
bool constructs_as_dict(PyObject *cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    return type->tp_new == PyDict_Type.tp_new && type->tp_init == PyDict_Type.tp_init;
}

// `cls(child_run_id=..., spec=..., output=..., error=..., cost_usd=0.0,
// tokens=0, duration_ms=0.0)` for a `cls` that constructs as dict: dict's
// __init__ copies the keyword dict into the new instance, so copying the
// template and setting the four values gives the same dict without making
// the keyword dict.
Ref child_result_as_dict(kr::Handle cls, PyObject *child_run_id, kr::Handle spec, kr::Handle output, PyObject *error) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.get());
    Ref no_args = steal(PyTuple_New(0));
    Ref result = no_args ? steal(type->tp_new(type, no_args.get(), nullptr)) : Ref();
    if (!result || PyDict_Merge(result.get(), child_result_template, 1) < 0 ||
        !result.set_item(py::str_child_run_id, child_run_id) || !result.set_item(py::str_spec, spec) ||
        !result.set_item(py::str_output, output) || !result.set_item(py::str_error, error)) {
        return Ref();
    }
    return result;
}

// `cls(child_run_id=..., spec=..., output=..., error=..., cost_usd=0.0,
// tokens=0, duration_ms=0.0)`, `cls` being the module's ChildResult.
PyObject *call_child_result(kr::Handle cls, PyObject *child_run_id, kr::Handle spec, kr::Handle output,
                            PyObject *error) {
    if (constructs_as_dict(cls)) return child_result_as_dict(cls, child_run_id, spec, output, error).release();
    return cls
        .call_keywords(py::kw_ChildResult, child_run_id, spec, output, error, py::float_0_0, py::int_0, py::float_0_0)
        .release();
}

// `result.get("output") is not None`
int has_output(PyObject *result) {
    if (PyDict_CheckExact(result)) {
        PyObject *output = PyDict_GetItemWithError(result, py::str_output);
        if (output == nullptr) return PyErr_Occurred() ? -1 : 0;
        return output != Py_None;
    }
    Ref output = steal(kr::call_method(py::str_get, result, py::str_output));
    if (!output) return -1;
    return output.get() != Py_None;
}

// ---------------------------------------------------------------------------
// The in-memory dispatcher

kr::Result body::InMemorySpawnDispatcher::init(kr::Call &call, kr::Handle self, kr::Handle child_runner) {
    int given = child_runner.truth();
    if (given < 0) return line::set_runner;
    if (!self.set(py::str_private_child_runner,
                  given ? kr::new_ref(child_runner) : call.global(py::str_private_default_noop_child_runner))) {
        return line::set_runner;
    }
    if (!self.set(py::str_private_pending, kr::new_dict())) return line::set_pending;
    return kr::None;
}

// `f"inmem-{parent_run_id}-{parent_resume_key}-{idx}"`.  With ASCII
// names, the usual case, the text is written directly.
PyObject *child_run_id(PyObject *parent_run_id, PyObject *parent_resume_key, Py_ssize_t idx) {
    if (!PyUnicode_IS_ASCII(parent_run_id) || !PyUnicode_IS_ASCII(parent_resume_key)) {
        return PyUnicode_FromFormat("inmem-%U-%U-%zd", parent_run_id, parent_resume_key, idx);
    }
    char digits[24];
    Py_ssize_t ndigits = 0;
    do {
        digits[ndigits++] = static_cast<char>('0' + idx % 10);
        idx /= 10;
    } while (idx > 0);
    Py_ssize_t run_length = PyUnicode_GET_LENGTH(parent_run_id);
    Py_ssize_t key_length = PyUnicode_GET_LENGTH(parent_resume_key);
    PyObject *id = PyUnicode_New(6 + run_length + 1 + key_length + 1 + ndigits, 127);
    if (id == nullptr) return nullptr;
    char *text = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(id));
    std::memcpy(text, "inmem-", 6);
    text += 6;
    std::memcpy(text, PyUnicode_1BYTE_DATA(parent_run_id), static_cast<std::size_t>(run_length));
    text += run_length;
    *text++ = '-';
    std::memcpy(text, PyUnicode_1BYTE_DATA(parent_resume_key), static_cast<std::size_t>(key_length));
    text += key_length;
    *text++ = '-';
    while (ndigits > 0) *text++ = digits[--ndigits];
    return id;
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
    kr::Handle exc() const { return exc_; }

private:
    Ref exc_;
    Ref outer_;
};

// Children run one after another: each runner's awaitable is awaited to
// the end (through every suspension it makes) before the next id is minted.
kr::Task body::InMemorySpawnDispatcher::enqueue_children(kr::Coroutine &co, kr::Handle self, kr::Handle parent_run_id,
                                                         kr::Handle parent_resume_key, kr::Handle specs,
                                                         kr::Handle return_when, kr::Real /*timeout_seconds*/,
                                                         kr::Handle /*group_key*/, kr::Handle /*tenant_id*/,
                                                         kr::Handle /*parent_trace_id*/, kr::Handle /*parent_span_id*/,
                                                         kr::Handle /*parent_sub_user_identity*/) {
    kr::Held results{co, kr::new_dict()};
    if (!results) co_return line::results;
    kr::Held child_ids{co, kr::new_list()};
    if (!child_ids) co_return line::child_ids;
    for (Py_ssize_t idx = 0; idx < PyTuple_GET_SIZE(specs.get()); idx++) {
        kr::Handle spec = PyTuple_GET_ITEM(specs.get(), idx);
        kr::Held child_id{co, steal(child_run_id(parent_run_id, parent_resume_key, idx))};
        if (!child_id) co_return line::mint_id;
        if (kr::list_append(child_ids.get(), child_id.get()) < 0) co_return line::append_id;
        // try:
        kr::Line raised{0};
        Ref result = co_await co.await_call(self.attr(py::str_private_child_runner), spec, line::await_child);
        if (!result)
            raised = line::await_child;
        else if (!result.set_item(py::str_child_run_id, child_id))
            raised = line::set_child_id;
        else if (!result.set_item(py::str_spec, spec.method(py::str_to_dict)))
            raised = line::set_spec;
        if (raised) {
            // except Exception as exc: the others end the call.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return raised;
            Handling handling;
            Ref cls = co.global(py::str_ChildResult);
            if (!cls) co_return line::failure_result;
            Ref spec_dict = spec.method(py::str_to_dict);
            if (!spec_dict) co_return line::failure_spec;
            Ref error = handling.exc().str();
            if (!error) co_return line::failure_error;
            result = steal(call_child_result(cls.get(), child_id.get(), spec_dict.get(), Py_None, error.get()));
            if (!result) co_return line::failure_result;
        }
        if (!results.set_item(child_id, result)) co_return line::store_result;
        int stop = return_when.eq(py::str_first_success);
        if (stop > 0) stop = has_output(result.get());
        if (stop < 0) co_return line::first_success;
        if (stop) break;
        stop = return_when.eq(py::str_any);
        if (stop < 0) co_return line::any;
        if (stop) break;
    }
    Ref per_parent = self.attr(py::str_private_pending).method(py::str_setdefault, parent_run_id, kr::new_dict());
    if (!per_parent.set_item(parent_resume_key, results)) co_return line::store_results;
    co_return child_ids.take();
}

// `self._pending.get(parent_run_id, {}).pop(resume_key, {})`, which must
// be a dict or None.
kr::Result body::InMemorySpawnDispatcher::collect_results(kr::Call &, kr::Handle self, kr::Handle parent_run_id,
                                                          kr::Handle resume_key) {
    Ref results =
        self.attr(py::str_private_pending).get_or(parent_run_id, kr::new_dict()).pop_or(resume_key, kr::new_dict());
    if (!results) return line::pop_results;
    if (!PyDict_CheckExact(results.get()) && results.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "dict", Py_TYPE(results.get())->tp_name);
        return line::pop_results;
    }
    return results;
}

// ---------------------------------------------------------------------------
// The default child runner

kr::Result body::_default_noop_child_runner(kr::Call &call, kr::Handle spec) {
    Ref cls = call.global(py::str_ChildResult);
    if (!cls) return line::noop_result;
    Ref spec_dict = spec.method(py::str_to_dict);
    if (!spec_dict) return line::noop_spec;
    Ref output = kr::new_dict();
    if (!output.set_item(py::str_private_noop, Py_True) || !output.set_item(py::str_agent, spec.attr(py::str_agent))) {
        return line::noop_output;
    }
    return {kr::steal(call_child_result(cls, py::str_empty, spec_dict, output, Py_None)), line::noop_result};
}

}  // namespace

#include "spawn_tables.hpp"
