// kelvra_runtime.core.runtime.waiters: suspended parent runs — duration
// parsing, the waiter records and the waiter registry.

#include <string>
#include <string_view>

#include "common/frame.hpp"
#include "waiters_decl.hpp"

namespace {

using kr::Handle;
using kr::Ref;

// ---------------------------------------------------------------------------
// Waiter records

kr::Result body::SignalWaiter::matches(kr::Call &, Handle self, Handle signal_name, kr::ExactDict payload) {
    int other = signal_name.ne(self.attr(py::str_signal_name));
    if (other < 0) return line::name_test;
    if (other) return kr::new_bool(false);
    kr::ItemsLoop items{self.attr(py::str_match)};
    for (Ref k, v; items.next(k, v);) {
        int differs = payload.get_or(k, Py_None).ne(v);
        if (differs < 0) return line::value_test;
        if (differs) return kr::new_bool(false);
    }
    if (items.failed()) return line::match_items;
    return kr::new_bool(true);
}

// ---------------------------------------------------------------------------
// The in-memory registry

kr::Result body::InMemoryWaiterRegistry::init(kr::Call &call, Handle self, Handle clock) {
    int given = clock.truth();
    if (given < 0) return line::set_clock;
    if (!self.set(py::str_private_clock, given ? kr::new_ref(clock) : call.global(py::str_time).attr(py::str_time)))
        return line::set_clock;
    if (!self.set(py::str_private_signal_waiters, kr::new_list()) ||
        !self.set(py::str_private_timers, kr::new_list()) || !self.set(py::str_private_user_inputs, kr::new_list())) {
        return line::set_lists;
    }
    return kr::None;
}

kr::Result body::InMemoryWaiterRegistry::register_signal_waiter(kr::Call &, Handle self, Handle waiter) {
    if (!self.attr(py::str_private_signal_waiters).append(waiter)) return line::append_signal;
    return kr::None;
}

kr::Result body::InMemoryWaiterRegistry::register_timer(kr::Call &, Handle self, Handle waiter) {
    if (!self.attr(py::str_private_timers).append(waiter)) return line::append_timer;
    return kr::None;
}

kr::Result body::InMemoryWaiterRegistry::register_user_input_waiter(kr::Call &, Handle self, Handle waiter) {
    if (!self.attr(py::str_private_user_inputs).append(waiter)) return line::append_user_input;
    return kr::None;
}

// `(w.parent_run_id, w.resume_key)`, with `dict(payload)` after them when
// a payload is given.
Ref waiter_record(Handle w, PyObject *payload = nullptr) {
    Ref run_id = w.attr(py::str_parent_run_id);
    if (!run_id) return run_id;
    Ref key = w.attr(py::str_resume_key);
    if (!key || !payload) return kr::new_tuple({run_id, key});
    return kr::new_tuple({run_id, key, kr::dict_of(payload)});
}

// An append to a result list of our own fails only for want of memory; it
// is reported at the walk.
kr::Result body::InMemoryWaiterRegistry::resolve_signal(kr::Call &, Handle self, Handle signal_name,
                                                        kr::ExactDict payload) {
    Ref remaining = kr::new_list(), matched = kr::new_list();
    if (!remaining || !matched) return line::signal_lists;
    kr::Loop waiters{self.attr(py::str_private_signal_waiters)};
    while (Ref w = waiters.next()) {
        int hit = w.method(py::str_matches, signal_name, payload).truth();
        if (hit < 0) return line::call_matches;
        if (!hit) {
            if (!remaining.append(w)) return line::walk_signals;
        }
        else if (!matched.append(waiter_record(w, payload))) {
            return line::match_record;
        }
    }
    if (waiters.failed()) return line::walk_signals;
    if (!self.set(py::str_private_signal_waiters, remaining)) return line::replace_signals;
    return matched;
}

kr::Result body::InMemoryWaiterRegistry::resolve_user_input(kr::Call &, Handle self, Handle parent_run_id,
                                                            Handle resume_key, Handle) {
    kr::Loop waiters{self.attr(py::str_private_user_inputs)};
    for (Py_ssize_t i = 0; Ref w = waiters.next(); i++) {
        int same = w.attr(py::str_parent_run_id).eq(parent_run_id);
        if (same == 1) same = w.attr(py::str_resume_key).eq(resume_key);
        if (same < 0) return line::user_input_test;
        if (same) {
            if (!self.attr(py::str_private_user_inputs).del_item(i)) return line::user_input_remove;
            return kr::new_bool(true);
        }
    }
    if (waiters.failed()) return line::walk_user_inputs;
    return kr::new_bool(false);
}

kr::Result body::InMemoryWaiterRegistry::sweep_expired_timers(kr::Call &, Handle self) {
    Ref now = self.attr(py::str_private_clock)();
    if (!now) return line::call_clock;
    Ref expired = kr::new_list(), remaining = kr::new_list();
    if (!expired || !remaining) return line::timer_lists;
    kr::Loop timers{self.attr(py::str_private_timers)};
    while (Ref w = timers.next()) {
        int due = w.attr(py::str_resume_at_unix).le(now);
        if (due < 0) return line::timer_test;
        if (!due) {
            if (!remaining.append(w)) return line::walk_timers;
        }
        else if (!expired.append(waiter_record(w))) {
            return line::timer_record;
        }
    }
    if (timers.failed()) return line::walk_timers;
    if (!self.set(py::str_private_timers, remaining)) return line::replace_timers;
    return expired;
}

kr::Result body::InMemoryWaiterRegistry::signal_waiter_count(kr::Call &, Handle self) {
    return {self.attr(py::str_private_signal_waiters).len(), line::count_signal_waiters};
}

kr::Result body::InMemoryWaiterRegistry::timer_count(kr::Call &, Handle self) {
    return {self.attr(py::str_private_timers).len(), line::count_timers};
}

kr::Result body::InMemoryWaiterRegistry::user_input_waiter_count(kr::Call &, Handle self) {
    return {self.attr(py::str_private_user_inputs).len(), line::count_user_inputs};
}

// ---------------------------------------------------------------------------
// parse_duration

// `raise ValueError(message)`
void raise_value_error(Handle message) { kr::raise(Handle(PyExc_ValueError)(message)); }

// `raise ValueError(f"{before}{first!r}{between}{second!r}")`
void raise_with_reprs(const char *before, Handle first, const char *between, Handle second) {
    Ref first_repr = first.repr();
    if (first_repr) raise_value_error(kr::fstring({{before, first_repr, nullptr}, {between, second.repr(), nullptr}}));
}

// parse_duration of an exact ASCII str with a plain unit table, as the
// rendering runs on it: str's own whitespace, case and digit tests (ASCII
// has no other spaces or digits), float() of each number, and the same
// doubles summed in the same order.  No code of the caller's runs
// meanwhile, so one table serves every character as a fresh lookup would.
kr::Result parse_ascii_duration(Handle value, std::string_view text, Handle units) {
    while (!text.empty() && kr::ascii_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && kr::ascii_space(text.back())) text.remove_suffix(1);
    if (text.empty()) {
        raise_value_error(py::str_empty_duration_string);
        return line::empty;
    }
    double total = 0.0;
    std::string num_buf;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if ((c >= '0' && c <= '9') || c == '.') {
            num_buf += c;
            continue;
        }
        Ref ch = kr::steal(kr::ascii_char(c));
        Ref seconds = units.get_or(ch, Py_None);
        if (!seconds) return line::unit_test;
        if (seconds.get() != Py_None) {
            if (num_buf.empty()) {
                raise_with_reprs("duration unit ", ch, " with no preceding number in ", value);
                return line::no_number;
            }
            double amount;
            if (!kr::float_of_ascii(num_buf, &amount)) return line::add_unit;
            total += amount * kr::float_value(seconds);
            num_buf.clear();
            continue;
        }
        if (kr::ascii_space(c)) continue;
        raise_with_reprs("unrecognized character ", ch, " in duration ", value);
        return line::unrecognized;
    }
    if (!num_buf.empty()) {
        double amount;
        if (!kr::float_of_ascii(num_buf, &amount)) return line::trailing;
        total += amount;
    }
    if (total <= 0.0) {
        raise_value_error(kr::fstring({{"duration must be positive: ", value.repr(), nullptr}}));
        return line::not_positive;
    }
    return kr::new_float(total);
}

// parse_duration of anything but a number; out of line, so that a number
// is answered without setting up the frame of the text's walk.
[[gnu::noinline]] kr::Result parse_duration_text(kr::Call &call, Handle value) {
    std::string_view text;
    if (kr::ascii_text(value, &text)) {
        // Only the module's own table: a missing one is the general path's to report.
        Ref units = Handle(call.globals()).get_or(py::str_private_DURATION_UNITS, Py_None);
        if (!units) return line::unit_test;
        if (kr::plain_table(units.get(), &PyUnicode_Type, &PyFloat_Type))
            return parse_ascii_duration(value, text, units);
    }
    if (!PyUnicode_Check(value)) {
        raise_value_error(
            kr::fstring({{"unsupported duration type: ", kr::type_of(value).attr(py::str_dunder_name), nullptr}}));
        return line::unsupported;
    }
    Ref s = value.method(py::str_strip).method(py::str_lower);
    if (!s) return line::normalise;
    int filled = s.truth();
    if (filled < 0) return line::empty;
    if (!filled) {
        raise_value_error(py::str_empty_duration_string);
        return line::empty;
    }
    Ref total = kr::new_ref(py::float_0_0), num_buf = kr::new_ref(py::str_empty);
    kr::Loop chars{s};
    while (Ref ch = chars.next()) {
        int digit = ch.method(py::str_isdigit).truth();
        if (digit == 0) digit = ch.eq(py::str_dot);
        if (digit < 0) return line::unit_test;
        if (digit) {
            num_buf = num_buf.iadd(ch);
            if (!num_buf) return line::unit_test;
            continue;
        }
        int unit = call.global(py::str_private_DURATION_UNITS).contains(ch);
        if (unit < 0) return line::unit_test;
        if (unit) {
            int has_number = num_buf.truth();
            if (has_number < 0) return line::no_number;
            if (!has_number) {
                raise_with_reprs("duration unit ", ch, " with no preceding number in ", value);
                return line::no_number;
            }
            Ref amount = num_buf.to_float();
            if (!amount) return line::add_unit;
            total = total.iadd(amount.times(call.global(py::str_private_DURATION_UNITS).item(ch)));
            if (!total) return line::add_unit;
            num_buf = kr::new_ref(py::str_empty);
            continue;
        }
        int space = ch.method(py::str_isspace).truth();
        if (space < 0) return line::space_test;
        if (space) continue;
        raise_with_reprs("unrecognized character ", ch, " in duration ", value);
        return line::unrecognized;
    }
    if (chars.failed()) return line::unit_test;
    int pending = num_buf.truth();
    if (pending < 0) return line::trailing;
    if (pending) {
        total = total.iadd(num_buf.to_float());
        if (!total) return line::trailing;
    }
    int not_positive = total.le(py::int_0);
    if (not_positive < 0) return line::not_positive;
    if (not_positive) {
        raise_value_error(kr::fstring({{"duration must be positive: ", value.repr(), nullptr}}));
        return line::not_positive;
    }
    return total;
}

kr::Result body::parse_duration(kr::Call &call, Handle value) {
    if (PyLong_Check(value) || PyFloat_Check(value)) return {value.to_float(), line::numeric};
    return parse_duration_text(call, value);
}

}  // namespace

#include "waiters_tables.hpp"
