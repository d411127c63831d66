// kelvra_runtime.core.runtime.faultsort: the likely cause of a failed run,
// named from the data that its envelope recorded.

#include <cstring>
#include <string_view>

#include "common/frame.hpp"
#include "faultsort_decl.hpp"

namespace {

using kr::Ref;
using kr::steal;

// The classifications: made once, so equal results are the same object.
kr::Constant str_terminated_by_signal{"terminated_by_signal"};
kr::Constant str_suspected_oom{"suspected_oom"};
kr::Constant str_abnormal_exit{"abnormal_exit"};
kr::Constant str_unknown{"unknown"};

kr::Constant str_last_event{"last_event"};
kr::Constant str_memory_rss_mb{"memory_rss_mb"};
kr::Constant str_startswith{"startswith"};
constexpr std::string_view kSignalPrefix = "signal_";
kr::Constant str_signal_prefix{kSignalPrefix.data()};

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
int has_signal_prefix(PyObject *last_event) {
    if (PyUnicode_CheckExact(last_event)) return str_has_signal_prefix(last_event);
    Ref result = steal(PyObject_CallMethodOneArg(last_event, str_startswith, str_signal_prefix));
    return result ? PyObject_IsTrue(result.get()) : -1;
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

// `int(envelope_data.get("memory_rss_mb", 0)) > 0`: 1, 0, or -1 with the
// error set and `*line` the failing statement.
int memory_reading_positive(PyObject *envelope_data, int *line) {
    *line = line::read_memory;
    PyObject *found;
    if (PyDict_GetItemRef(envelope_data, str_memory_rss_mb, &found) < 0) return -1;
    if (found == nullptr) return 0;  // the default, 0
    Ref value = steal(found);
    if (PyLong_CheckExact(value.get())) {
        *line = line::memory_test;
        return PyLong_IsPositive(value.get());
    }
    if (PyUnicode_CheckExact(value.get())) {
        std::string_view digits = plain_digits(value.get());
        if (!digits.empty()) return digits.find_first_not_of('0') != std::string_view::npos;
    }
    Ref memory_mb = steal(PyNumber_Long(value.get()));
    if (!memory_mb) return -1;
    *line = line::memory_test;
    return PyLong_IsPositive(memory_mb.get());
}

// classify_failure of a non-empty dict; out of line, so that an empty one
// is answered without setting up its frame.
[[gnu::noinline]] PyObject *classify_evidence(kr::Call &call, PyObject *envelope_data) {
    // An absent "last_event" reads as "", which has no signal prefix.
    PyObject *found;
    if (PyDict_GetItemRef(envelope_data, str_last_event, &found) < 0) return call.fail(line::read_last_event);
    Ref last_event = steal(found);
    if (last_event) {
        int signalled = has_signal_prefix(last_event.get());
        if (signalled < 0) return call.fail(line::signal_test);
        if (signalled) return Py_NewRef(str_terminated_by_signal);
    }

    // An unreadable memory reading is no evidence: its ValueError or
    // TypeError is dropped, any other error propagates.
    int line;
    int oom = memory_reading_positive(envelope_data, &line);
    if (oom < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
            return call.fail(line);
        }
        PyErr_Clear();
    }
    else if (oom) {
        return Py_NewRef(str_suspected_oom);
    }
    return Py_NewRef(str_abnormal_exit);
}

kr::Result body::classify_failure(kr::Call &call, kr::Handle envelope_data) {
    if (PyDict_GET_SIZE(envelope_data) == 0) return Py_NewRef(str_unknown);
    return classify_evidence(call, envelope_data);
}

}  // namespace

#include "faultsort_tables.hpp"
