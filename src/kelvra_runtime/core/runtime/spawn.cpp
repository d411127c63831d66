// kelvra_runtime.core.runtime.spawn: child-run dispatch — the dispatcher
// protocol, the child result shape and the in-memory dispatcher.

#include "common/frame.hpp"
#include "spawn_decl.hpp"

namespace {

using kr::Ref;

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
    kr::Loop each_spec{specs};
    for (Py_ssize_t idx = 0; kr::Held spec{co, each_spec.next()}; idx++) {
        kr::Held child_id{co, kr::fstring({{"inmem-", parent_run_id, nullptr},
                                           {"-", parent_resume_key, nullptr},
                                           {"-", static_cast<long long>(idx)}})};
        if (!child_id) co_return line::mint_id;
        if (kr::list_append(child_ids.get(), child_id.get()) < 0) co_return line::append_id;
        // try:
        kr::Line raised{0};
        Ref result = co_await co.await_call(self.attr(py::str_private_child_runner), spec.get(), line::await_child);
        if (!result)
            raised = line::await_child;
        else if (!result.set_item(py::str_child_run_id, child_id))
            raised = line::set_child_id;
        else if (!result.set_item(py::str_spec, spec.method(py::str_to_dict)))
            raised = line::set_spec;
        if (raised) {
            // except Exception as exc: the others end the call.
            if (!kr::error_is(PyExc_Exception)) co_return raised;
            kr::Handling handling;
            Ref cls = co.global(py::str_ChildResult);
            if (!cls) co_return line::failure_result;
            Ref spec_dict = spec.method(py::str_to_dict);
            if (!spec_dict) co_return line::failure_spec;
            Ref error = handling.exc().str();
            if (!error) co_return line::failure_error;
            result = cls.call_keywords(py::kw_ChildResult, child_id, spec_dict, Py_None, error, py::float_0_0,
                                       py::int_0, py::float_0_0);
            if (!result) co_return line::failure_result;
        }
        if (!results.set_item(child_id, result)) co_return line::store_result;
        int stop = return_when.eq(py::str_first_success);
        if (stop > 0) {
            Ref output = result.get_or(py::str_output, Py_None);
            stop = output ? output.get() != Py_None : -1;
        }
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

kr::Result body::InMemorySpawnDispatcher::collect_results(kr::Call &, kr::Handle self, kr::Handle parent_run_id,
                                                          kr::Handle resume_key) {
    Ref results =
        self.attr(py::str_private_pending).get_or(parent_run_id, kr::new_dict()).pop_or(resume_key, kr::new_dict());
    return {kr::exact_or_none_result(results, &PyDict_Type), line::pop_results};
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
    return {cls.call_keywords(py::kw_ChildResult, py::str_empty, spec_dict, output, Py_None, py::float_0_0, py::int_0,
                              py::float_0_0),
            line::noop_result};
}

}  // namespace

#include "spawn_tables.hpp"
