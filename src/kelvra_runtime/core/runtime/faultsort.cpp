// kelvra_runtime.core.runtime.faultsort: the likely cause of a failed run,
// named from the data that its envelope recorded.

#include <cstring>
#include <string_view>

#include "common/frame.hpp"
#include "faultsort_decl.hpp"

namespace {

using kr::Handle;
using kr::Ref;

// ---------------------------------------------------------------------------
// classify_failure

// `last_event.startswith("signal_")`: an exact str's first characters read
// in place against the text, whose length the compiler knows.
constexpr std::string_view kSignalPrefix = "signal_";
int has_signal_prefix(Handle last_event) {
    if (!PyUnicode_CheckExact(last_event.get())) return last_event.startswith(py::str_signal_);
    if (PyUnicode_GET_LENGTH(last_event.get()) < static_cast<Py_ssize_t>(kSignalPrefix.size())) return 0;
    int kind = PyUnicode_KIND(last_event.get());
    const void *data = PyUnicode_DATA(last_event.get());
    if (kind == PyUnicode_1BYTE_KIND) return std::memcmp(data, kSignalPrefix.data(), kSignalPrefix.size()) == 0;
    return last_event.startswith(py::str_signal_);
}

// The memory reading's part of classify_failure: out of line, so that a
// signal is answered without setting up its frame.  An unreadable reading
// is no evidence: its ValueError or TypeError is dropped, any other error
// propagates.
[[gnu::noinline]] kr::Result memory_evidence(kr::ExactDict envelope_data) {
    kr::Line failed_at = line::read_memory;
    int oom = -1;
    Ref reading = envelope_data.get_or(py::str_memory_rss_mb, py::int_0);
    long long digits;
    if (kr::plain_digits(reading.get(), &digits)) {
        // int() of a few plain digits compared with 0 needs no int object:
        // only the value's sign is read.
        oom = digits > 0;
    }
    else if (Ref memory_mb = reading.to_int()) {
        failed_at = line::memory_test;
        oom = memory_mb.gt(py::int_0);
    }
    if (oom > 0) return kr::new_ref(py::str_suspected_oom);
    if (oom < 0 && !kr::caught({PyExc_ValueError, PyExc_TypeError})) return failed_at;
    return kr::new_ref(py::str_abnormal_exit);
}

// classify_failure of a non-empty dict; out of line, so that an empty one
// is answered without setting up its frame.
[[gnu::noinline]] kr::Result classify_evidence(kr::ExactDict envelope_data) {
    Ref last_event = envelope_data.get_or(py::str_last_event, py::str_empty);
    if (!last_event) return line::read_last_event;
    int signalled = has_signal_prefix(last_event);
    if (signalled < 0) return line::signal_test;
    if (signalled) return kr::new_ref(py::str_terminated_by_signal);
    return memory_evidence(envelope_data);
}

kr::Result body::classify_failure(kr::Call &, kr::ExactDict envelope_data) {
    if (!envelope_data.truth()) return kr::new_ref(py::str_unknown);
    return classify_evidence(envelope_data);
}

}  // namespace

#include "faultsort_tables.hpp"
