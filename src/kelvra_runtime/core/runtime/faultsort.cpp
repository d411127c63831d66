// kelvra_runtime.core.runtime.faultsort: the likely cause of a failed run,
// named from the data that its envelope recorded.

#include <cstring>
#include <string_view>

#include "common/frame.hpp"

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

const char module_doc[] =
    "Pure failure classification algorithm.\n"
    "\n"
    "This module contains the algorithmic logic for classifying workflow failures\n"
    "based on envelope data. It has NO external dependencies (no Redis, Django, etc.)\n"
    "and can be used by both runtime defaults and infra's production recovery.\n"
    "\n"
    "Usage:\n"
    "    from kelvra_runtime.core.runtime.faultsort import classify_failure\n"
    "\n"
    "    reason = classify_failure(envelope_data)\n"
    "    # Returns: \"terminated_by_signal\", \"suspected_oom\", \"abnormal_exit\", or \"unknown\"\n";

// ---------------------------------------------------------------------------
// classify_failure

// Source lines of classify_failure's statements.
constexpr int kLineDef = 15;
constexpr int kLineReadLastEvent = 36;
constexpr int kLineSignalTest = 39;
constexpr int kLineReadMemory = 44;
constexpr int kLineMemoryTest = 45;

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
    *line = kLineReadMemory;
    PyObject *found;
    if (PyDict_GetItemRef(envelope_data, str_memory_rss_mb, &found) < 0) return -1;
    if (found == nullptr) return 0;  // the default, 0
    Ref value = steal(found);
    if (PyLong_CheckExact(value.get())) {
        *line = kLineMemoryTest;
        return PyLong_IsPositive(value.get());
    }
    if (PyUnicode_CheckExact(value.get())) {
        std::string_view digits = plain_digits(value.get());
        if (!digits.empty()) return digits.find_first_not_of('0') != std::string_view::npos;
    }
    Ref memory_mb = steal(PyNumber_Long(value.get()));
    if (!memory_mb) return -1;
    *line = kLineMemoryTest;
    return PyLong_IsPositive(memory_mb.get());
}

// classify_failure of a non-empty dict; out of line, so that an empty one
// is answered without setting up its frame.
[[gnu::noinline]] PyObject *classify_evidence(kr::Call &call, PyObject *envelope_data) {
    // An absent "last_event" reads as "", which has no signal prefix.
    PyObject *found;
    if (PyDict_GetItemRef(envelope_data, str_last_event, &found) < 0) return call.fail(kLineReadLastEvent);
    Ref last_event = steal(found);
    if (last_event) {
        int signalled = has_signal_prefix(last_event.get());
        if (signalled < 0) return call.fail(kLineSignalTest);
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

PyObject *classify_failure(kr::Call &call) {
    PyObject *envelope_data = call[0];
    if (PyDict_GET_SIZE(envelope_data) == 0) return Py_NewRef(str_unknown);
    return classify_evidence(call, envelope_data);
}

const kr::Param classify_failure_params[] = {{"envelope_data", kr::exact_dict, "dict"}};

const kr::FunctionDef classify_failure_def = {
    .name = "classify_failure",
    .doc =
        "Classify a workflow failure based on envelope data.\n"
        "\n"
        "    Analyzes the envelope's last event and memory usage to determine\n"
        "    the likely cause of failure.\n"
        "\n"
        "    Args:\n"
        "        envelope_data: Dict containing envelope state, typically with keys like:\n"
        "            - last_event: str, the last recorded event (e.g., \"signal_SIGTERM\")\n"
        "            - memory_rss_mb: int/str, resident memory in MB at failure time\n"
        "\n"
        "    Returns:\n"
        "        A classification string:\n"
        "        - \"terminated_by_signal\": Process received a signal (SIGTERM, SIGKILL, etc.)\n"
        "        - \"suspected_oom\": High memory usage suggests OOM killer\n"
        "        - \"abnormal_exit\": Process exited abnormally without clear cause\n"
        "        - \"unknown\": No envelope data available\n"
        "    ",
    .line = kLineDef,
    .params = classify_failure_params,
    .returns = "str",
    .body = classify_failure,
};

// ---------------------------------------------------------------------------
// The module

int faultsort_body(kr::Module &m) { return m.def(classify_failure_def); }

const kr::ModuleDef faultsort_module = {
    .name = "faultsort",
    .doc = module_doc,
    .body = faultsort_body,
};

}  // namespace

PyMODINIT_FUNC PyInit_faultsort() { return kr::module_init(faultsort_module); }
