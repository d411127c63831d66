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
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "common/frame.hpp"
#include "tallybook_decl.hpp"

namespace {

using kr::machine_int;
using kr::Ref;
using kr::steal;

kr::Constant str_cost_cap_usd{"cost_cap_usd"};
kr::Constant str_token_cap{"token_cap"};
kr::Constant str_wall_time_cap_seconds{"wall_time_cap_seconds"};
kr::Constant str_max_spawn_depth{"max_spawn_depth"};
kr::Constant str_max_spawn_fanout{"max_spawn_fanout"};
kr::Constant str_max_concurrent_spawns{"max_concurrent_spawns"};
kr::Constant str_spent_cost_usd{"spent_cost_usd"};
kr::Constant str_spent_tokens{"spent_tokens"};
kr::Constant str_current_depth{"current_depth"};
kr::Constant str_active_child_count{"active_child_count"};
kr::Constant str_cumulative_child_count{"cumulative_child_count"};
kr::Constant str_tool_call_counts{"tool_call_counts"};
kr::Constant str_remaining_usd{"remaining_usd"};
kr::Constant str_remaining_tokens{"remaining_tokens"};
kr::Constant str_cap_name{"cap_name"};
kr::Constant str_cap_value{"cap_value"};
kr::Constant str_would_be{"would_be"};
kr::Constant str_init{"__init__"};
kr::Constant str_dict{"__dict__"};
kr::Constant str_args{"args"};
kr::Constant str_get{"get"};
kr::Constant str_type{"type"};
kr::Constant str_action{"action"};
kr::Constant str_abort{"abort"};
kr::Constant str_cost{"cost"};
kr::Constant str_token_count{"token_count"};
kr::Constant str_spawn_depth{"spawn_depth"};
kr::Constant str_spawn_fanout{"spawn_fanout"};
kr::Constant str_spawn_concurrent{"spawn_concurrent"};
kr::Constant str_wall_time{"wall_time"};
kr::Constant str_limit_as_usd{"limit_as_usd"};
kr::Constant str_limit_as_count{"limit_as_count"};
kr::Constant str_limit_as_seconds{"limit_as_seconds"};
kr::Constant spec_plain{""};
kr::Constant spec_fixed4{".4f"};

// Objects made once, at the first exec that reaches the module body.
kr::Constant int_zero{[] { return PyLong_FromLong(0); }};
kr::Constant int_one{[] { return PyLong_FromLong(1); }};
kr::Constant int_six{[] { return PyLong_FromLong(6); }};
kr::Constant float_zero{[] { return PyFloat_FromDouble(0.0); }};
const char *const breach_names[] = {"cap_name", "cap_value", "would_be"};
kr::Constant breach_keywords{breach_names};
kr::Constant builtin_round{[] { return kr::builtin("round"); }};

// ---------------------------------------------------------------------------
// Numbers

// `value > zero` (op Py_GT) or `value <= zero` (op Py_LE), `zero` being
// the statement's int 0 or float 0.0; an exact float or int answers from
// its sign, which is what either zero gives it.
int against_zero(PyObject *value, int op, PyObject *zero) {
    if (PyFloat_CheckExact(value)) {
        double x = PyFloat_AS_DOUBLE(value);
        return op == Py_GT ? x > 0.0 : x <= 0.0;
    }
    long long x;
    if (machine_int(value, &x)) return op == Py_GT ? x > 0 : x <= 0;
    int sign;
    if (PyLong_CheckExact(value) && PyLong_GetSign(value, &sign) == 0) return op == Py_GT ? sign > 0 : sign <= 0;
    return kr::compare(value, op, zero);
}

// `value + x` for the float x, through `add` (the host's addition or its
// in-place form); an exact float adds as a double.
PyObject *plus_real(PyObject *value, double x, binaryfunc add) {
    if (PyFloat_CheckExact(value)) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(value) + x);
    Ref term = steal(PyFloat_FromDouble(x));
    return term ? add(value, term.get()) : nullptr;
}

// `value + term` through `add` (the host's addition or its in-place form);
// small exact ints add as machine integers.
PyObject *plus(PyObject *value, PyObject *term, binaryfunc add) {
    long long x, y;
    if (machine_int(value, &x) && machine_int(term, &y)) return PyLong_FromLongLong(x + y);
    return add(value, term);
}

// `value - term`; small exact ints subtract as machine integers.
PyObject *minus(PyObject *value, PyObject *term) {
    long long x, y;
    if (machine_int(value, &x) && machine_int(term, &y)) return PyLong_FromLongLong(x - y);
    return PyNumber_Subtract(value, term);
}

// ---------------------------------------------------------------------------
// Breaches

// One fragment of a breach message: fixed text, then `format(value, spec)`
// unless `value` is null.
struct Piece {
    const char *text;
    PyObject *value = nullptr;
    PyObject *spec = nullptr;
};

// The concatenation of the pieces, in order: the values are formatted
// first, then the text is made at its full length and written once (the
// fixed texts are ASCII).
Ref message(std::initializer_list<Piece> pieces) {
    constexpr std::size_t kMaxPieces = 4;
    if (pieces.size() > kMaxPieces) {
        PyErr_SetString(PyExc_SystemError, "too many message pieces");
        return Ref();
    }
    Ref formatted[kMaxPieces];
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    std::size_t i = 0;
    for (const Piece &piece : pieces) {
        length += static_cast<Py_ssize_t>(std::strlen(piece.text));
        if (piece.value != nullptr) {
            formatted[i] = steal(PyObject_Format(piece.value, piece.spec));
            if (!formatted[i]) return Ref();
            length += PyUnicode_GET_LENGTH(formatted[i].get());
            widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(formatted[i].get()));
        }
        i++;
    }
    Ref text = steal(PyUnicode_New(length, widest));
    if (!text) return Ref();
    int kind = PyUnicode_KIND(text.get());
    void *data = PyUnicode_DATA(text.get());
    Py_ssize_t at = 0;
    i = 0;
    for (const Piece &piece : pieces) {
        std::size_t n = std::strlen(piece.text);
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<Py_UCS1 *>(data) + at, piece.text, n);
            at += static_cast<Py_ssize_t>(n);
        }
        else {
            for (std::size_t c = 0; c < n; c++) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(piece.text[c]));
        }
        if (PyObject *value = formatted[i++].get()) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(value);
            if (PyUnicode_KIND(value) == kind) {
                std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(value),
                            static_cast<std::size_t>(n) * kind);
            }
            else if (PyUnicode_CopyCharacters(text.get(), at, value, 0, n) < 0) {
                return Ref();
            }
            at += n;
        }
    }
    return text;
}

// `raise BudgetExceeded(message, cap_name=..., cap_value=..., would_be=...)`;
// a null message means its error is set already.
void raise_breach(const Ref &text, PyObject *cap_name, PyObject *cap_value, PyObject *would_be) {
    if (!text) return;
    Ref error =
        steal(kr::call_with_keywords(cls::BudgetExceeded, breach_keywords, text.get(), cap_name, cap_value, would_be));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
}

// The spawn checks report their cap and the would-be value through float().
void raise_spawn_breach(const Ref &text, PyObject *cap_name, PyObject *cap, PyObject *would_be) {
    if (!text) return;
    Ref cap_value = steal(PyNumber_Float(cap));
    Ref would_value = cap_value ? steal(PyNumber_Float(would_be)) : Ref();
    if (would_value) raise_breach(text, cap_name, cap_value.get(), would_value.get());
}

// ---------------------------------------------------------------------------
// BudgetExceeded

kr::Result body::BudgetExceeded::init(kr::Call &call, kr::Handle self, kr::Handle reason, kr::Handle cap_name,
                                      kr::Real cap_value, kr::Real would_be) {
    if (kr::set_attr(self, str_cap_name, call[2]) < 0) return call.fail(line::set_cap_name);
    if (!self.set(str_cap_value, cap_value.as_float())) {
        return call.fail(line::set_cap_value);
    }
    if (!self.set(str_would_be, would_be.as_float())) return call.fail(line::set_would_be);
    // super().__init__(reason): the class after BudgetExceeded in the MRO.
    PyObject *super_args[] = {cls::BudgetExceeded, self};
    Ref base = steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), super_args, 2, nullptr));
    Ref done = base ? steal(PyObject_CallMethodOneArg(base.get(), str_init, reason)) : Ref();
    if (!done) return call.fail(line::base_init);
    Py_RETURN_NONE;
}

// The host's default reduction would call the class with the reason alone,
// which the keyword-only parameters refuse: rebuild through a partial that
// carries them, then restore the instance dict (notes and all).
kr::Result body::BudgetExceeded::reduce(kr::Call &call, kr::Handle self) {
    Ref cap_name = steal(kr::get_attr(self, str_cap_name));
    Ref cap_value = cap_name ? steal(kr::get_attr(self, str_cap_value)) : Ref();
    Ref would_be = cap_value ? steal(kr::get_attr(self, str_would_be)) : Ref();
    if (!would_be) return call.fail(line::reduce_reads);
    Ref partial = steal(PyImport_ImportModuleAttrString("functools", "partial"));
    if (!partial) return call.fail(line::reduce_import);
    Ref rebuild =
        steal(kr::call_with_keywords(partial.get(), breach_keywords, reinterpret_cast<PyObject *>(Py_TYPE(self)),
                                     cap_name.get(), cap_value.get(), would_be.get()));
    Ref reason = rebuild ? steal(kr::get_attr(self, str_args)) : Ref();
    Ref state = reason ? steal(kr::get_attr(self, str_dict)) : Ref();
    PyObject *result = state ? PyTuple_Pack(3, rebuild.get(), reason.get(), state.get()) : nullptr;
    return result ? result : call.fail(line::reduce);
}

// ---------------------------------------------------------------------------
// Tallybook: remaining budget

kr::Result body::Tallybook::remaining_usd(kr::Call &call, kr::Handle self) {
    Ref cap = steal(kr::get_attr(self, str_cost_cap_usd));
    int off = cap ? against_zero(cap.get(), Py_LE, int_zero) : -1;
    if (off < 0) return call.fail(line::remaining_usd_test);
    if (off) return Py_NewRef(float_zero);
    // The difference reads both fields again.
    cap = steal(kr::get_attr(self, str_cost_cap_usd));
    Ref spent = cap ? steal(kr::get_attr(self, str_spent_cost_usd)) : Ref();
    if (!spent) return call.fail(line::remaining_usd);
    Ref left;
    if (PyFloat_CheckExact(cap.get()) && PyFloat_CheckExact(spent.get())) {
        left = steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(cap.get()) - PyFloat_AS_DOUBLE(spent.get())));
    }
    else {
        left = steal(PyNumber_Subtract(cap.get(), spent.get()));
    }
    int positive = left ? against_zero(left.get(), Py_GT, float_zero) : -1;
    if (positive < 0) return call.fail(line::remaining_usd);
    return positive ? left.release() : Py_NewRef(float_zero);
}

kr::Result body::Tallybook::remaining_tokens(kr::Call &call, kr::Handle self) {
    Ref cap = steal(kr::get_attr(self, str_token_cap));
    int off = cap ? against_zero(cap.get(), Py_LE, int_zero) : -1;
    if (off < 0) return call.fail(line::remaining_tokens_test);
    if (off) return Py_NewRef(int_zero);
    Ref spent = steal(kr::get_attr(self, str_spent_tokens));
    Ref left = spent ? steal(minus(cap.get(), spent.get())) : Ref();
    int positive = left ? against_zero(left.get(), Py_GT, int_zero) : -1;
    if (positive < 0) return call.fail(line::remaining_tokens);
    if (!positive) return Py_NewRef(int_zero);
    // The declared int result: another number goes through int().
    if (PyLong_CheckExact(left.get())) return left.release();
    if (!PyNumber_Check(left.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.5s, got %.200s", "int", Py_TYPE(left.get())->tp_name);
        return call.fail(line::remaining_tokens);
    }
    PyObject *count = PyNumber_Long(left.get());
    return count ? count : call.fail(line::remaining_tokens);
}

// ---------------------------------------------------------------------------
// Tallybook: debit

// `self.tool_call_counts[name] = self.tool_call_counts.get(name, 0) + 1`
int count_tool_call(PyObject *self, PyObject *name) {
    Ref counts = steal(kr::get_attr(self, str_tool_call_counts));
    if (!counts) return -1;
    bool exact = PyDict_CheckExact(counts.get());
    Ref current;
    if (exact) {
        PyObject *found;
        if (PyDict_GetItemRef(counts.get(), name, &found) < 0) return -1;
        current = found ? steal(found) : kr::new_ref(int_zero);
    }
    else {
        current = steal(kr::call_method(str_get, counts.get(), name, int_zero));
        if (!current) return -1;
    }
    Ref next = steal(plus(current.get(), int_one, PyNumber_Add));
    if (!next) return -1;
    return exact ? PyDict_SetItem(counts.get(), name, next.get()) : PyObject_SetItem(counts.get(), name, next.get());
}

kr::Result body::Tallybook::debit(kr::Call &call, kr::Handle self, kr::Real cost_usd, kr::Handle tokens,
                                  kr::Handle tool_name) {
    double cost = call.real(1) > 0.0 ? call.real(1) : 0.0;  // a NaN cost counts as 0.0
    int positive = against_zero(call[2], Py_GT, int_zero);
    if (positive < 0) return call.fail(line::clamp_tokens);
    PyObject *clamped = positive ? tokens.get() : int_zero.get();

    Ref spent = steal(kr::get_attr(self, str_spent_cost_usd));
    Ref spent_after = spent ? steal(plus_real(spent.get(), cost, PyNumber_InPlaceAdd)) : Ref();
    if (!spent_after || kr::set_attr(self, str_spent_cost_usd, spent_after.get()) < 0) {
        return call.fail(line::add_cost);
    }
    Ref used = steal(kr::get_attr(self, str_spent_tokens));
    Ref used_after = used ? steal(plus(used.get(), clamped, PyNumber_InPlaceAdd)) : Ref();
    if (!used_after || kr::set_attr(self, str_spent_tokens, used_after.get()) < 0) {
        return call.fail(line::add_tokens);
    }
    if (tool_name != Py_None && PyUnicode_GET_LENGTH(tool_name) > 0 && count_tool_call(self, tool_name) < 0) {
        return call.fail(line::count_tool);
    }

    Ref cost_cap = steal(kr::get_attr(self, str_cost_cap_usd));
    int capped = cost_cap ? against_zero(cost_cap.get(), Py_GT, int_zero) : -1;
    if (capped > 0) {
        spent = steal(kr::get_attr(self, str_spent_cost_usd));
        capped = spent ? kr::compare(spent.get(), Py_GT, cost_cap.get()) : -1;
    }
    if (capped < 0) return call.fail(line::cost_test);
    if (capped) {
        raise_breach(message({{"tree cost cap breached: spent=$", spent.get(), spec_fixed4},
                              {" > cap=$", cost_cap.get(), spec_fixed4}}),
                     str_cost_cap_usd, cost_cap.get(), spent.get());
        return call.fail(line::cost_breach);
    }

    Ref token_cap = steal(kr::get_attr(self, str_token_cap));
    capped = token_cap ? against_zero(token_cap.get(), Py_GT, int_zero) : -1;
    if (capped > 0) {
        used = steal(kr::get_attr(self, str_spent_tokens));
        capped = used ? kr::compare(used.get(), Py_GT, token_cap.get()) : -1;
    }
    if (capped < 0) return call.fail(line::token_test);
    if (capped) {
        raise_breach(
            message({{"tree token cap breached: ", used.get(), spec_plain}, {" > ", token_cap.get(), spec_plain}}),
            str_token_cap, token_cap.get(), used.get());
        return call.fail(line::token_breach);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Tallybook: pre-flight checks

// Reads the cap field `name` into `cap`: 1 when it is a cap, 0 when it is
// 0 or less (no cap), -1 on error.
int read_cap(PyObject *self, PyObject *name, Ref &cap) {
    cap = steal(kr::get_attr(self, name));
    if (!cap) return -1;
    int off = against_zero(cap.get(), Py_LE, int_zero);
    return off < 0 ? -1 : !off;
}

// `self.<name> + additional`
PyObject *field_plus(PyObject *self, PyObject *name, PyObject *additional) {
    Ref base = steal(kr::get_attr(self, name));
    return base ? plus(base.get(), additional, PyNumber_Add) : nullptr;
}

kr::Result body::Tallybook::check_depth(kr::Call &call, kr::Handle self, kr::Handle additional) {
    Ref cap;
    int capped = read_cap(self, str_max_spawn_depth, cap);
    if (capped < 0) return call.fail(line::depth_test);
    if (!capped) Py_RETURN_NONE;
    Ref would_be = steal(field_plus(self, str_current_depth, additional));
    if (!would_be) return call.fail(line::depth_sum);
    int over = kr::compare(would_be.get(), Py_GT, cap.get());
    if (over < 0) return call.fail(line::depth_compare);
    if (!over) Py_RETURN_NONE;
    raise_spawn_breach(message({{"max_spawn_depth breached: would reach depth ", would_be.get(), spec_plain},
                                {" (cap ", cap.get(), spec_plain},
                                {")"}}),
                       str_max_spawn_depth, cap.get(), would_be.get());
    return call.fail(line::depth_breach);
}

kr::Result body::Tallybook::check_fanout(kr::Call &call, kr::Handle self, kr::Handle count) {
    Ref cap;
    int capped = read_cap(self, str_max_spawn_fanout, cap);
    if (capped < 0) return call.fail(line::fanout_test);
    if (!capped) Py_RETURN_NONE;
    int over = kr::compare(count, Py_GT, cap.get());
    if (over < 0) return call.fail(line::fanout_compare);
    if (!over) Py_RETURN_NONE;
    raise_spawn_breach(message({{"max_spawn_fanout breached: requested ", count, spec_plain},
                                {" children (cap ", cap.get(), spec_plain},
                                {")"}}),
                       str_max_spawn_fanout, cap.get(), count);
    return call.fail(line::fanout_breach);
}

kr::Result body::Tallybook::check_concurrent(kr::Call &call, kr::Handle self, kr::Handle additional) {
    Ref cap;
    int capped = read_cap(self, str_max_concurrent_spawns, cap);
    if (capped < 0) return call.fail(line::concurrent_test);
    if (!capped) Py_RETURN_NONE;
    Ref active = steal(kr::get_attr(self, str_active_child_count));
    Ref would_be = active ? steal(plus(active.get(), additional, PyNumber_Add)) : Ref();
    if (!would_be) return call.fail(line::concurrent_sum);
    int over = kr::compare(would_be.get(), Py_GT, cap.get());
    if (over < 0) return call.fail(line::concurrent_compare);
    if (!over) Py_RETURN_NONE;
    raise_spawn_breach(message({{"max_concurrent_spawns breached: ", active.get(), spec_plain},
                                {" in flight + ", additional, spec_plain},
                                {" requested (cap ", cap.get(), spec_plain},
                                {")"}}),
                       str_max_concurrent_spawns, cap.get(), would_be.get());
    return call.fail(line::concurrent_breach);
}

kr::Result body::Tallybook::check_can_afford(kr::Call &call, kr::Handle self, kr::Real cost_usd) {
    double cost = call.real(1);
    Ref cap;
    int capped = read_cap(self, str_cost_cap_usd, cap);
    if (capped < 0) return call.fail(line::afford_test);
    if (!capped) Py_RETURN_NONE;
    Ref spent = steal(kr::get_attr(self, str_spent_cost_usd));
    if (!spent) return call.fail(line::afford_sum);
    // Exact floats that fit pass without making the sum (a NaN sum fits).
    if (PyFloat_CheckExact(spent.get()) && PyFloat_CheckExact(cap.get()) &&
        !(PyFloat_AS_DOUBLE(spent.get()) + cost > PyFloat_AS_DOUBLE(cap.get()))) {
        Py_RETURN_NONE;
    }
    Ref would_be = steal(plus_real(spent.get(), cost, PyNumber_Add));
    if (!would_be) return call.fail(line::afford_sum);
    int over = kr::compare(would_be.get(), Py_GT, cap.get());
    if (over < 0) return call.fail(line::afford_compare);
    if (!over) Py_RETURN_NONE;
    Ref child = steal(PyFloat_FromDouble(cost));
    Ref remaining = child ? steal(PyObject_CallMethodNoArgs(self, str_remaining_usd)) : Ref();
    if (remaining) {
        raise_breach(message({{"child of $", child.get(), spec_fixed4},
                              {" wouldn't fit: remaining $", remaining.get(), spec_fixed4}}),
                     str_cost_cap_usd, cap.get(), would_be.get());
    }
    return call.fail(line::afford_breach);
}

// ---------------------------------------------------------------------------
// Tallybook: child bookkeeping

// `self.<name> += 1`
int increment(PyObject *self, PyObject *name) {
    Ref value = steal(kr::get_attr(self, name));
    Ref next = value ? steal(plus(value.get(), int_one, PyNumber_InPlaceAdd)) : Ref();
    return next ? kr::set_attr(self, name, next.get()) : -1;
}

kr::Result body::Tallybook::register_child_spawned(kr::Call &call, kr::Handle self) {
    if (increment(self, str_active_child_count) < 0) return call.fail(line::spawned_active);
    if (increment(self, str_cumulative_child_count) < 0) return call.fail(line::spawned_cumulative);
    Py_RETURN_NONE;
}

kr::Result body::Tallybook::register_child_completed(kr::Call &call, kr::Handle self) {
    Ref active = steal(kr::get_attr(self, str_active_child_count));
    Ref fewer = active ? steal(minus(active.get(), int_one)) : Ref();
    int positive = fewer ? against_zero(fewer.get(), Py_GT, int_zero) : -1;
    if (positive < 0 || kr::set_attr(self, str_active_child_count, positive ? fewer.get() : int_zero) < 0) {
        return call.fail(line::completed);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Tallybook: construction from guard records

// What an "abort" guard of one type does to the ledger: its limit replaces
// the field, or, with a `zero` (the statement's 0 or 0.0), only when the
// field equals it or the limit is strictly less (the tightest non-zero
// limit wins).
struct GuardRule {
    const kr::Constant *type;
    const kr::Constant *field;
    const kr::Constant *limit;
    const kr::Constant *zero;  // null: the last limit wins
    bool limit_first;          // the limit is fetched before the current cap is read
    int test_line;
    int limit_line;
    int assign_line;
};

const GuardRule guard_rules[] = {
    {&str_cost, &str_cost_cap_usd, &str_limit_as_usd, &float_zero, false, line::cost_rule, line::cost_limit,
     line::cost_assign},
    {&str_token_count, &str_token_cap, &str_limit_as_count, &int_zero, true, line::token_rule, line::token_limit,
     line::token_assign},
    {&str_spawn_depth, &str_max_spawn_depth, &str_limit_as_count, nullptr, true, line::depth_rule, line::depth_limit,
     line::depth_limit},
    {&str_spawn_fanout, &str_max_spawn_fanout, &str_limit_as_count, nullptr, true, line::fanout_rule,
     line::fanout_limit, line::fanout_limit},
    {&str_spawn_concurrent, &str_max_concurrent_spawns, &str_limit_as_count, nullptr, true, line::concurrent_rule,
     line::concurrent_limit, line::concurrent_limit},
    {&str_wall_time, &str_wall_time_cap_seconds, &str_limit_as_seconds, nullptr, true, line::wall_time_rule,
     line::wall_time_limit, line::wall_time_limit},
};

// Reads the current cap of `rule` into `current`: 1 when it is open (equal
// to the rule's zero), 0 when not, -1 on error.
int read_open_cap(PyObject *ledger, const GuardRule &rule, Ref &current) {
    current = steal(kr::get_attr(ledger, *rule.field));
    return current ? kr::compare(current.get(), Py_EQ, *rule.zero) : -1;
}

// Applies `rule` for `guard`; returns 0, or the failing line with the error set.
int apply_rule(PyObject *ledger, PyObject *guard, const GuardRule &rule) {
    Ref current;
    int open = 1;
    if (rule.zero != nullptr && !rule.limit_first) {
        // Read on the limit's line, before the limit is fetched.
        open = read_open_cap(ledger, rule, current);
        if (open < 0) return rule.limit_line;
    }
    Ref limit = steal(PyObject_CallMethodNoArgs(guard, *rule.limit));
    if (!limit) return rule.limit_line;
    if (rule.zero != nullptr && rule.limit_first) {
        open = read_open_cap(ledger, rule, current);
        if (open < 0) return rule.assign_line;
    }
    Ref chosen = limit;
    if (!open) {
        // min(current, limit): the limit replaces the cap only when strictly less.
        int tighter = kr::compare(limit.get(), Py_LT, current.get());
        if (tighter < 0) return rule.assign_line;
        if (!tighter) chosen = current;
    }
    return kr::set_attr(ledger, *rule.field, chosen.get()) < 0 ? rule.assign_line : 0;
}

// `getattr(guard, name, fallback)`
PyObject *attribute_or(PyObject *guard, PyObject *name, PyObject *fallback) {
    PyObject *value;
    int found = PyObject_GetOptionalAttr(guard, name, &value);
    if (found < 0) return nullptr;
    return found ? value : Py_NewRef(fallback);
}

// Reads one guard record into the ledger; returns 0, or the failing line
// with the error set.
int apply_guard(PyObject *ledger, PyObject *guard) {
    Ref type = steal(attribute_or(guard, str_type, Py_None));
    if (!type) return line::read_type;
    Ref action = steal(attribute_or(guard, str_action, str_abort));
    if (!action) return line::read_action;
    int skip = kr::compare(action.get(), Py_NE, str_abort);
    if (skip < 0) return line::action_test;
    if (skip) return 0;
    // The rules' types are distinct interned strs: an exact str that is one
    // of them equals it and none before it, as the comparisons would find.
    if (PyUnicode_CheckExact(type.get())) {
        for (const GuardRule &rule : guard_rules) {
            if (type.get() == *rule.type) return apply_rule(ledger, guard, rule);
        }
    }
    for (const GuardRule &rule : guard_rules) {
        int match = kr::compare(type.get(), Py_EQ, *rule.type);
        if (match < 0) return rule.test_line;
        if (match) return apply_rule(ledger, guard, rule);
    }
    return 0;
}

kr::Result body::Tallybook::from_guards(kr::Call &call, kr::Handle cls, kr::Handle guards) {
    Ref ledger = steal(PyObject_CallNoArgs(cls));
    if (!ledger) return call.fail(line::make_ledger);
    // As the host's list iterator: the length is read again at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(guards.get()); i++) {
        Ref guard = kr::new_ref(PyList_GET_ITEM(guards.get(), i));
        int line = apply_guard(ledger.get(), guard.get());
        if (line != 0) return call.fail(line);
    }
    return ledger.release();
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
    {&str_cost_cap_usd, false, false},           {&str_token_cap, false, false},
    {&str_max_spawn_depth, false, false},        {&str_max_spawn_fanout, false, false},
    {&str_spent_cost_usd, false, true},          {&str_spent_tokens, false, false},
    {&str_current_depth, false, false},          {&str_active_child_count, false, false},
    {&str_cumulative_child_count, false, false}, {&str_remaining_usd, true, true},
    {&str_remaining_tokens, true, false},
};

// The snapshot's keys in order, each mapped to None: each snapshot starts
// as a copy of it.
kr::Constant trace_template{[]() -> PyObject * {
    Ref keys = steal(PyDict_New());
    if (!keys) return nullptr;
    for (const auto &entry : trace_entries) {
        if (PyDict_SetItem(keys.get(), *entry.key, Py_None) < 0) return nullptr;
    }
    return keys.release();
}};

// `round(x, 6)` of a finite double as float's rounding computes it: the
// multiple of 10**-6 nearest to x (ties to even), as the double nearest to
// it.  For |x| * 10**6 below 2**53 that multiple is q * 10**-6 with q
// exact as a double, so the nearest double is the correctly rounded
// quotient q / 10**6; q comes from x * 10**6 formed exactly in 128 bits.
// False when |x| is too large for that.
bool round6_exact(double x, double *out) {
    double magnitude = std::fabs(x);
    if (!(magnitude < 9.0e9)) return false;
    if (magnitude == 0.0) {
        *out = x;
        return true;
    }
    int exponent;
    double fraction = std::frexp(magnitude, &exponent);
    // magnitude = mantissa / 2**shift, with shift >= 19 below 9e9.
    auto mantissa = static_cast<unsigned long long>(std::ldexp(fraction, 53));
    int shift = 53 - exponent;
    unsigned long long q = 0;  // beyond 120 bits of shift, x * 10**6 < 1/2
    if (shift <= 120) {
        unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000000u;
        unsigned __int128 whole = scaled >> shift;
        unsigned __int128 rest = scaled - (whole << shift);
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (whole & 1) != 0)) whole++;
        q = static_cast<unsigned long long>(whole);
    }
    *out = std::copysign(static_cast<double>(q) / 1e6, x);
    return true;
}

// `round(value, 6)`.  An exact float that is infinite, NaN or a whole
// number rounds to itself (its decimal digits name it exactly); others in
// range round exactly as above.
PyObject *round6(PyObject *value) {
    if (PyFloat_CheckExact(value)) {
        double x = PyFloat_AS_DOUBLE(value), rounded;
        if (!std::isfinite(x) || std::trunc(x) == x) return PyFloat_FromDouble(x);
        if (round6_exact(x, &rounded)) return PyFloat_FromDouble(rounded);
    }
    PyObject *args[] = {value, int_six};
    return PyObject_Vectorcall(builtin_round, args, 2, nullptr);
}

kr::Result body::Tallybook::to_trace_data(kr::Call &call, kr::Handle self) {
    // A copy of the keys in order, whose values are then replaced: the same
    // dict as inserting the entries one by one, without growing it.
    Ref snapshot = steal(PyDict_Copy(trace_template));
    if (!snapshot) return call.fail(line::trace_return);
    int line = line::trace_first_entry;
    for (const auto &entry : trace_entries) {
        Ref value = steal(entry.method ? PyObject_CallMethodNoArgs(self, *entry.key) : kr::get_attr(self, *entry.key));
        if (value && entry.rounded) value = steal(round6(value.get()));
        if (!value || PyDict_SetItem(snapshot.get(), *entry.key, value.get()) < 0) return call.fail(line);
        line++;
    }
    return snapshot.release();
}

}  // namespace

#include "tallybook_tables.hpp"
