// The coroutine object of asynchronous functions, shared by the files that
// implement it: coroutine_protocol.cpp drives it (send, throw, close and
// the awaits of its body), coroutine_type.cpp is the type (layout, life
// cycle, attributes) and await_wrapper.cpp the iterator `__await__`
// returns.
//
// Calling an `async def` binds its arguments and returns a coroutine that
// owns them; the body runs as the coroutine is driven: a plain body whole
// on the first send, an awaiting body (a C++ coroutine, see Task) from
// await to await.  The object follows the host's native coroutine: the
// same states, the same errors, `__await__` returning a
// `coroutine_wrapper`-like iterator, and `await` inside the body delegating
// like `yield from` (values yielded by the awaited iterator go straight out
// to whoever drives us, and what they send or throw goes straight in).
//
// States:
//   Created    never run; sending None starts the body
//   Running    the body (or an awaited iterator on our behalf) is executing
//   Suspended  an awaited iterator yielded a value out; `co.inner_` holds it
//   Finished   returned, raised or closed; arguments and frame released
#pragma once

#include <cstring>
#include <new>
#include <utility>

#include "common/internal.hpp"

namespace kr {

enum class FrameState : unsigned char { Created, Running, Suspended, Finished };

// The object is allocated with room for the body's frame after it (see
// Coroutine::allocate_frame), aligned as `new` aligns.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) CoroutineObject {
    PyObject_VAR_HEAD Coroutine co;
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
    // An awaiting body's C++ coroutine, once started.
    Task::Frame task;

    // Constructs the members of a new object for a call of `function`,
    // taking references to the bound arguments; `room` bytes follow the
    // object for the body's frame.
    void construct(FunctionObject *function, PyObject *const *args, const double *reals, std::size_t room) {
        new (&co) Coroutine();
        new (&this->function) Ref(Ref::borrow(reinterpret_cast<PyObject *>(function)));
        new (&name) Ref(Ref::borrow(function->name));
        new (&qualname) Ref(Ref::borrow(function->qualname));
        new (&origin) Ref();
        new (&frame) Ref();
        new (&task) Task::Frame();
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
        co.frame_room_ = reinterpret_cast<unsigned char *>(this + 1);
        co.frame_room_size_ = room;
        co.frame_size_ = &function->frame_size;
    }

    FunctionObject *def_function() const { return reinterpret_cast<FunctionObject *>(function.get()); }
    const FunctionDef &def() const { return *def_function()->def; }
    Ref &inner() { return co.inner_; }
    // The line of the statement that failed in the body.
    int failed_line() const { return co.line_; }
    // The line the body stands at: its latest await, or 0 (the def line).
    int await_line() const { return co.await_line_; }

    // Runs the body from where it stands: from its start, or from the await
    // it is suspended in, whose result is then `sent` (empty: the error is
    // set).  True when the body suspended in an await; false when it
    // finished, with `*result` its result, or null with the error set and
    // the failing line recorded.
    bool step(Ref &&sent, PyObject **result) {
        if (def().task == nullptr) {
            // A body that never awaits runs whole on the first step.
            Call call(co.globals_, co.args_, co.reals_);
            *result = def_function()->body(call);
            if (*result == nullptr) co.line_ = call.line();
            return false;
        }
        if (!task) {
            task = def().task(co).release();
            if (!task) {
                *result = nullptr;  // no memory for its frame
                return false;
            }
        }
        else {
            co.sent_ = std::move(sent);
            task.resume();
        }
        if (!task.done()) return true;
        *result = std::exchange(task.promise().value, nullptr);
        co.line_ = task.promise().line;
        return false;
    }

    // Drops what only the body needs: its frame, the awaited iterator, the
    // arguments.
    void release_body() {
        // The frame's destructors release what the body holds.
        if (task) std::exchange(task, Task::Frame()).destroy();
        co.inner_.reset();
        co.sent_.reset();
        frame.reset();
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
        for (const Held *held = self->co.held_; held != nullptr; held = held->next_) {
            Py_VISIT(held->obj_);
        }
        return 0;
    }

    static int clear(PyObject *op) {
        auto *self = reinterpret_cast<CoroutineObject *>(op);
        // Finalizers ran before the collector clears us; nothing may run the
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
