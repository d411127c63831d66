// kelvra_runtime.core.runtime.waiters: suspended parent runs — duration
// parsing, the waiter records and the waiter registry.

#include <string>

#include "common/frame.hpp"
#include "waiters_decl.hpp"

namespace {

using kr::Ref;
using kr::steal;

kr::Constant str_duration_units{"_DURATION_UNITS"};
kr::Constant str_strip{"strip"};
kr::Constant str_lower{"lower"};
kr::Constant str_isdigit{"isdigit"};
kr::Constant str_isspace{"isspace"};
kr::Constant str_dot{"."};
kr::Constant str_empty{""};
kr::Constant str_items{"items"};
kr::Constant str_append{"append"};
kr::Constant str_matches{"matches"};
kr::Constant str_match{"match"};
kr::Constant str_signal_name{"signal_name"};
kr::Constant str_parent_run_id{"parent_run_id"};
kr::Constant str_resume_key{"resume_key"};
kr::Constant str_resume_at_unix{"resume_at_unix"};
kr::Constant str_time{"time"};
kr::Constant str_clock{"_clock"};
kr::Constant str_signal_waiters{"_signal_waiters"};
kr::Constant str_timers{"_timers"};
kr::Constant str_user_inputs{"_user_inputs"};

// ---------------------------------------------------------------------------
// Waiter records

// `payload.get(k) != v` for one match entry: 1 when it differs.
int entry_differs(PyObject *payload, PyObject *key, PyObject *expected) {
    PyObject *found = PyDict_GetItemWithError(payload, key);
    if (found == nullptr && PyErr_Occurred()) return -1;
    Ref actual = kr::new_ref(found ? found : Py_None);
    return kr::compare(actual.get(), Py_NE, expected);
}

// The walk of an exact dict, checked as the host's items iterator checks
// a dict that the comparisons change under it.  On error `*line` is the
// failing statement: the walk itself or the value test.
int exact_match_differs(PyObject *match, PyObject *payload, int *line) {
    Py_ssize_t size = PyDict_GET_SIZE(match);
    Py_ssize_t pos = 0, seen = 0;
    PyObject *k, *v;
    while (true) {
        *line = line::match_items;
        if (PyDict_GET_SIZE(match) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(match, &pos, &k, &v)) return 0;
        if (++seen > size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        Ref key = kr::new_ref(k);
        Ref expected = kr::new_ref(v);
        *line = line::value_test;
        int differs = entry_differs(payload, key.get(), expected.get());
        if (differs != 0) return differs;
    }
}

// `k, v = item` as the host unpacks a for-loop target: at most one value
// beyond the two is drawn, and the errors are the host's.  0 on success.
int unpack_pair(PyObject *item, Ref &key, Ref &value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = kr::new_ref(PyTuple_GET_ITEM(item, 0));
        value = kr::new_ref(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    Ref iter = steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return -1;
    }
    Ref *targets[] = {&key, &value};
    for (int i = 0; i < 2; i++) {
        *targets[i] = steal(PyIter_Next(iter.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            return -1;
        }
    }
    Ref extra = steal(PyIter_Next(iter.get()));
    if (!extra) return PyErr_Occurred() ? -1 : 0;
    if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) {
        Py_ssize_t size = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
            return -1;
        }
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}

int general_match_differs(PyObject *match, PyObject *payload, int *line) {
    *line = line::match_items;
    Ref items = steal(PyObject_CallMethodNoArgs(match, str_items));
    Ref iter = items ? steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) return -1;
    while (Ref item = steal(PyIter_Next(iter.get()))) {
        Ref key, expected;
        if (unpack_pair(item.get(), key, expected) < 0) return -1;
        *line = line::value_test;
        int differs = entry_differs(payload, key.get(), expected.get());
        if (differs != 0) return differs;
        *line = line::match_items;
    }
    return PyErr_Occurred() ? -1 : 0;
}

kr::Result body::SignalWaiter::matches(kr::Call &call, kr::Handle self, kr::Handle signal_name, kr::Handle payload) {
    Ref own_name = steal(kr::get_attr(self, str_signal_name));
    int differs = own_name ? kr::compare(signal_name, Py_NE, own_name.get()) : -1;
    if (differs < 0) return call.fail(line::name_test);
    if (differs) Py_RETURN_FALSE;
    Ref match = steal(kr::get_attr(self, str_match));
    if (!match) return call.fail(line::match_items);
    int line;
    differs = PyDict_CheckExact(match.get()) ? exact_match_differs(match.get(), payload, &line)
                                             : general_match_differs(match.get(), payload, &line);
    if (differs < 0) return call.fail(line);
    return Py_NewRef(differs ? Py_False : Py_True);
}

// ---------------------------------------------------------------------------
// The in-memory registry

kr::Result body::InMemoryWaiterRegistry::init(kr::Call &call, kr::Handle self, kr::Handle clock) {
    int truthy = PyObject_IsTrue(clock);
    if (truthy < 0) return call.fail(line::set_clock);
    Ref chosen;
    if (truthy) {
        chosen = kr::new_ref(clock);
    }
    else {
        Ref time_module = steal(kr::global(call.globals(), str_time));
        chosen = time_module ? steal(kr::get_attr(time_module.get(), str_time)) : Ref();
    }
    if (!chosen || kr::set_attr(self, str_clock, chosen.get()) < 0) return call.fail(line::set_clock);
    for (PyObject *name : {str_signal_waiters.get(), str_timers.get(), str_user_inputs.get()}) {
        Ref list = steal(PyList_New(0));
        if (!list || kr::set_attr(self, name, list.get()) < 0) return call.fail(line::set_lists);
    }
    Py_RETURN_NONE;
}

// `self.<list_name>.append(waiter)`, the statement at `line`.
PyObject *append_waiter(kr::Call &call, PyObject *list_name, int line) {
    Ref list = steal(kr::get_attr(call[0], list_name));
    if (!list) return call.fail(line);
    int appended = PyList_CheckExact(list.get()) ? kr::list_append(list.get(), call[1]) : -2;
    if (appended == -2) {
        Ref result = steal(PyObject_CallMethodOneArg(list.get(), str_append, call[1]));
        appended = result ? 0 : -1;
    }
    if (appended < 0) return call.fail(line);
    Py_RETURN_NONE;
}

kr::Result body::InMemoryWaiterRegistry::register_signal_waiter(kr::Call &call, kr::Handle self, kr::Handle waiter) {
    return append_waiter(call, str_signal_waiters, line::append_signal);
}
kr::Result body::InMemoryWaiterRegistry::register_timer(kr::Call &call, kr::Handle self, kr::Handle waiter) {
    return append_waiter(call, str_timers, line::append_timer);
}
kr::Result body::InMemoryWaiterRegistry::register_user_input_waiter(kr::Call &call, kr::Handle self,
                                                                    kr::Handle waiter) {
    return append_waiter(call, str_user_inputs, line::append_user_input);
}

// Walks `self.<list_name>` oldest first, as the host's list iterator walks a
// list that may grow while it is walked; `visit` returns -1 to stop on error.
template <class Visit>
int walk(PyObject *self, PyObject *list_name, Visit visit) {
    Ref list = steal(kr::get_attr(self, list_name));
    if (!list) return -1;
    if (PyList_CheckExact(list.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
            Ref item = kr::new_ref(PyList_GET_ITEM(list.get(), i));
            int r = visit(item.get(), i);
            if (r != 0) return r;
        }
        return 0;
    }
    Ref iter = steal(PyObject_GetIter(list.get()));
    if (!iter) return -1;
    for (Py_ssize_t i = 0; Ref item = steal(PyIter_Next(iter.get())); i++) {
        int r = visit(item.get(), i);
        if (r != 0) return r;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The (parent_run_id, resume_key[, extra]) record of a waiter.
PyObject *waiter_record(PyObject *waiter, PyObject *extra) {
    Ref run_id = steal(kr::get_attr(waiter, str_parent_run_id));
    Ref key = run_id ? steal(kr::get_attr(waiter, str_resume_key)) : Ref();
    if (!key) return nullptr;
    return extra ? PyTuple_Pack(3, run_id.get(), key.get(), extra) : PyTuple_Pack(2, run_id.get(), key.get());
}

// `waiter.matches(signal_name, payload)`
PyObject *call_matches(PyObject *waiter, PyObject *signal_name, PyObject *payload) {
    return kr::call_method(str_matches, waiter, signal_name, payload);
}

kr::Result body::InMemoryWaiterRegistry::resolve_signal(kr::Call &call, kr::Handle self, kr::Handle signal_name,
                                                        kr::Handle payload) {
    Ref remaining = steal(PyList_New(0));
    Ref matched = steal(PyList_New(0));
    if (!remaining || !matched) return call.fail(line::signal_lists);
    int line = line::walk_signals;  // until a waiter's own step fails
    int walked = walk(self, str_signal_waiters, [&](PyObject *waiter, Py_ssize_t) {
        Ref result = steal(call_matches(waiter, signal_name, payload));
        int hit = result ? PyObject_IsTrue(result.get()) : -1;
        if (hit < 0) return line = line::call_matches, -1;
        if (!hit) return kr::list_append(remaining.get(), waiter);
        Ref copy = steal(PyDict_Copy(payload));
        Ref record = copy ? steal(waiter_record(waiter, copy.get())) : Ref();
        if (!record) return line = line::match_record, -1;
        return kr::list_append(matched.get(), record.get());
    });
    if (walked < 0) return call.fail(line);
    if (kr::set_attr(self, str_signal_waiters, remaining.get()) < 0) return call.fail(line::replace_signals);
    return matched.release();
}

kr::Result body::InMemoryWaiterRegistry::resolve_user_input(kr::Call &call, kr::Handle self, kr::Handle parent_run_id,
                                                            kr::Handle resume_key, kr::Handle response) {
    Py_ssize_t found = -1;
    int line = line::walk_user_inputs;  // until a waiter's own test fails
    int walked = walk(self, str_user_inputs, [&](PyObject *waiter, Py_ssize_t i) {
        Ref run_id = steal(kr::get_attr(waiter, str_parent_run_id));
        int same = run_id ? kr::compare(run_id.get(), Py_EQ, parent_run_id) : -1;
        if (same == 1) {
            Ref key = steal(kr::get_attr(waiter, str_resume_key));
            same = key ? kr::compare(key.get(), Py_EQ, resume_key) : -1;
        }
        if (same < 0) line = line::user_input_test;
        if (same == 1) found = i;
        return same;  // 1 stops the walk at the first match
    });
    if (walked < 0) return call.fail(line);
    if (found < 0) Py_RETURN_FALSE;
    Ref list = steal(kr::get_attr(self, str_user_inputs));
    if (!list || PySequence_DelItem(list.get(), found) < 0) return call.fail(line::user_input_remove);
    Py_RETURN_TRUE;
}

// `timer.resume_at_unix <= now`
int is_due(PyObject *timer, PyObject *now) {
    Ref due_at = steal(kr::get_attr(timer, str_resume_at_unix));
    return due_at ? kr::compare(due_at.get(), Py_LE, now) : -1;
}

kr::Result body::InMemoryWaiterRegistry::sweep_expired_timers(kr::Call &call, kr::Handle self) {
    Ref clock = steal(kr::get_attr(self, str_clock));
    Ref now = clock ? steal(PyObject_CallNoArgs(clock.get())) : Ref();
    if (!now) return call.fail(line::call_clock);
    Ref expired = steal(PyList_New(0));
    Ref remaining = steal(PyList_New(0));
    if (!expired || !remaining) return call.fail(line::timer_lists);
    int line = line::walk_timers;  // until a timer's own step fails
    int walked = walk(self, str_timers, [&](PyObject *timer, Py_ssize_t) {
        int due = is_due(timer, now.get());
        if (due < 0) return line = line::timer_test, -1;
        if (!due) return kr::list_append(remaining.get(), timer);
        Ref record = steal(waiter_record(timer, nullptr));
        if (!record) return line = line::timer_record, -1;
        return kr::list_append(expired.get(), record.get());
    });
    if (walked < 0) return call.fail(line);
    if (kr::set_attr(self, str_timers, remaining.get()) < 0) return call.fail(line::replace_timers);
    return expired.release();
}

// `len(self.<list_name>)`, reported at `line` when it fails.
PyObject *count(kr::Call &call, PyObject *list_name, int line) {
    Ref list = steal(kr::get_attr(call[0], list_name));
    Py_ssize_t n = list ? PyObject_Size(list.get()) : -1;
    return n < 0 ? call.fail(line) : PyLong_FromSsize_t(n);
}

kr::Result body::InMemoryWaiterRegistry::signal_waiter_count(kr::Call &call, kr::Handle self) {
    return count(call, str_signal_waiters, line::count_signal_waiters);
}
kr::Result body::InMemoryWaiterRegistry::timer_count(kr::Call &call, kr::Handle self) {
    return count(call, str_timers, line::count_timers);
}
kr::Result body::InMemoryWaiterRegistry::user_input_waiter_count(kr::Call &call, kr::Handle self) {
    return count(call, str_user_inputs, line::count_user_inputs);
}

// ---------------------------------------------------------------------------
// parse_duration

// The running sum: a double while every term is a float, the host's
// addition once a unit value of another type took part.
struct Total {
    double real = 0.0;
    Ref object;

    int add_real(double term) {
        if (!object) {
            real += term;
            return 0;
        }
        Ref number = steal(PyFloat_FromDouble(term));
        return number ? add(number.get()) : -1;
    }
    int add(PyObject *term) {
        if (!object && PyFloat_CheckExact(term)) return add_real(PyFloat_AS_DOUBLE(term));
        if (!object) {
            object = steal(PyFloat_FromDouble(real));
            if (!object) return -1;
        }
        object = steal(PyNumber_InPlaceAdd(object.get(), term));
        return object ? 0 : -1;
    }
    // `total <= 0`
    int not_positive() const {
        if (!object) return real <= 0.0;
        Ref zero = steal(PyLong_FromLong(0));
        return zero ? PyObject_RichCompareBool(object.get(), zero.get(), Py_LE) : -1;
    }
    PyObject *result() { return object ? object.release() : PyFloat_FromDouble(real); }
};

// The current value of the module's `_DURATION_UNITS`.
PyObject *duration_units(kr::Call &call) { return kr::global(call.globals(), str_duration_units); }

PyObject *fail_with_reprs(const char *before, PyObject *first, const char *between, PyObject *second) {
    Ref a = steal(PyObject_Repr(first));
    Ref b = a ? steal(PyObject_Repr(second)) : Ref();
    if (b) PyErr_Format(PyExc_ValueError, "%s%U%s%U", before, a.get(), between, b.get());
    return nullptr;
}

// `ch in _DURATION_UNITS`, the table read afresh.
int is_unit(kr::Call &call, PyObject *ch) {
    Ref units = steal(duration_units(call));
    if (!units) return -1;
    return PyDict_CheckExact(units.get()) ? PyDict_Contains(units.get(), ch) : PySequence_Contains(units.get(), ch);
}

// `float(num_buf)` of collected digits and dots (UTF-8).  Up to 18 ASCII
// digits are an integer that a long long holds, and converting it rounds
// once to the nearest double, as the host's conversion of the text does;
// other ASCII text is converted directly; anything that this does not take
// whole goes through the host's conversion, for its own result or error
// message.
int number_value(const std::string &num_buf, bool ascii, double *out) {
    if (ascii && num_buf.size() <= 18 && num_buf.find('.') == std::string::npos) {
        long long whole = 0;
        for (char c : num_buf) whole = whole * 10 + (c - '0');
        *out = static_cast<double>(whole);
        return 0;
    }
    if (ascii) {
        char *end = nullptr;
        double value = PyOS_string_to_double(num_buf.c_str(), &end, nullptr);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
        }
        else if (end == num_buf.c_str() + num_buf.size()) {
            *out = value;
            return 0;
        }
    }
    Ref text = steal(PyUnicode_FromStringAndSize(num_buf.data(), static_cast<Py_ssize_t>(num_buf.size())));
    Ref amount = text ? steal(PyFloat_FromString(text.get())) : Ref();
    if (!amount) return -1;
    *out = PyFloat_AS_DOUBLE(amount.get());
    return 0;
}

// `_DURATION_UNITS[ch]` of a one-character str, the table read afresh.
PyObject *unit_value(kr::Call &call, PyObject *ch) {
    Ref units = steal(duration_units(call));
    if (!units) return nullptr;
    if (!PyDict_CheckExact(units.get())) return PyObject_GetItem(units.get(), ch);
    PyObject *unit;
    if (PyDict_GetItemRef(units.get(), ch, &unit) == 0) PyErr_SetObject(PyExc_KeyError, ch);
    return unit;
}

// `total += amount * _DURATION_UNITS[ch]`
int add_amount(kr::Call &call, Total &total, double amount, PyObject *ch) {
    Ref unit = steal(unit_value(call, ch));
    if (!unit) return -1;
    if (PyFloat_CheckExact(unit.get())) return total.add_real(amount * PyFloat_AS_DOUBLE(unit.get()));
    Ref number = steal(PyFloat_FromDouble(amount));
    Ref term = number ? steal(PyNumber_Multiply(number.get(), unit.get())) : Ref();
    return term ? total.add(term.get()) : -1;
}

// `total <= 0` ends every walk.
PyObject *positive_total(kr::Call &call, PyObject *value, Total &total) {
    int not_positive = total.not_positive();
    if (not_positive < 0) return call.fail(line::not_positive);
    if (not_positive) {
        Ref r = steal(PyObject_Repr(value));
        if (r) PyErr_Format(PyExc_ValueError, "duration must be positive: %U", r.get());
        return call.fail(line::not_positive);
    }
    return total.result();
}

void append_utf8(std::string &buf, Py_UCS4 c) {
    if (c < 0x80) {
        buf.push_back(static_cast<char>(c));
    }
    else if (c < 0x800) {
        buf.push_back(static_cast<char>(0xC0 | (c >> 6)));
        buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else if (c < 0x10000) {
        buf.push_back(static_cast<char>(0xE0 | (c >> 12)));
        buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else {
        buf.push_back(static_cast<char>(0xF0 | (c >> 18)));
        buf.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Walks a normalised spec that is exactly a str: the characters are then
// exact one-character strings, whose isdigit() and isspace() are the
// Unicode predicates below.
PyObject *walk_str(kr::Call &call, PyObject *value, PyObject *s) {
    Total total;
    std::string num_buf;
    bool ascii = true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool digit = c < 0x80 ? c >= '0' && c <= '9' : Py_UNICODE_ISDIGIT(c);  // ASCII digits are 0-9
        if (digit || c == '.') {
            append_utf8(num_buf, c);
            ascii = ascii && c < 0x80;
            continue;
        }
        Ref ch = steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
        if (!ch) return call.fail(line::unit_test);
        int unit = is_unit(call, ch.get());
        if (unit < 0) return call.fail(line::unit_test);
        if (unit) {
            if (num_buf.empty()) {
                fail_with_reprs("duration unit ", ch.get(), " with no preceding number in ", value);
                return call.fail(line::no_number);
            }
            double amount;
            if (number_value(num_buf, ascii, &amount) < 0 || add_amount(call, total, amount, ch.get()) < 0) {
                return call.fail(line::add_unit);
            }
            num_buf.clear();
            ascii = true;
            continue;
        }
        if (Py_UNICODE_ISSPACE(c)) continue;
        fail_with_reprs("unrecognized character ", ch.get(), " in duration ", value);
        return call.fail(line::unrecognized);
    }
    if (!num_buf.empty()) {
        double amount;
        if (number_value(num_buf, ascii, &amount) < 0 || total.add_real(amount) < 0) {
            return call.fail(line::trailing);
        }
    }
    return positive_total(call, value, total);
}

// `ch.<method>()` taken as a truth value.
int call_predicate(PyObject *ch, PyObject *method) {
    Ref result = steal(PyObject_CallMethodNoArgs(ch, method));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Walks a normalised spec of any other type through the general protocols:
// iteration, the characters' own methods, equality and concatenation.
PyObject *walk_object(kr::Call &call, PyObject *value, PyObject *s) {
    Total total;
    Ref num_buf = kr::new_ref(str_empty);
    Ref iter = steal(PyObject_GetIter(s));
    if (!iter) return call.fail(line::unit_test);
    while (true) {
        Ref ch = steal(PyIter_Next(iter.get()));
        if (!ch) {
            if (PyErr_Occurred()) return call.fail(line::unit_test);
            break;
        }
        int digit = call_predicate(ch.get(), str_isdigit);
        if (digit == 0) digit = PyObject_RichCompareBool(ch.get(), str_dot, Py_EQ);
        if (digit < 0) return call.fail(line::unit_test);
        if (digit) {
            num_buf = steal(PyNumber_Add(num_buf.get(), ch.get()));
            if (!num_buf) return call.fail(line::unit_test);
            continue;
        }
        int unit = is_unit(call, ch.get());
        if (unit < 0) return call.fail(line::unit_test);
        if (unit) {
            int empty = PyObject_Not(num_buf.get());
            if (empty < 0) return call.fail(line::no_number);
            if (empty) {
                fail_with_reprs("duration unit ", ch.get(), " with no preceding number in ", value);
                return call.fail(line::no_number);
            }
            Ref amount = steal(PyNumber_Float(num_buf.get()));
            if (!amount || add_amount(call, total, PyFloat_AS_DOUBLE(amount.get()), ch.get()) < 0) {
                return call.fail(line::add_unit);
            }
            num_buf = kr::new_ref(str_empty);
            continue;
        }
        int space = call_predicate(ch.get(), str_isspace);
        if (space < 0) return call.fail(line::space_test);
        if (space) continue;
        fail_with_reprs("unrecognized character ", ch.get(), " in duration ", value);
        return call.fail(line::unrecognized);
    }
    int pending = PyObject_IsTrue(num_buf.get());
    if (pending < 0) return call.fail(line::trailing);
    if (pending) {
        Ref amount = steal(PyNumber_Float(num_buf.get()));
        if (!amount || total.add(amount.get()) < 0) return call.fail(line::trailing);
    }
    return positive_total(call, value, total);
}

// `value.strip().lower()` of an exact str; ASCII is done in place.
PyObject *normalise_str(PyObject *value) {
    if (!PyUnicode_IS_ASCII(value)) {
        Ref stripped = steal(PyObject_CallMethodNoArgs(value, str_strip));
        return stripped ? PyObject_CallMethodNoArgs(stripped.get(), str_lower) : nullptr;
    }
    const char *text = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(value));
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(value);
    while (start < end && Py_UNICODE_ISSPACE(static_cast<unsigned char>(text[start]))) start++;
    while (end > start && Py_UNICODE_ISSPACE(static_cast<unsigned char>(text[end - 1]))) end--;
    std::string lowered(text + start, text + end);
    for (char &c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return PyUnicode_FromStringAndSize(lowered.data(), static_cast<Py_ssize_t>(lowered.size()));
}

kr::Result body::parse_duration(kr::Call &call, kr::Handle value) {
    if (PyFloat_CheckExact(value)) return Py_NewRef(value);
    if (PyLong_CheckExact(value)) {
        // float() of an exact int is its own conversion.
        long long whole;
        if (kr::machine_int(value, &whole)) return PyFloat_FromDouble(static_cast<double>(whole));
        double seconds = PyLong_AsDouble(value);
        return seconds == -1.0 && PyErr_Occurred() ? call.fail(line::numeric) : PyFloat_FromDouble(seconds);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) {
        PyObject *seconds = PyNumber_Float(value);
        return seconds ? seconds : call.fail(line::numeric);
    }
    if (!PyUnicode_Check(value)) {
        Ref name = steal(PyType_GetName(Py_TYPE(value)));
        if (name) PyErr_Format(PyExc_ValueError, "unsupported duration type: %U", name.get());
        return call.fail(line::unsupported);
    }
    Ref s;
    if (PyUnicode_CheckExact(value)) {
        s = steal(normalise_str(value));
    }
    else {
        Ref stripped = steal(PyObject_CallMethodNoArgs(value, str_strip));
        s = stripped ? steal(PyObject_CallMethodNoArgs(stripped.get(), str_lower)) : Ref();
    }
    if (!s) return call.fail(line::normalise);
    int empty = PyObject_Not(s.get());
    if (empty < 0) return call.fail(line::empty);
    if (empty) {
        PyErr_SetString(PyExc_ValueError, "empty duration string");
        return call.fail(line::empty);
    }
    return PyUnicode_CheckExact(s.get()) ? walk_str(call, value, s.get()) : walk_object(call, value, s.get());
}

}  // namespace

#include "waiters_tables.hpp"
