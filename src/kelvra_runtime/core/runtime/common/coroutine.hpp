// The coroutine object of asynchronous functions, shared by the files that
// implement it: coroutine_protocol.cpp drives it (send, throw, close and
// the awaits of its body), coroutine_type.cpp is the type (layout, life
// cycle, attributes) and await_wrapper.cpp the iterator `__await__`
// returns.
//
// Calling an `async def` binds its arguments and returns a coroutine that
// owns them; the body runs step by step as the coroutine is driven.  The
// object follows the host's native coroutine: the same states, the same
// errors, `__await__` returning a `coroutine_wrapper`-like iterator, and
// `await` inside the body delegating like `yield from` (values yielded by
// the awaited iterator go straight out to whoever drives us, and what they
// send or throw goes straight in).
//
// States:
//   Created    never run; sending None starts the body
//   Running    a step (or an awaited iterator on our behalf) is executing
//   Suspended  an awaited iterator yielded a value out; `co.inner_` holds it
//   Finished   returned, raised or closed; arguments and state released
#pragma once

#include <cstring>
#include <new>
#include <utility>

#include "internal.hpp"

namespace kr {

enum class FrameState : unsigned char { Created, Running, Suspended, Finished };

struct CoroutineObject {
    PyObject_HEAD Coroutine co;
    Ref function;
    // Taken from the function at the call, as native coroutines do; they are
    // strings, so they never take part in a cycle and survive tp_clear.
    Ref name;
    Ref qualname;
    // Where the call was made, when the host tracks coroutine origins.
    Ref origin;
    // The frame `cr_frame` last made, and the line it stands at; made only
    // when asked for, and dropped with the body.
    Ref frame;
    int frame_line;
    FrameState state;
    // Where an awaiting body's state lives.
    alignas(std::max_align_t) unsigned char state_storage[kMaxStateSize];

    // Constructs the members of a new object for a call of `function`,
    // taking references to the bound arguments.
    void construct(FunctionObject *function, PyObject *const *args, const double *reals) {
        new (&co) Coroutine();
        new (&this->function) Ref(Ref::borrow(reinterpret_cast<PyObject *>(function)));
        new (&name) Ref(Ref::borrow(function->name));
        new (&qualname) Ref(Ref::borrow(function->qualname));
        new (&origin) Ref();
        new (&frame) Ref();
        frame_line = 0;
        state = FrameState::Created;
        co.globals_ = function->globals;
        co.nargs_ = function->nparams;
        for (Py_ssize_t i = 0; i < function->nparams; ++i) {
            co.args_[i] = Py_NewRef(args[i]);
        }
        // Only the parameters converted to float have doubles; copied as
        // bytes, the others' unset ones with them.
        std::memcpy(co.reals_, reals, static_cast<std::size_t>(function->nparams) * sizeof(double));
        if (const StateType *type = function->def->state) {
            co.state_ = state_storage;
            type->construct(co.state_);
        }
    }

    FunctionObject *def_function() const { return reinterpret_cast<FunctionObject *>(function.get()); }
    const FunctionDef &def() const { return *def_function()->def; }
    Ref &inner() { return co.inner_; }
    // The line of the statement that failed in the body.
    int failed_line() const { return co.line_; }
    // The line the body stands at: its latest await, or 0 (the def line).
    int await_line() const { return co.await_line_; }

    // The body's next step (or its only one): see Step.
    PyObject *step(PyObject *sent) {
        const FunctionDef &d = def();
        if (d.step != nullptr) return d.step(co, sent);
        // A body that never awaits runs whole on the first step.
        if (d.body == nullptr) return Py_NewRef(Py_None);
        Call call(co.globals_, co.args_, co.reals_);
        PyObject *result = d.body(call);
        if (result == nullptr) co.line_ = call.line();
        return result;
    }

    // Drops what only the body needs: arguments, state, the awaited iterator.
    void release_body() {
        co.inner_.reset();
        frame.reset();
        if (co.state_ != nullptr) {
            void *state = std::exchange(co.state_, nullptr);
            def().state->destroy(state);
        }
        // Forgotten before they go, as releasing one may run code that looks.
        Py_ssize_t bound = std::exchange(co.nargs_, 0);
        for (Py_ssize_t i = 0; i < bound; ++i) {
            Py_DECREF(co.args_[i]);
        }
    }

    static int traverse(PyObject *op, visitproc visit, void *arg) {
        auto *self = reinterpret_cast<CoroutineObject *>(op);
        Py_VISIT(Py_TYPE(op));
        Py_VISIT(self->function.get());
        for (Py_ssize_t i = 0; i < self->co.nargs_; ++i) {
            Py_VISIT(self->co.args_[i]);
        }
        Py_VISIT(self->inner().get());
        Py_VISIT(self->frame.get());
        if (self->co.state_ != nullptr) {
            return self->def().state->traverse(self->co.state_, visit, arg);
        }
        return 0;
    }

    static int clear(PyObject *op) {
        auto *self = reinterpret_cast<CoroutineObject *>(op);
        // Finalizers ran before the collector clears us; nothing may step the
        // body once its function and arguments are gone.
        self->state = FrameState::Finished;
        self->release_body();
        self->co.globals_ = nullptr;
        self->function.reset();
        return 0;
    }
};

inline CoroutineObject *as_coroutine(PyObject *op) { return reinterpret_cast<CoroutineObject *>(op); }

// The protocol (coroutine_protocol.cpp), shared by the coroutine and its
// await wrapper.

// The host's gen_send_ex2: `exc` raises the pending error at the point
// where the body waits; `closing` is set by close(), which finishes quietly.
PySendResult coroutine_send_ex(CoroutineObject *self, PyObject *arg, bool exc, bool closing, PyObject **presult);
// send(arg), throw(typ[, val[, tb]]) and close(), as the methods answer.
PyObject *coroutine_send_impl(CoroutineObject *self, PyObject *arg);
PyObject *coroutine_throw_impl(CoroutineObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *coroutine_close_impl(CoroutineObject *self);
// Raises `value` as a StopIteration that carries it.
void set_stop_value(PyObject *value);
// Interns the protocol's attribute names; -1 with the error set.
int init_coroutine_protocol();

// The method documentation shared by the coroutine and its wrapper.
extern const char coroutine_send_doc[];
extern const char coroutine_throw_doc[];
extern const char coroutine_close_doc[];

// The await wrapper (await_wrapper.cpp): the coroutine's `__await__`, and
// the wrapper's type spec.
PyObject *coroutine_await(PyObject *op);
extern PyType_Spec await_wrapper_spec;

}  // namespace kr
