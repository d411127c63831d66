// What tools listening through the host's monitoring (sys.monitoring), such
// as cProfile, see of a call of ours: the events a Python function's call
// fires, with the code object named as the rendering's function, so that
// they list our functions as they list the rendering's.  Only calls made
// while such a tool listens come here (host::calls_watched); the legacy
// hooks' tools are left out of every event (common/host/host.hpp says why).

#include "common/internal.hpp"

namespace kr {

namespace {

// The host's events, each at the place of its state among the function's.
constexpr std::uint8_t monitored_events[kMonitoredEvents] = {
    PY_MONITORING_EVENT_PY_START,  PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_THROW,
    PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_YIELD,  PY_MONITORING_EVENT_PY_UNWIND,
};
enum StateIndex : std::size_t { start, resume, thrown, returned, yielded, unwound };

}  // namespace

// Every event is at offset 0, the code object's first instruction, which
// stands at the def line.
int fire_entry(FunctionObject *f, Entry entry) {
    if (f->monitored_code == nullptr) {
        f->monitored_code = rendering_code(f);
        if (f->monitored_code == nullptr) {
            // No call of the function entered a scope yet: with every state
            // off, this call's exit fires nothing, and the next call's entry
            // tries again.
            for (PyMonitoringState &state : f->monitoring) state.active = 0;
            f->monitoring_version = 0;
            return -1;
        }
    }
    if (host::enter_monitoring_scope(f->monitoring, &f->monitoring_version, monitored_events) < 0) return -1;
    PyObject *code = f->monitored_code;
    if (entry == Entry::Resume) return PyMonitoring_FirePyResumeEvent(&f->monitoring[resume], code, 0);
    if (entry == Entry::Throw) return PyMonitoring_FirePyThrowEvent(&f->monitoring[thrown], code, 0);
    return PyMonitoring_FirePyStartEvent(&f->monitoring[start], code, 0);
}

PyObject *fire_exit(FunctionObject *f, PyObject *result) {
    PyObject *code = f->monitored_code;
    if (result != nullptr) {
        if (PyMonitoring_FirePyReturnEvent(&f->monitoring[returned], code, 0, result) == 0) {
            PyMonitoring_ExitScope();
            return result;
        }
        Py_DECREF(result);
    }
    // Fired with the error set; a callback's failure replaces it.
    PyMonitoring_FirePyUnwindEvent(&f->monitoring[unwound], code, 0);
    PyMonitoring_ExitScope();
    return nullptr;
}

int fire_yield(FunctionObject *f, PyObject *value) {
    if (PyMonitoring_FirePyYieldEvent(&f->monitoring[yielded], f->monitored_code, 0, value) < 0) {
        return -1;
    }
    return PyMonitoring_ExitScope();
}

}  // namespace kr
