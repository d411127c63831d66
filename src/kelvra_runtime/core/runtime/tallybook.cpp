// kelvra_runtime.core.runtime.tallybook: the budget and structure ledger of
// one spawn tree, and the error raised when a debit or a spawn would breach
// one of its caps.
//
// The operations read the ledger's fields by ordinary attribute access, so
// a subclass or the engine may store any numbers: the arithmetic and the
// comparisons are the host's, with exact float and int fields taking a
// direct path that gives the same results.  Each operation reads a field
// once and uses that value for its test, its message and the exception
// (nothing changes the ledger meanwhile); a field the operation itself
// wrote is read again, and `remaining_usd` reads its cap again for the
// difference.

#include <algorithm>

#include "common/frame.hpp"
#include "tallybook_decl.hpp"

namespace {

using kr::Handle;
using kr::Ref;

// ---------------------------------------------------------------------------
// BudgetExceeded

// `raise BudgetExceeded(text, cap_name=..., cap_value=..., would_be=...)`;
// a null text means its error is set already.
void raise_breach(const Ref &text, PyObject *cap_name, Handle cap_value, Handle would_be) {
    if (text)
        kr::raise(
            Handle(cls::BudgetExceeded).call_keywords(py::kw_BudgetExceeded, text, cap_name, cap_value, would_be));
}

// The spawn checks report their cap and the would-be value through float().
void raise_spawn_breach(const Ref &text, PyObject *cap_name, Handle cap, Handle would_be) {
    if (!text) return;
    Ref cap_value = cap.to_float();
    if (cap_value) raise_breach(text, cap_name, cap_value, would_be.to_float());
}

kr::Result body::BudgetExceeded::init(kr::Call &, Handle self, Handle reason, Handle cap_name, kr::Real cap_value,
                                      kr::Real would_be) {
    if (!self.set(py::str_cap_name, cap_name)) return line::set_cap_name;
    if (!self.set(py::str_cap_value, cap_value.as_float())) return line::set_cap_value;
    if (!self.set(py::str_would_be, would_be.as_float())) return line::set_would_be;
    // super().__init__(reason): the class after BudgetExceeded in the MRO.
    Handle super_type = reinterpret_cast<PyObject *>(&PySuper_Type);
    if (!super_type(cls::BudgetExceeded, self).method(py::str_dunder_init, reason)) return line::base_init;
    return kr::None;
}

// The host's default reduction would call the class with the reason alone,
// which the keyword-only parameters refuse: rebuild through a partial that
// carries them, then restore the instance dict (notes and all).
kr::Result body::BudgetExceeded::reduce(kr::Call &, Handle self) {
    Ref cap_name = self.attr(py::str_cap_name);
    if (!cap_name) return line::reduce_reads;
    Ref cap_value = self.attr(py::str_cap_value);
    if (!cap_value) return line::reduce_reads;
    Ref would_be = self.attr(py::str_would_be);
    if (!would_be) return line::reduce_reads;
    Ref partial = kr::import_from("functools", "partial");
    if (!partial) return line::reduce_import;
    Ref rebuild = partial.call_keywords(py::kw_BudgetExceeded, kr::type_of(self), cap_name, cap_value, would_be);
    if (!rebuild) return line::reduce;
    Ref reason = self.attr(py::str_args);
    if (!reason) return line::reduce;
    return {kr::new_tuple({rebuild, reason, self.attr(py::str_dunder_dict)}), line::reduce};
}

// ---------------------------------------------------------------------------
// Tallybook: remaining budget

kr::Result body::Tallybook::remaining_usd(kr::Call &, Handle self) {
    int uncapped = self.attr(py::str_cost_cap_usd).le(py::int_0);
    if (uncapped < 0) return line::remaining_usd_test;
    if (uncapped) return kr::new_ref(py::float_0_0);
    Ref cap = self.attr(py::str_cost_cap_usd);
    if (!cap) return line::remaining_usd;
    return {kr::max(py::float_0_0, cap.minus(self.attr(py::str_spent_cost_usd))), line::remaining_usd};
}

kr::Result body::Tallybook::remaining_tokens(kr::Call &, Handle self) {
    Ref cap = self.attr(py::str_token_cap);
    int uncapped = cap.le(py::int_0);
    if (uncapped < 0) return line::remaining_tokens_test;
    if (uncapped) return kr::new_ref(py::int_0);
    return {kr::int_result(kr::max(py::int_0, cap.minus(self.attr(py::str_spent_tokens)))), line::remaining_tokens};
}

// ---------------------------------------------------------------------------
// Tallybook: debit

kr::Result body::Tallybook::debit(kr::Call &, Handle self, kr::Real cost_usd, Handle tokens, Handle tool_name) {
    double cost = std::max(0.0, cost_usd.value);
    Ref clamped = kr::max(py::int_0, tokens);
    if (!clamped) return line::clamp_tokens;
    if (!self.add_to(py::str_spent_cost_usd, cost)) return line::add_cost;
    if (!self.add_to(py::str_spent_tokens, clamped)) return line::add_tokens;
    if (tool_name.truth()) {  // an exact str or None
        Ref counts = self.attr(py::str_tool_call_counts);
        if (!counts.set_item(tool_name, counts.get_or(tool_name, py::int_0).plus(py::int_1))) return line::count_tool;
    }
    Ref cap = self.attr(py::str_cost_cap_usd), spent;
    int breached = cap.gt(py::int_0);
    if (breached > 0) breached = (spent = self.attr(py::str_spent_cost_usd)).gt(cap);
    if (breached < 0) return line::cost_test;
    if (breached) {
        raise_breach(
            kr::fstring({{"tree cost cap breached: spent=$", spent, py::str_4f}, {" > cap=$", cap, py::str_4f}}),
            py::str_cost_cap_usd, cap, spent);
        return line::cost_breach;
    }
    cap = self.attr(py::str_token_cap);
    breached = cap.gt(py::int_0);
    if (breached > 0) breached = (spent = self.attr(py::str_spent_tokens)).gt(cap);
    if (breached < 0) return line::token_test;
    if (breached) {
        raise_breach(kr::fstring({{"tree token cap breached: ", spent, py::str_empty}, {" > ", cap, py::str_empty}}),
                     py::str_token_cap, cap, spent);
        return line::token_breach;
    }
    return kr::None;
}

// ---------------------------------------------------------------------------
// Tallybook: pre-flight checks

kr::Result body::Tallybook::check_depth(kr::Call &, Handle self, Handle additional) {
    Ref cap = self.attr(py::str_max_spawn_depth);
    int uncapped = cap.le(py::int_0);
    if (uncapped < 0) return line::depth_test;
    if (uncapped) return kr::None;
    Ref would_be = self.attr(py::str_current_depth).plus(additional);
    if (!would_be) return line::depth_sum;
    int over = would_be.gt(cap);
    if (over < 0) return line::depth_compare;
    if (!over) return kr::None;
    raise_spawn_breach(kr::fstring({{"max_spawn_depth breached: would reach depth ", would_be, py::str_empty},
                                    {" (cap ", cap, py::str_empty},
                                    {")"}}),
                       py::str_max_spawn_depth, cap, would_be);
    return line::depth_breach;
}

kr::Result body::Tallybook::check_fanout(kr::Call &, Handle self, Handle count) {
    Ref cap = self.attr(py::str_max_spawn_fanout);
    int uncapped = cap.le(py::int_0);
    if (uncapped < 0) return line::fanout_test;
    if (uncapped) return kr::None;
    int over = count.gt(cap);
    if (over < 0) return line::fanout_compare;
    if (!over) return kr::None;
    raise_spawn_breach(kr::fstring({{"max_spawn_fanout breached: requested ", count, py::str_empty},
                                    {" children (cap ", cap, py::str_empty},
                                    {")"}}),
                       py::str_max_spawn_fanout, cap, count);
    return line::fanout_breach;
}

kr::Result body::Tallybook::check_concurrent(kr::Call &, Handle self, Handle additional) {
    Ref cap = self.attr(py::str_max_concurrent_spawns);
    int uncapped = cap.le(py::int_0);
    if (uncapped < 0) return line::concurrent_test;
    if (uncapped) return kr::None;
    Ref active = self.attr(py::str_active_child_count);
    Ref would_be = active.plus(additional);
    if (!would_be) return line::concurrent_sum;
    int over = would_be.gt(cap);
    if (over < 0) return line::concurrent_compare;
    if (!over) return kr::None;
    raise_spawn_breach(kr::fstring({{"max_concurrent_spawns breached: ", active, py::str_empty},
                                    {" in flight + ", additional, py::str_empty},
                                    {" requested (cap ", cap, py::str_empty},
                                    {")"}}),
                       py::str_max_concurrent_spawns, cap, would_be);
    return line::concurrent_breach;
}

kr::Result body::Tallybook::check_can_afford(kr::Call &, Handle self, kr::Real cost_usd) {
    Ref cap = self.attr(py::str_cost_cap_usd);
    int uncapped = cap.le(py::int_0);
    if (uncapped < 0) return line::afford_test;
    if (uncapped) return kr::None;
    Ref would_be = self.attr(py::str_spent_cost_usd).plus(cost_usd.value);
    if (!would_be) return line::afford_sum;
    int over = would_be.gt(cap);
    if (over < 0) return line::afford_compare;
    if (!over) return kr::None;
    Ref child = kr::new_float(cost_usd.value);
    if (!child) return line::afford_breach;
    raise_breach(kr::fstring({{"child of $", child, py::str_4f},
                              {" wouldn't fit: remaining $", self.method(py::str_remaining_usd), py::str_4f}}),
                 py::str_cost_cap_usd, cap, would_be);
    return line::afford_breach;
}

// ---------------------------------------------------------------------------
// Tallybook: child bookkeeping

kr::Result body::Tallybook::register_child_spawned(kr::Call &, Handle self) {
    if (!self.add_to(py::str_active_child_count, py::int_1)) return line::spawned_active;
    if (!self.add_to(py::str_cumulative_child_count, py::int_1)) {
        return line::spawned_cumulative;
    }
    return kr::None;
}

kr::Result body::Tallybook::register_child_completed(kr::Call &, Handle self) {
    if (!self.set(py::str_active_child_count,
                  kr::max(py::int_0, self.attr(py::str_active_child_count).minus(py::int_1)))) {
        return line::completed;
    }
    return kr::None;
}

// ---------------------------------------------------------------------------
// Tallybook: construction from guard records

kr::Result body::Tallybook::from_guards(kr::Call &, Handle cls, Handle guards) {
    Ref ledger = cls();
    if (!ledger) return line::make_ledger;
    kr::Loop each_guard{guards};
    while (Ref g = each_guard.next()) {
        Ref type = g.attr_or(py::str_type, Py_None);
        if (!type) return line::read_type;
        Ref action = g.attr_or(py::str_action, py::str_abort);
        if (!action) return line::read_action;
        int skip = action.ne(py::str_abort);
        if (skip < 0) return line::action_test;
        if (skip) continue;
        int is = type.eq(py::str_cost);
        if (is < 0) return line::cost_rule;
        if (is) {
            Ref current = ledger.attr(py::str_cost_cap_usd);
            int open = current.eq(py::float_0_0);
            Ref limit = open < 0 ? Ref() : g.method(py::str_limit_as_usd);
            if (!limit) return line::cost_limit;
            if (!ledger.set(py::str_cost_cap_usd, open ? limit : kr::min(current, limit))) return line::cost_assign;
            continue;
        }
        if ((is = type.eq(py::str_token_count)) < 0) return line::token_rule;
        if (is) {
            Ref limit = g.method(py::str_limit_as_count);
            if (!limit) return line::token_limit;
            Ref current = ledger.attr(py::str_token_cap);
            int open = current.eq(py::int_0);
            if (open < 0 || !ledger.set(py::str_token_cap, open ? limit : kr::min(current, limit))) {
                return line::token_assign;
            }
            continue;
        }
        if ((is = type.eq(py::str_spawn_depth)) < 0) return line::depth_rule;
        if (is) {
            if (!ledger.set(py::str_max_spawn_depth, g.method(py::str_limit_as_count))) return line::depth_limit;
            continue;
        }
        if ((is = type.eq(py::str_spawn_fanout)) < 0) return line::fanout_rule;
        if (is) {
            if (!ledger.set(py::str_max_spawn_fanout, g.method(py::str_limit_as_count))) return line::fanout_limit;
            continue;
        }
        if ((is = type.eq(py::str_spawn_concurrent)) < 0) return line::concurrent_rule;
        if (is) {
            if (!ledger.set(py::str_max_concurrent_spawns, g.method(py::str_limit_as_count)))
                return line::concurrent_limit;
            continue;
        }
        if ((is = type.eq(py::str_wall_time)) < 0) return line::wall_time_rule;
        if (is && !ledger.set(py::str_wall_time_cap_seconds, g.method(py::str_limit_as_seconds)))
            return line::wall_time_limit;
    }
    return ledger;
}

// ---------------------------------------------------------------------------
// Tallybook: trace snapshot

// The snapshot's entries in order, each keyed by the name of the field or
// method that gives its value.
const struct {
    const kr::Constant *key;
    bool method;   // the result of calling it, not the field
    bool rounded;  // round(value, 6)
} trace_entries[] = {
    {&py::str_cost_cap_usd, false, false},           {&py::str_token_cap, false, false},
    {&py::str_max_spawn_depth, false, false},        {&py::str_max_spawn_fanout, false, false},
    {&py::str_spent_cost_usd, false, true},          {&py::str_spent_tokens, false, false},
    {&py::str_current_depth, false, false},          {&py::str_active_child_count, false, false},
    {&py::str_cumulative_child_count, false, false}, {&py::str_remaining_usd, true, true},
    {&py::str_remaining_tokens, true, false},
};

// The snapshot's keys in order, each mapped to None: each snapshot starts
// as a copy of it.  Made by hand: the rendering writes the snapshot's
// literal, not this dict.
kr::Constant trace_template{[]() -> PyObject * {
    Ref keys = kr::new_dict();
    for (const auto &entry : trace_entries) {
        if (!keys.set_item(*entry.key, Py_None)) return nullptr;
    }
    return keys.release();
}};

kr::Result body::Tallybook::to_trace_data(kr::Call &, Handle self) {
    // A copy of the keys in order, whose values are then replaced: the same
    // dict as inserting the entries one by one, without growing it.
    Ref snapshot = kr::dict_of(trace_template);
    if (!snapshot) return line::trace_return;
    kr::Line entry_line = line::trace_first_entry;  // the entries stand one per line
    for (const auto &entry : trace_entries) {
        Ref value = entry.method ? self.method(*entry.key) : self.attr(*entry.key);
        if (entry.rounded) value = value.round(py::int_6);
        if (!snapshot.set_item(*entry.key, value)) return entry_line;
        entry_line.number++;
    }
    return snapshot;
}

}  // namespace

#include "tallybook_tables.hpp"
