// The coroutine object of asynchronous functions.
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
//
// A step suspends by returning what `Coroutine::await` returned: the
// address of `suspend_marker` below, a private object that is never a
// Python value, so it can't be mistaken for a result.  The awaited iterator
// is the coroutine's own (`Coroutine::inner_`), set by that await.
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "internal.hpp"
#include "versions.hpp"

#include <frameobject.h>

namespace kr {

PyTypeObject *coroutine_type = nullptr;
PyTypeObject *coroutine_await_type = nullptr;

enum class FrameState : unsigned char { Created, Running, Suspended, Finished };

namespace {

PyObject suspend_marker;
PyObject *const kSuspend = &suspend_marker;

const char kNotStartedMsg[] = "can't send non-None value to a just-started coroutine";
const char kRunningMsg[] = "coroutine already executing";
const char kReusedMsg[] = "cannot reuse already awaited coroutine";

// Interned attribute names, made with the types.
PyObject *str_close = nullptr;
PyObject *str_throw = nullptr;
PyObject *str_cr_await = nullptr;
PyObject *str_cr_frame = nullptr;
// The values of `cr_state`, indexed by FrameState.
PyObject *state_names[4] = {};

}  // namespace

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

    static PyObject *create(FunctionObject *function, PyObject *const *args, const double *reals);
    static int traverse(PyObject *op, visitproc visit, void *arg);
    static int clear(PyObject *op);
    // Drops what only the body needs: arguments, state, the awaited iterator.
    void release_body();
    FunctionObject *def_function() const { return reinterpret_cast<FunctionObject *>(function.get()); }
    const FunctionDef &def() const { return *def_function()->def; }
    Ref &inner() { return co.inner_; }
    // The body's next step (or its only one): see Step.
    PyObject *step(PyObject *sent);
    // The line of the statement that failed in the body.
    int failed_line() const { return co.line_; }

    // Where an awaiting body's state lives.
    alignas(std::max_align_t) unsigned char state_storage[kMaxStateSize];
    // The line the body stands at: its latest await, or 0 (the def line).
    int await_line() const { return co.await_line_; }
    // Whether the awaited iterator is the function's awaiter (see Coroutine).
    bool awaits_in_frame() const { return co.awaits_in_frame_; }
};

namespace {

CoroutineObject *as_coroutine(PyObject *op) { return reinterpret_cast<CoroutineObject *>(op); }

PySendResult send_ex(CoroutineObject *self, PyObject *arg, bool exc, bool closing, PyObject **presult);

// ---------------------------------------------------------------------------
// Helpers of the await protocol

// A generator decorated with types.coroutine may be awaited as it is.
bool is_iterable_coroutine(PyObject *o) {
    if (!PyGen_CheckExact(o)) {
        return false;
    }
    PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
    bool result = (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return result;
}

// A native coroutine is being awaited when it is suspended in an await of
// its own, i.e. its `cr_await` is set.
int native_is_awaited(PyObject *coro) {
    PyObject *yf;
    if (PyObject_GetOptionalAttr(coro, str_cr_await, &yf) < 0) {
        return -1;
    }
    int busy = yf != nullptr && yf != Py_None;
    Py_XDECREF(yf);
    return busy;
}

// The iterator that `await o` drives (the host's GET_AWAITABLE).  Our own
// coroutines are driven directly through am_send, like native ones, so that
// `cr_await` shows the awaited coroutine itself.
Ref await_iter(PyObject *o) {
    if (PyCoro_CheckExact(o)) {
        int busy = native_is_awaited(o);
        if (busy < 0) {
            return {};
        }
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return {};
        }
        return Ref::borrow(o);
    }
    if (Py_IS_TYPE(o, coroutine_type)) {
        if (as_coroutine(o)->state == FrameState::Suspended) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return {};
        }
        return Ref::borrow(o);
    }
    if (is_iterable_coroutine(o)) {
        return Ref::borrow(o);
    }
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    unaryfunc getter = am != nullptr ? am->am_await : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return {};
    }
    Ref res = Ref::steal(getter(o));
    if (!res) {
        return {};
    }
    // __await__ must return an iterator, not another awaitable.
    if (PyCoro_CheckExact(res.get()) || is_iterable_coroutine(res.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(res.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(res.get())->tp_name);
        return {};
    }
    return res;
}

// Closes the awaited iterator through its `close` method, if it has one.
// Returns -1 with the error set when close() fails.
int close_inner(PyObject *inner) {
    PyObject *meth;
    if (PyObject_GetOptionalAttr(inner, str_close, &meth) < 0) {
        PyErr_FormatUnraisable("Exception ignored while closing generator %R", inner);
    }
    if (meth == nullptr) {
        return 0;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(meth));
    Py_DECREF(meth);
    return result ? 0 : -1;
}

// After a call into an iterator returned null: the value it returned (a new
// reference) if it stopped, or -1 with its error still set.
int fetch_stop_value(PyObject **pvalue) {
    if (!PyErr_Occurred()) {
        *pvalue = Py_NewRef(Py_None);
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return -1;
    }
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *value = reinterpret_cast<PyStopIterationObject *>(exc)->value;
    *pvalue = Py_NewRef(value != nullptr ? value : Py_None);
    Py_DECREF(exc);
    return 0;
}

// Raises the body's result as StopIteration(value).  The instance is made
// explicitly: PyErr_SetObject would unpack a tuple into the arguments.
void set_stop_value(PyObject *value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc == nullptr) {
        return;
    }
    PyErr_SetRaisedException(exc);
}

// Sets the exception that throw(typ[, val[, tb]]) raises in the body, with
// the checks of the host's generator throw().
int raise_thrown(PyObject *typ, PyObject *val, PyObject *tb) {
    if (tb == Py_None) {
        tb = nullptr;
    }
    else if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return -1;
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject *type = Py_NewRef(typ);
        PyObject *value = Py_XNewRef(val);
        PyObject *traceback = Py_XNewRef(tb);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyErr_Restore(type, value, traceback);
        return 0;
    }
    if (!PyExceptionInstance_Check(typ)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return -1;
    }
    if (val != nullptr && val != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return -1;
    }
    PyObject *traceback = tb != nullptr ? Py_NewRef(tb) : PyException_GetTraceback(typ);
    PyErr_Restore(Py_NewRef(PyExceptionInstance_Class(typ)), Py_NewRef(typ), traceback);
    return 0;
}

// The host's cr_origin: (filename, line, function name) of the calling
// frames, innermost first, at most `depth` of them.
PyObject *compute_origin(int depth) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) {
        return nullptr;
    }
    Ref frame = Ref::borrow(reinterpret_cast<PyObject *>(PyEval_GetFrame()));
    for (int i = 0; i < depth && frame; ++i) {
        auto *f = reinterpret_cast<PyFrameObject *>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(f)));
        auto *c = reinterpret_cast<PyCodeObject *>(code.get());
        Ref entry = Ref::steal(Py_BuildValue("(OiO)", c->co_filename, PyFrame_GetLineNumber(f), c->co_name));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) {
            return nullptr;
        }
        frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_GetBack(f)));
    }
    // Getting a frame object may make it, and so fail.
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyList_AsTuple(entries.get());
}

// ---------------------------------------------------------------------------
// Running the body

}  // namespace

PyObject *CoroutineObject::step(PyObject *sent) {
    const FunctionDef &d = def();
    if (d.step != nullptr) return d.step(co, sent);
    // A body that never awaits runs whole on the first step.
    if (d.body == nullptr) return Py_NewRef(Py_None);
    Call call(co.globals_, co.args_, co.reals_);
    PyObject *result = d.body(call);
    if (result == nullptr) co.line_ = call.line();
    return result;
}

namespace {

// The body stopped with `result` (null: the error is set).
PySendResult finish(CoroutineObject *self, PyObject *result, bool closing, PyObject **presult) {
    self->state = FrameState::Finished;
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "coroutine step failed without setting an error");
        }
        // close() swallows the GeneratorExit, so it needs no entry.
        if (!(closing && PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
            // An error out of a coroutine we awaited in our frame has our
            // entry already, as it left that frame.
            if (!raised_through_awaiter(self->def_function(), self->failed_line())) {
                coroutine_error(self->def_function(), self->failed_line());
            }
        }
    }
    self->release_body();
    *presult = result;
    return result != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
}

// Runs steps from `sent` (borrowed; null with the error set) until the body
// stops, or an awaited iterator yields a value out.  The state is Running
// and no iterator is being awaited.
PySendResult run_steps(CoroutineObject *self, PyObject *sent, bool closing, PyObject **presult) {
    Ref held;  // the awaited iterator's result, while the step borrows it
    for (;;) {
        PyObject *result = self->step(sent);
        held.reset();
        if (result != kSuspend) {
            return finish(self, result, closing, presult);
        }
        if (!self->inner()) {
            PyErr_SetString(PyExc_SystemError, "coroutine step suspended without awaiting");
            return finish(self, nullptr, closing, presult);
        }
        // As `yield from` does, the first send happens at once.
        Ref inner = self->inner();
        PyObject *value;
        switch (PyIter_Send(inner.get(), Py_None, &value)) {
            case PYGEN_NEXT:
                self->state = FrameState::Suspended;
                *presult = value;
                return PYGEN_NEXT;
            case PYGEN_RETURN:
                self->inner().reset();
                held = Ref::steal(value);
                sent = value;
                break;
            case PYGEN_ERROR:
                self->inner().reset();
                sent = nullptr;
                break;
        }
    }
}

// The host's gen_send_ex2: `exc` raises the pending error at the point
// where the body waits; `closing` is set by close(), which finishes quietly.
PySendResult send_ex(CoroutineObject *self, PyObject *arg, bool exc, bool closing, PyObject **presult) {
    *presult = nullptr;
    switch (self->state) {
        case FrameState::Created:
            if (!exc && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, kNotStartedMsg);
                return PYGEN_ERROR;
            }
            if (exc) {
                // Thrown in before the first statement: it leaves at once, at
                // the def line, as from a native coroutine.
                self->state = FrameState::Finished;
                function_traceback(self->def_function(), 0);
                self->release_body();
                return PYGEN_ERROR;
            }
            self->state = FrameState::Running;
            return run_steps(self, Py_None, closing, presult);
        case FrameState::Running: PyErr_SetString(PyExc_ValueError, kRunningMsg); return PYGEN_ERROR;
        case FrameState::Finished:
            if (!closing) {
                PyErr_SetString(PyExc_RuntimeError, kReusedMsg);
            }
            return PYGEN_ERROR;
        case FrameState::Suspended: break;
    }
    self->state = FrameState::Running;
    if (exc) {
        // The awaited iterator is abandoned, as the host's CLEANUP_THROW does.
        self->inner().reset();
        return run_steps(self, nullptr, closing, presult);
    }
    Ref inner = self->inner();
    PyObject *value;
    switch (PyIter_Send(inner.get(), arg, &value)) {
        case PYGEN_NEXT:
            self->state = FrameState::Suspended;
            *presult = value;
            return PYGEN_NEXT;
        case PYGEN_RETURN: {
            self->inner().reset();
            Ref held = Ref::steal(value);
            return run_steps(self, value, closing, presult);
        }
        case PYGEN_ERROR: break;
    }
    self->inner().reset();
    return run_steps(self, nullptr, closing, presult);
}

// The host's _gen_throw: a suspended coroutine hands the exception to the
// iterator it awaits; GeneratorExit closes that iterator first.
PySendResult throw_ex(CoroutineObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **presult) {
    *presult = nullptr;
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : nullptr;
    PyObject *tb = nargs > 2 ? args[2] : nullptr;
    if (self->state == FrameState::Suspended) {
        Ref inner = self->inner();
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            self->state = FrameState::Running;
            int err = close_inner(inner.get());
            self->state = FrameState::Suspended;
            if (err < 0) {
                // close() failed: its error is raised in the body instead.
                return send_ex(self, Py_None, true, false, presult);
            }
        }
        else {
            PyObject *meth;
            if (PyObject_GetOptionalAttr(inner.get(), str_throw, &meth) < 0) {
                return PYGEN_ERROR;
            }
            if (meth != nullptr) {
                self->state = FrameState::Running;
                PyObject *yielded = PyObject_Vectorcall(meth, args, nargs, nullptr);
                self->state = FrameState::Suspended;
                Py_DECREF(meth);
                if (yielded != nullptr) {
                    *presult = yielded;
                    return PYGEN_NEXT;
                }
                // The iterator is done: the body resumes with its result,
                // or with its error raised at the await.
                PyObject *value;
                if (fetch_stop_value(&value) < 0) {
                    return send_ex(self, Py_None, true, false, presult);
                }
                Ref held = Ref::steal(value);
                self->inner().reset();
                self->state = FrameState::Running;
                return run_steps(self, value, false, presult);
            }
        }
    }
    if (raise_thrown(typ, val, tb) < 0) {
        return PYGEN_ERROR;
    }
    return send_ex(self, Py_None, true, false, presult);
}

// What send() and throw() return for a send result.
PyObject *deliver(PySendResult status, PyObject *value) {
    if (status == PYGEN_RETURN) {
        set_stop_value(value);
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Methods, shared by the coroutine and its await wrapper

PyObject *coroutine_send_impl(CoroutineObject *self, PyObject *arg) {
    PyObject *value;
    PySendResult status = send_ex(self, arg, false, false, &value);
    return deliver(status, value);
}

PyObject *coroutine_throw_impl(CoroutineObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    PyObject *value;
    PySendResult status = throw_ex(self, args, nargs, &value);
    return deliver(status, value);
}

// The host's gen_close.  A body that catches GeneratorExit and returns
// makes close() return its value; one that awaits something that suspends
// again "ignored GeneratorExit".
PyObject *coroutine_close_impl(CoroutineObject *self) {
    switch (self->state) {
        case FrameState::Created:
            // Never started: nothing to unwind, and no warning later.
            self->state = FrameState::Finished;
            self->release_body();
            Py_RETURN_NONE;
        case FrameState::Finished: Py_RETURN_NONE;
        case FrameState::Running: PyErr_SetString(PyExc_ValueError, kRunningMsg); return nullptr;
        case FrameState::Suspended: break;
    }
    Ref inner = self->inner();
    self->state = FrameState::Running;
    int err = close_inner(inner.get());
    self->state = FrameState::Suspended;
    if (err == 0) {
        PyErr_SetNone(PyExc_GeneratorExit);
    }
    PyObject *value;
    switch (send_ex(self, Py_None, true, true, &value)) {
        case PYGEN_NEXT:
            Py_DECREF(value);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        case PYGEN_RETURN: return value;
        case PYGEN_ERROR: break;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The coroutine type

PyObject *coroutine_send(PyObject *op, PyObject *arg) { return coroutine_send_impl(as_coroutine(op), arg); }

PyObject *coroutine_throw(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    return coroutine_throw_impl(as_coroutine(op), args, nargs);
}

PyObject *coroutine_close(PyObject *op, PyObject *) { return coroutine_close_impl(as_coroutine(op)); }

PySendResult coroutine_am_send(PyObject *op, PyObject *arg, PyObject **presult) {
    return send_ex(as_coroutine(op), arg, false, false, presult);
}

PyObject *coroutine_await(PyObject *op);

void coroutine_finalize(PyObject *op) {
    CoroutineObject *self = as_coroutine(op);
    if (self->state == FrameState::Finished) {
        return;
    }
    PyObject *exc = PyErr_GetRaisedException();
    if (self->state == FrameState::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", self->qualname.get()) <
            0) {
            PyErr_WriteUnraisable(op);
        }
    }
    else {
        PyObject *result = coroutine_close_impl(self);
        if (result == nullptr) {
            PyErr_WriteUnraisable(op);
        }
        else {
            Py_DECREF(result);
        }
    }
    PyErr_SetRaisedException(exc);
}

void coroutine_dealloc(PyObject *op) {
    // Weak references go first, untracked so that a collection run by their
    // callbacks doesn't see us; the finalizer runs tracked, as it may
    // resurrect the object.  A finished coroutine's finalizer does nothing,
    // so it is not called.
    PyObject_GC_UnTrack(op);
    PyObject_ClearWeakRefs(op);
    CoroutineObject *self = as_coroutine(op);
    if (self->state != FrameState::Finished) {
        PyObject_GC_Track(op);
        if (PyObject_CallFinalizerFromDealloc(op) < 0) {
            return;
        }
        PyObject_GC_UnTrack(op);
    }
    // A coroutine never started still holds its arguments (and state).
    self->release_body();
    self->co.~Coroutine();
    self->function.~Ref();
    self->name.~Ref();
    self->qualname.~Ref();
    self->origin.~Ref();
    self->frame.~Ref();
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *op) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(op)->qualname.get(), op);
}

// `__name__` and `__qualname__`: strs taken from the function at the call,
// replaceable by other strs; the getset closure says which.
struct TextAttribute {
    Ref CoroutineObject::*member;
    const char *refusal;
};
const TextAttribute name_attribute = {&CoroutineObject::name, "__name__ must be set to a string object"};
const TextAttribute qualname_attribute = {&CoroutineObject::qualname, "__qualname__ must be set to a string object"};

PyObject *coroutine_get_text(PyObject *op, void *closure) {
    auto *attribute = static_cast<const TextAttribute *>(closure);
    return Py_NewRef((as_coroutine(op)->*attribute->member).get());
}

int coroutine_set_text(PyObject *op, PyObject *value, void *closure) {
    auto *attribute = static_cast<const TextAttribute *>(closure);
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, attribute->refusal);
        return -1;
    }
    as_coroutine(op)->*attribute->member = Ref::borrow(value);
    return 0;
}

// Like the native attribute, set only while suspended in an await: the
// awaited coroutine itself, not the awaiter that drives it for us.
PyObject *coroutine_get_await(PyObject *op, void *) {
    CoroutineObject *self = as_coroutine(op);
    if (self->state == FrameState::Suspended) {
        if (self->awaits_in_frame()) return PyObject_GetAttr(self->inner().get(), str_cr_await);
        return Py_NewRef(self->inner().get());
    }
    Py_RETURN_NONE;
}

// The frame of the body, as the native attribute: standing at the def line
// before the body starts and at the awaiting statement afterwards (the
// awaiter's own frame while one awaits for us); None once the coroutine
// has finished.
PyObject *coroutine_get_frame(PyObject *op, void *) {
    CoroutineObject *self = as_coroutine(op);
    if (self->state == FrameState::Finished) {
        Py_RETURN_NONE;
    }
    if (self->awaits_in_frame() && self->inner()) {
        return PyObject_GetAttr(self->inner().get(), str_cr_frame);
    }
    int line = self->await_line();
    if (!self->frame || self->frame_line != line) {
        Ref code = Ref::steal(function_code(self->def_function(), line));
        if (!code) {
            return nullptr;
        }
        Ref frame = Ref::steal(frame_of(code.get(), self->def_function()->globals));
        if (!frame) {
            return nullptr;
        }
        self->frame = std::move(frame);
        self->frame_line = line;
    }
    return Py_NewRef(self->frame.get());
}

// The code object of the function, at its def line.
PyObject *coroutine_get_code(PyObject *op, void *) {
    FunctionObject *function = as_coroutine(op)->def_function();
    if (function == nullptr) {
        Py_RETURN_NONE;
    }
    return function_code(function, 0);
}

PyObject *coroutine_get_origin(PyObject *op, void *) {
    PyObject *origin = as_coroutine(op)->origin.get();
    return Py_NewRef(origin != nullptr ? origin : Py_None);
}

PyObject *coroutine_get_running(PyObject *op, void *) {
    return PyBool_FromLong(as_coroutine(op)->state == FrameState::Running);
}

PyObject *coroutine_get_suspended(PyObject *op, void *) {
    return PyBool_FromLong(as_coroutine(op)->state == FrameState::Suspended);
}

// The host's `cr_state`, where its coroutines have one.
PyObject *coroutine_get_state(PyObject *op, void *) {
    return Py_NewRef(state_names[static_cast<int>(as_coroutine(op)->state)]);
}

PyDoc_STRVAR(send_doc,
             "send(arg) -> send 'arg' into coroutine,\n"
             "return next iterated value or raise StopIteration.");
PyDoc_STRVAR(throw_doc,
             "throw(value)\n"
             "throw(type[,value[,traceback]])\n\n"
             "Raise exception in coroutine, return next iterated value or raise\n"
             "StopIteration.\n"
             "the (type, val, tb) signature is deprecated, \n"
             "and may be removed in a future version of Python.");
PyDoc_STRVAR(close_doc, "close() -> raise GeneratorExit inside coroutine.");

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL, throw_doc},
    {"close", coroutine_close, METH_NOARGS, close_doc},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, PyDoc_STR("See PEP 585")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", coroutine_get_text, coroutine_set_text, "name of the coroutine",
     const_cast<TextAttribute *>(&name_attribute)},
    {"__qualname__", coroutine_get_text, coroutine_set_text, "qualified name of the coroutine",
     const_cast<TextAttribute *>(&qualname_attribute)},
    {"cr_await", coroutine_get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_frame", coroutine_get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_code", coroutine_get_code, nullptr, "Code of the coroutine", nullptr},
    {"cr_origin", coroutine_get_origin, nullptr, "Where the coroutine was created, when origin tracking is on",
     nullptr},
    {"cr_running", coroutine_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coroutine_get_suspended, nullptr, nullptr, nullptr},
    host::coroutines_have_state ? PyGetSetDef{"cr_state", coroutine_get_state, nullptr, nullptr, nullptr}
                                : PyGetSetDef{},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(CoroutineObject::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CoroutineObject::clear)},
    {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "kelvra_runtime.core.runtime.coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

// ---------------------------------------------------------------------------
// The await wrapper: what `__await__` returns, an iterator over the
// coroutine (the host's coroutine_wrapper).

struct AwaitObject {
    PyObject_HEAD Ref coroutine;
};

CoroutineObject *awaited(PyObject *op) { return as_coroutine(reinterpret_cast<AwaitObject *>(op)->coroutine.get()); }

// `await coro`: the host refuses a native coroutine that is suspended in an
// await of its own, since whoever drives it would be robbed of its values;
// ours are refused alike.
PyObject *coroutine_await(PyObject *op) {
    if (as_coroutine(op)->state == FrameState::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    AwaitObject *self = PyObject_GC_New(AwaitObject, coroutine_await_type);
    if (self == nullptr) {
        return nullptr;
    }
    new (&self->coroutine) Ref(Ref::borrow(op));
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

// tp_iternext: a result of None ends the iteration without an exception.
PyObject *await_next(PyObject *op) {
    PyObject *value;
    if (send_ex(awaited(op), Py_None, false, false, &value) == PYGEN_RETURN) {
        if (value != Py_None) {
            set_stop_value(value);
        }
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}

PyObject *await_send(PyObject *op, PyObject *arg) { return coroutine_send_impl(awaited(op), arg); }

PyObject *await_throw(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    return coroutine_throw_impl(awaited(op), args, nargs);
}

PyObject *await_close(PyObject *op, PyObject *) { return coroutine_close_impl(awaited(op)); }

PySendResult await_am_send(PyObject *op, PyObject *arg, PyObject **presult) {
    return send_ex(awaited(op), arg, false, false, presult);
}

int await_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<AwaitObject *>(op)->coroutine.get());
    return 0;
}

int await_clear(PyObject *op) {
    reinterpret_cast<AwaitObject *>(op)->coroutine.reset();
    return 0;
}

void await_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    reinterpret_cast<AwaitObject *>(op)->coroutine.~Ref();
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)), METH_FASTCALL, throw_doc},
    {"close", await_close, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(await_next)},
    {Py_tp_methods, await_methods},
    {Py_am_send, reinterpret_cast<void *>(await_am_send)},
    {0, nullptr},
};

PyType_Spec await_spec = {
    "kelvra_runtime.core.runtime.coroutine_wrapper",
    sizeof(AwaitObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    await_slots,
};

}  // namespace

// ---------------------------------------------------------------------------
// CoroutineObject

PyObject *CoroutineObject::create(FunctionObject *function, PyObject *const *args, const double *reals) {
    CoroutineObject *self = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (self == nullptr) {
        return nullptr;
    }
    new (&self->co) Coroutine();
    new (&self->function) Ref(Ref::borrow(reinterpret_cast<PyObject *>(function)));
    new (&self->name) Ref(Ref::borrow(function->name));
    new (&self->qualname) Ref(Ref::borrow(function->qualname));
    new (&self->origin) Ref();
    new (&self->frame) Ref();
    self->frame_line = 0;
    self->state = FrameState::Created;
    self->co.globals_ = function->globals;
    self->co.function_ = function;
    self->co.nargs_ = function->nparams;
    for (Py_ssize_t i = 0; i < function->nparams; ++i) {
        self->co.args_[i] = Py_NewRef(args[i]);
    }
    // Only the parameters converted to float have doubles; copied as bytes,
    // the others' unset ones with them.
    std::memcpy(self->co.reals_, reals, static_cast<std::size_t>(function->nparams) * sizeof(double));
    if (const StateType *type = function->def->state) {
        self->co.state_ = self->state_storage;
        type->construct(self->co.state_);
    }
    int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
    if (depth > 0) {
        self->origin = Ref::steal(compute_origin(depth));
        if (!self->origin) {
            self->state = FrameState::Finished;
            Py_DECREF(self);
            return nullptr;
        }
    }
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

int CoroutineObject::traverse(PyObject *op, visitproc visit, void *arg) {
    CoroutineObject *self = as_coroutine(op);
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

int CoroutineObject::clear(PyObject *op) {
    CoroutineObject *self = as_coroutine(op);
    // Finalizers ran before the collector clears us; nothing may step the
    // body once its function and arguments are gone.
    self->state = FrameState::Finished;
    self->release_body();
    self->co.globals_ = nullptr;
    self->function.reset();
    return 0;
}

void CoroutineObject::release_body() {
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

// ---------------------------------------------------------------------------
// Entry points

// The error set, as it leaves the body of the asynchronous function at
// `line` (0: the def line): with the function's traceback entry, and a
// StopIteration turned into RuntimeError, since leaving the coroutine it
// would look like its result.
void coroutine_error(FunctionObject *function, int line) {
    function_traceback(function, line);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject *exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    }
}

PyObject *Coroutine::await(PyObject *awaitable, int line) {
    Ref iter = await_iter(awaitable);
    if (!iter) {
        return nullptr;
    }
    awaits_in_frame_ = PyCoro_CheckExact(awaitable);
    if (awaits_in_frame_) {
        Ref awaiter = steal(function_awaiter(function_, line));
        iter = awaiter ? steal(PyObject_CallOneArg(awaiter.get(), awaitable)) : Ref();
        if (!iter) {
            return nullptr;
        }
    }
    inner_ = std::move(iter);
    await_line_ = line;
    return kSuspend;
}

PyObject *Coroutine::await_call(PyObject *callable, PyObject *arg, int line, Ref *result) {
    if (Py_IS_TYPE(callable, function_type)) {
        auto *f = reinterpret_cast<FunctionObject *>(callable);
        if (f->def->is_async && f->def->step == nullptr) {
            *result = Ref::steal(function_run_inline(f, &arg, 1));
            return nullptr;
        }
    }
    Ref awaitable = Ref::steal(PyObject_CallOneArg(callable, arg));
    return awaitable ? await(awaitable.get(), line) : nullptr;
}

PyObject *coroutine_new(FunctionObject *function, PyObject *const *args, const double *reals) {
    return CoroutineObject::create(function, args, reals);
}

int init_coroutine_types(PyObject *) {
    if (coroutine_type != nullptr) {
        return 0;
    }
    PyObject **names[] = {&str_close,      &str_throw,      &str_cr_await,   &str_cr_frame,
                          &state_names[0], &state_names[1], &state_names[2], &state_names[3]};
    const char *texts[] = {"close",        "throw",        "cr_await",       "cr_frame",
                           "CORO_CREATED", "CORO_RUNNING", "CORO_SUSPENDED", "CORO_CLOSED"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        if (*names[i] == nullptr) {
            *names[i] = PyUnicode_InternFromString(texts[i]);
            if (*names[i] == nullptr) {
                return -1;
            }
        }
    }
    Ref coro = Ref::steal(PyType_FromSpec(&coroutine_spec));
    if (!coro) {
        return -1;
    }
    Ref wrapper = Ref::steal(PyType_FromSpec(&await_spec));
    if (!wrapper) {
        return -1;
    }
    // The ABC's subclass hook would accept the type too; registering says
    // so once and for all, and asyncio.iscoroutine follows the ABC.
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        return -1;
    }
    Ref coroutine_abc = Ref::steal(PyObject_GetAttrString(abc.get(), "Coroutine"));
    if (!coroutine_abc) {
        return -1;
    }
    Ref registered = Ref::steal(PyObject_CallMethod(coroutine_abc.get(), "register", "O", coro.get()));
    if (!registered) {
        return -1;
    }
    // Process-wide and never freed.
    coroutine_type = reinterpret_cast<PyTypeObject *>(coro.release());
    coroutine_await_type = reinterpret_cast<PyTypeObject *>(wrapper.release());
    return 0;
}

}  // namespace kr
