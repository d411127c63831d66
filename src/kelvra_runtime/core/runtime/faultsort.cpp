// kelvra_runtime.core.runtime.faultsort: the likely cause of a failed run,
// named from the data that its envelope recorded.

#include <cstring>
#include <string_view>

#include "common/frame.hpp"
#include "faultsort_decl.hpp"

namespace {

using kr::Handle;
using kr::Ref;

constexpr std::string_view kSignalPrefix = "signal_";

// ---------------------------------------------------------------------------
// classify_failure

// int() applies its limit on the number of digits only beyond this length
// (the least limit the host accepts), so a run of at most this many ASCII
// digits always parses.
constexpr Py_ssize_t kUnlimitedDigits = 640;

// `s.startswith("signal_")` of an exact str, read in place.
bool str_has_signal_prefix(PyObject *s) {
    if (PyUnicode_GET_LENGTH(s) < static_cast<Py_ssize_t>(kSignalPrefix.size())) return false;
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND) return std::memcmp(data, kSignalPrefix.data(), kSignalPrefix.size()) == 0;
    for (std::size_t i = 0; i < kSignalPrefix.size(); i++) {
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(kSignalPrefix[i])) return false;
    }
    return true;
}

// `last_event.startswith("signal_")` as a truth value: 1, 0, or -1 with the
// error set.
int has_signal_prefix(Handle last_event) {
    if (PyUnicode_CheckExact(last_event)) return str_has_signal_prefix(last_event);
    return last_event.method(py::str_startswith, py::str_signal_).truth();
}

// The text of an exact str that int() reads as a plain decimal number: only
// ASCII digits, short enough to parse whatever the host's digit limit.
// Empty when it is anything else.
std::string_view plain_digits(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (!PyUnicode_IS_COMPACT_ASCII(s) || n == 0 || n > kUnlimitedDigits) return {};
    std::string_view text(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s)), static_cast<std::size_t>(n));
    for (char c : text) {
        if (c < '0' || c > '9') return {};
    }
    return text;
}

// `int(value)` of the memory reading; a str of plain digits is read in
// place, as only its sign matters.
Ref memory_reading(Handle value) {
    if (value && PyUnicode_CheckExact(value)) {
        std::string_view digits = plain_digits(value);
        if (!digits.empty())
            return kr::new_ref(digits.find_first_not_of('0') != std::string_view::npos ? py::int_1 : py::int_0);
    }
    return value.to_int();
}

// classify_failure of a non-empty dict; out of line, so that an empty one
// is answered without setting up its frame.
[[gnu::noinline]] kr::Result classify_evidence(Handle envelope_data) {
    // The binding passes exactly a dict.
    PyObject *found;
    if (PyDict_GetItemRef(envelope_data, py::str_last_event, &found) < 0) return line::read_last_event;
    Ref last_event = found ? kr::steal(found) : kr::new_ref(py::str_empty);
    int signalled = has_signal_prefix(last_event);
    if (signalled < 0) return line::signal_test;
    if (signalled) return kr::new_ref(py::str_terminated_by_signal);

    // An unreadable memory reading is no evidence: its ValueError or
    // TypeError is dropped, any other error propagates.
    kr::Line failed_at = line::read_memory;
    int oom = -1;
    if (Ref memory_mb = memory_reading(envelope_data.get_or(py::str_memory_rss_mb, py::int_0))) {
        failed_at = line::memory_test;
        oom = memory_mb.gt(py::int_0);
    }
    if (oom > 0) return kr::new_ref(py::str_suspected_oom);
    if (oom < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return failed_at;
        PyErr_Clear();
    }
    return kr::new_ref(py::str_abnormal_exit);
}

kr::Result body::classify_failure(kr::Call &, Handle envelope_data) {
    if (PyDict_GET_SIZE(envelope_data.get()) == 0) return kr::new_ref(py::str_unknown);
    return classify_evidence(envelope_data);
}

}  // namespace

#include "faultsort_tables.hpp"
