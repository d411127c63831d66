// Which tools listen to the host's monitoring events (sys.monitoring): the
// interpreter's table of them, and the ids of the legacy hooks' tools, which
// only its internal headers describe, read here alone.  For other versions
// of the host the table stays at zeros, and our calls fire nothing.

#define Py_BUILD_CORE 1
#include <Python.h>

#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
#include "internal/pycore_instruments.h"
#include "internal/pycore_interp.h"
#define KR_MONITORS 1
#endif

#include <type_traits>

#include "common/host/host.hpp"

namespace kr::host {

#ifdef KR_MONITORS

static_assert(legacy_tools == ((1 << PY_MONITORING_SYS_PROFILE_ID) | (1 << PY_MONITORING_SYS_TRACE_ID)));
static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RESUME == 1 &&
              PY_MONITORING_EVENT_PY_RETURN == 2 && PY_MONITORING_EVENT_PY_YIELD == 3);
static_assert(std::is_same_v<decltype(_Py_GlobalMonitors::tools), std::uint8_t[_PY_MONITORING_UNGROUPED_EVENTS]>);
static_assert(_PY_MONITORING_UNGROUPED_EVENTS >= sizeof no_call_events);

// The modules load into one interpreter per process (namespaces/module.cpp),
// whose table stays where it is for as long as the interpreter lives.
void find_call_events() { call_events = &PyInterpreterState_Get()->monitors.tools[PY_MONITORING_EVENT_PY_START]; }

#else

void find_call_events() {}

#endif

int enter_monitoring_scope(PyMonitoringState *states, std::uint64_t *version, std::span<const std::uint8_t> events) {
    if (PyMonitoring_EnterScope(states, version, events.data(), static_cast<Py_ssize_t>(events.size())) < 0) {
        return -1;
    }
    for (std::size_t i = 0; i < events.size(); i++) states[i].active &= static_cast<std::uint8_t>(~legacy_tools);
    return 0;
}

}  // namespace kr::host
