// kelvra_runtime.core.runtime.spawn: child-run dispatch — the dispatcher
// protocol, the child result shape and the in-memory dispatcher.

#include <cstring>

#include "common/frame.hpp"
#include "spawn_decl.hpp"

namespace {

using kr::Ref;
using kr::steal;

kr::Constant str_child_runner{"_child_runner"};
kr::Constant str_pending{"_pending"};
kr::Constant str_default_noop_child_runner{"_default_noop_child_runner"};
kr::Constant str_child_result{"ChildResult"};
kr::Constant str_child_run_id{"child_run_id"};
kr::Constant str_spec{"spec"};
kr::Constant str_output{"output"};
kr::Constant str_error{"error"};
kr::Constant str_cost_usd{"cost_usd"};
kr::Constant str_tokens{"tokens"};
kr::Constant str_duration_ms{"duration_ms"};
kr::Constant str_to_dict{"to_dict"};
kr::Constant str_agent{"agent"};
kr::Constant str_noop{"_noop"};
kr::Constant str_get{"get"};
kr::Constant str_setdefault{"setdefault"};
kr::Constant str_pop{"pop"};
kr::Constant str_first_success{"first_success"};
kr::Constant str_any{"any"};
kr::Constant str_empty{""};

// The keywords of a ChildResult call, and the zeros it passes: made once,
// like the constants of a compiled call site.
const char *const child_result_names[] = {"child_run_id", "spec",   "output",     "error",
                                          "cost_usd",     "tokens", "duration_ms"};
kr::Constant child_result_keywords{child_result_names};
kr::Constant float_zero{[] { return PyFloat_FromDouble(0.0); }};
kr::Constant int_zero{[] { return PyLong_FromLong(0); }};
// A dict with the keywords in order, mapped to None or to their zero.
kr::Constant child_result_template{[]() -> PyObject * {
    Ref keys = steal(PyDict_New());
    if (!keys) return nullptr;
    PyObject *values[] = {Py_None, Py_None, Py_None, Py_None, float_zero, int_zero, float_zero};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(child_result_keywords.get()); i++) {
        if (PyDict_SetItem(keys.get(), PyTuple_GET_ITEM(child_result_keywords.get(), i), values[i]) < 0) {
            return nullptr;
        }
    }
    return keys.release();
}};

// ---------------------------------------------------------------------------
// Helpers

// `spec.to_dict()`
PyObject *spec_to_dict(PyObject *spec) { return kr::call_method(str_to_dict, spec); }

// Whether calling `cls` runs dict's own construction: `type.__call__`,
// then dict's `__new__` and `__init__`.
bool constructs_as_dict(PyObject *cls) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    return type->tp_new == PyDict_Type.tp_new && type->tp_init == PyDict_Type.tp_init;
}

// `cls(child_run_id=..., spec=..., output=..., error=..., cost_usd=0.0,
// tokens=0, duration_ms=0.0)`, `cls` being the module's ChildResult.
PyObject *call_child_result(PyObject *cls, PyObject *child_run_id, PyObject *spec, PyObject *output, PyObject *error) {
    if (constructs_as_dict(cls)) {
        // dict's __init__ copies the keyword dict into the new instance;
        // copying the template and setting the four values gives the same
        // dict without making the keyword dict.
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
        Ref no_args = steal(PyTuple_New(0));
        Ref result = no_args ? steal(type->tp_new(type, no_args.get(), nullptr)) : Ref();
        if (!result || PyDict_Merge(result.get(), child_result_template, 1) < 0 ||
            PyDict_SetItem(result.get(), str_child_run_id, child_run_id) < 0 ||
            PyDict_SetItem(result.get(), str_spec, spec) < 0 || PyDict_SetItem(result.get(), str_output, output) < 0 ||
            PyDict_SetItem(result.get(), str_error, error) < 0) {
            return nullptr;
        }
        return result.release();
    }
    return kr::call_with_keywords(cls, child_result_keywords, child_run_id, spec, output, error, float_zero, int_zero,
                                  float_zero);
}

// `result.get("output") is not None`
int has_output(PyObject *result) {
    if (PyDict_CheckExact(result)) {
        PyObject *output = PyDict_GetItemWithError(result, str_output);
        if (output == nullptr) return PyErr_Occurred() ? -1 : 0;
        return output != Py_None;
    }
    Ref output = steal(kr::call_method(str_get, result, str_output));
    if (!output) return -1;
    return output.get() != Py_None;
}

// The signature shared by PyDict_GetItemRef and PyDict_Pop.
using DictTake = int (*)(PyObject *dict, PyObject *key, PyObject **result);

// `mapping.<method>(key, {})`, `method` being "get" (`take` PyDict_GetItemRef)
// or "pop" (PyDict_Pop).  An exact dict is asked directly; the fresh
// default is only seen when it is returned, so it is made only then, and
// `*unseen` (if given) says that the result is that default.
PyObject *take_or_empty(PyObject *mapping, PyObject *method, DictTake take, PyObject *key, bool *unseen = nullptr) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *found;
        int present = take(mapping, key, &found);
        if (present < 0) return nullptr;
        if (present) return found;
        if (unseen != nullptr) *unseen = true;
        return PyDict_New();
    }
    Ref fresh = steal(PyDict_New());
    if (!fresh) return nullptr;
    return kr::call_method(method, mapping, key, fresh.get());
}

// ---------------------------------------------------------------------------
// The in-memory dispatcher

kr::Result body::InMemorySpawnDispatcher::init(kr::Call &call, kr::Handle self, kr::Handle child_runner) {
    int given = PyObject_IsTrue(child_runner);
    if (given < 0) return call.fail(line::set_runner);
    Ref runner = given ? kr::new_ref(child_runner) : steal(kr::global(call.globals(), str_default_noop_child_runner));
    if (!runner || kr::set_attr(self, str_child_runner, runner.get()) < 0) return call.fail(line::set_runner);
    Ref pending = steal(PyDict_New());
    if (!pending || kr::set_attr(self, str_pending, pending.get()) < 0) return call.fail(line::set_pending);
    Py_RETURN_NONE;
}

// enqueue_children's arguments, in parameter order.
enum EnqueueArg : std::size_t { kSelf, kParentRunId, kParentResumeKey, kSpecs, kReturnWhen };

// What enqueue_children keeps across the await of a child's runner.
struct state::InMemorySpawnDispatcher::enqueue_children {
    Ref results;            // `results`: child id -> result
    Ref child_ids;          // `child_ids`
    Ref child_id;           // the current child's id
    Py_ssize_t index = 0;   // the current child's index in `specs`
    bool awaiting = false;  // suspended in the current child's runner

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(results.get());
        Py_VISIT(child_ids.get());
        Py_VISIT(child_id.get());
        return 0;
    }
};
using Dispatch = state::InMemorySpawnDispatcher::enqueue_children;

// The ChildSpec being dispatched.  It is borrowed from `specs`, a
// tuple that the coroutine owns, so it lives as long as the coroutine.
PyObject *current_spec(kr::Coroutine &co, const Dispatch &d) { return PyTuple_GET_ITEM(co[kSpecs], d.index); }

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

// `child_id = ...` and `child_ids.append(child_id)`.
int mint_child_id(kr::Coroutine &co, Dispatch &d) {
    d.child_id = steal(child_run_id(co[kParentRunId], co[kParentResumeKey], d.index));
    if (!d.child_id) {
        co.fail(line::mint_id);
        return -1;
    }
    if (kr::list_append(d.child_ids.get(), d.child_id.get()) < 0) {
        co.fail(line::append_id);
        return -1;
    }
    return 0;
}

// `await self._child_runner(spec)`: the suspension marker when the step
// must suspend; otherwise null, with `*result` set to the awaited result,
// or left empty with the protected step's error set.
PyObject *await_child(kr::Coroutine &co, const Dispatch &d, Ref *result) {
    Ref runner = steal(kr::get_attr(co[kSelf], str_child_runner));
    if (!runner) return nullptr;
    return co.await_call(runner.get(), current_spec(co, d), line::await_child, result);
}

// `result["child_run_id"] = child_id; result["spec"] = spec.to_dict()`,
// the rest of the protected step; `*line` names the failing statement.
int label_result(PyObject *result, PyObject *child_id, PyObject *spec, int *line) {
    *line = line::set_child_id;
    if (PyObject_SetItem(result, str_child_run_id, child_id) < 0) return -1;
    *line = line::set_spec;
    Ref spec_dict = steal(spec_to_dict(spec));
    if (!spec_dict) return -1;
    return PyObject_SetItem(result, str_spec, spec_dict.get());
}

PyObject *build_failure_result(kr::Coroutine &co, PyObject *spec, PyObject *child_id, PyObject *exc) {
    Ref cls = steal(kr::global(co.globals(), str_child_result));
    if (!cls) return co.fail(line::failure_result);
    Ref spec_dict = steal(spec_to_dict(spec));
    if (!spec_dict) return co.fail(line::failure_spec);
    Ref error = steal(PyObject_Str(exc));
    if (!error) return co.fail(line::failure_error);
    PyObject *result = call_child_result(cls.get(), child_id, spec_dict.get(), Py_None, error.get());
    return result ? result : co.fail(line::failure_result);
}

// The failure mapping of a child whose protected step raised the error
// that is set.  As in an `except Exception as exc:` block, `exc` is the
// exception being handled meanwhile, so errors raised while the mapping is
// built carry it as their context.
PyObject *failure_result(kr::Coroutine &co, PyObject *spec, PyObject *child_id) {
    Ref exc = steal(PyErr_GetRaisedException());
    Ref outer = steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    PyObject *result = build_failure_result(co, spec, child_id, exc.get());
    PyErr_SetHandledException(outer.get());
    return result;
}

// Finishes the current child from what its runner's awaitable returned
// (null: the protected step raised): labels or replaces the result, stores
// it, and applies the stop rules.  Returns 1 to stop dispatching, 0 to go
// on, -1 on error.
int finish_child(kr::Coroutine &co, const Dispatch &d, PyObject *awaited) {
    PyObject *spec = current_spec(co, d);
    PyObject *child_id = d.child_id.get();
    int line = line::await_child;
    Ref result = kr::new_ref(awaited);
    if (result && label_result(result.get(), child_id, spec, &line) < 0) result.reset();
    if (!result) {
        // Cancellation, KeyboardInterrupt, SystemExit and GeneratorExit
        // are not the child's failure: they end the whole call.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            co.fail(line);
            return -1;
        }
        result = steal(failure_result(co, spec, child_id));
        if (!result) return -1;
    }
    if (PyDict_SetItem(d.results.get(), child_id, result.get()) < 0) {
        co.fail(line::store_result);
        return -1;
    }
    int stop = kr::compare(co[kReturnWhen], Py_EQ, str_first_success);
    if (stop > 0) stop = has_output(result.get());
    if (stop < 0) {
        co.fail(line::first_success);
        return -1;
    }
    if (stop) return 1;
    stop = kr::compare(co[kReturnWhen], Py_EQ, str_any);
    if (stop < 0) co.fail(line::any);
    return stop;
}

// `self._pending.setdefault(parent_run_id, {})[parent_resume_key] = results`,
// then the call completes with `child_ids`.
PyObject *store_results(kr::Coroutine &co, Dispatch &d) {
    Ref pending = steal(kr::get_attr(co[kSelf], str_pending));
    if (!pending) return co.fail(line::store_results);
    Ref fresh = steal(PyDict_New());
    if (!fresh) return co.fail(line::store_results);
    Ref per_parent;
    if (PyDict_CheckExact(pending.get())) {
        PyObject *found;
        if (PyDict_SetDefaultRef(pending.get(), co[kParentRunId], fresh.get(), &found) < 0) {
            return co.fail(line::store_results);
        }
        per_parent = steal(found);
    }
    else {
        per_parent = steal(kr::call_method(str_setdefault, pending.get(), co[kParentRunId], fresh.get()));
        if (!per_parent) return co.fail(line::store_results);
    }
    if (PyObject_SetItem(per_parent.get(), co[kParentResumeKey], d.results.get()) < 0) {
        return co.fail(line::store_results);
    }
    return d.child_ids.release();
}

// Children run one after another: each runner's awaitable is awaited to
// the end (through every suspension it makes) before the next id is minted.
// A step starts at the top, or, after an await, with the awaited child.
PyObject *body::InMemorySpawnDispatcher::enqueue_children(kr::Coroutine &co, PyObject *sent) {
    Dispatch &d = co.state<Dispatch>();
    if (!d.awaiting) {
        d.results = steal(PyDict_New());
        if (!d.results) return co.fail(line::results);
        d.child_ids = steal(PyList_New(0));
        if (!d.child_ids) return co.fail(line::child_ids);
    }
    else {
        d.awaiting = false;
        int stop = finish_child(co, d, sent);
        if (stop < 0) return nullptr;
        if (stop) return store_results(co, d);
        d.index++;
    }
    for (; d.index < PyTuple_GET_SIZE(co[kSpecs]); d.index++) {
        if (mint_child_id(co, d) < 0) return nullptr;
        Ref result;
        if (PyObject *suspended = await_child(co, d, &result)) {
            d.awaiting = true;
            return suspended;
        }
        int stop = finish_child(co, d, result.get());
        if (stop < 0) return nullptr;
        if (stop) break;
    }
    return store_results(co, d);
}

// `self._pending.get(parent_run_id, {}).pop(resume_key, {})`, which must
// be a dict or None.
kr::Result body::InMemorySpawnDispatcher::collect_results(kr::Call &call, kr::Handle self, kr::Handle parent_run_id,
                                                          kr::Handle resume_key) {
    Ref pending = steal(kr::get_attr(call[0], str_pending));
    if (!pending) return call.fail(line::pop_results);
    bool unseen = false;
    Ref per_parent = steal(take_or_empty(pending.get(), str_get, PyDict_GetItemRef, call[1], &unseen));
    if (!per_parent) return call.fail(line::pop_results);
    // Popping from a default nobody else has seen gives a fresh empty dict,
    // which that default itself is.
    Ref results = unseen ? std::move(per_parent) : steal(take_or_empty(per_parent.get(), str_pop, PyDict_Pop, call[2]));
    if (!results) return call.fail(line::pop_results);
    if (!PyDict_CheckExact(results.get()) && results.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "dict", Py_TYPE(results.get())->tp_name);
        return call.fail(line::pop_results);
    }
    return results.release();
}

// ---------------------------------------------------------------------------
// The default child runner

// The default runner's result for `spec`; `*line` names a failing statement.
PyObject *noop_child_result(PyObject *globals, PyObject *spec, int *line) {
    *line = line::noop_result;
    Ref cls = steal(kr::global(globals, str_child_result));
    if (!cls) return nullptr;
    *line = line::noop_spec;
    Ref spec_dict = steal(spec_to_dict(spec));
    if (!spec_dict) return nullptr;
    *line = line::noop_output;
    Ref agent = steal(kr::get_attr(spec, str_agent));
    if (!agent) return nullptr;
    Ref output = steal(PyDict_New());
    if (!output || PyDict_SetItem(output.get(), str_noop, Py_True) < 0 ||
        PyDict_SetItem(output.get(), str_agent, agent.get()) < 0) {
        return nullptr;
    }
    *line = line::noop_result;
    return call_child_result(cls.get(), str_empty, spec_dict.get(), output.get(), Py_None);
}

kr::Result body::_default_noop_child_runner(kr::Call &call, kr::Handle spec) {
    int line = 0;
    PyObject *result = noop_child_result(call.globals(), call[0], &line);
    return result ? result : call.fail(line);
}

}  // namespace

#include "spawn_tables.hpp"
