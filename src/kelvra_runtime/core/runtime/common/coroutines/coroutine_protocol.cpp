// The protocol of the coroutine object, as the host's genobject.c has it
// for native coroutines: send, throw and close, and what the body's awaits
// do: get the awaited iterator, delegate to it as `yield from` does, and
// take its stop value or its error back into the body.  An await that must
// suspend leaves the iterator in `Coroutine::inner_` and suspends the
// body's C++ coroutine; the protocol then drives the iterator and resumes
// the body with its outcome.
#include <iterator>
#include <utility>

#include "common/coroutines/coroutine.hpp"

namespace kr {

namespace {

const char kNotStartedMsg[] = "can't send non-None value to a just-started coroutine";
const char kRunningMsg[] = "coroutine already executing";
const char kReusedMsg[] = "cannot reuse already awaited coroutine";

// Interned attribute names, made with the types.
PyObject *str_close = nullptr;
PyObject *str_throw = nullptr;
PyObject *str_cr_await = nullptr;

// ---------------------------------------------------------------------------
// Helpers of the await protocol

// A generator decorated with types.coroutine may be awaited as it is: 1 or
// 0, or -1 with the error set.
int is_iterable_coroutine(PyObject *o) {
    if (!PyGen_CheckExact(o)) {
        return 0;
    }
    PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
    int result = host::is_iterable_coroutine(code);
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
    int iterable = is_iterable_coroutine(o);
    if (iterable < 0) {
        return {};
    }
    if (iterable) {
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
    iterable = PyCoro_CheckExact(res.get()) ? 1 : is_iterable_coroutine(res.get());
    if (iterable < 0) {
        return {};
    }
    if (iterable) {
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

}  // namespace

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

namespace {

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

// ---------------------------------------------------------------------------
// Running the body

// The body stopped with `result` (null: the error is set).
PySendResult finish(CoroutineObject *self, PyObject *result, bool closing, PyObject **presult) {
    self->state = FrameState::Finished;
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "coroutine body failed without setting an error");
        }
        // close() swallows the GeneratorExit, so it needs no entry.
        if (!(closing && PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
            coroutine_error(self->def_function(), self->failed_line());
        }
    }
    self->release_body();
    *presult = result;
    return result != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
}

// Sends `arg` into the iterator the body awaits, as `yield from` does: a
// value it yields suspends the coroutine; when it ends, the body runs on
// with its result (or its error set), until it stops or awaits an
// iterator that yields.  The state is Running.
PySendResult resume(CoroutineObject *self, PyObject *arg, bool closing, PyObject **presult) {
    for (;;) {
        Ref sent;
        {
            Ref inner = self->inner();
            PyObject *value;
            switch (PyIter_Send(inner.get(), arg, &value)) {
                case PYGEN_NEXT:
                    self->state = FrameState::Suspended;
                    *presult = value;
                    return PYGEN_NEXT;
                case PYGEN_RETURN: sent = Ref::steal(value); break;
                case PYGEN_ERROR: break;
            }
            self->inner().reset();
        }
        PyObject *result;
        if (!self->step(std::move(sent), &result)) {
            return finish(self, result, closing, presult);
        }
        // The first send into a newly awaited iterator happens at once.
        arg = Py_None;
    }
}

// Runs the body from `sent` (empty: the error is set) until it stops, or
// an awaited iterator yields a value out.  The state is Running and no
// iterator is being awaited.
PySendResult run_body(CoroutineObject *self, Ref &&sent, bool closing, PyObject **presult) {
    PyObject *result;
    if (!self->step(std::move(sent), &result)) {
        return finish(self, result, closing, presult);
    }
    return resume(self, Py_None, closing, presult);
}

// Raises the error set in the body, at the await it is suspended in; the
// awaited iterator is abandoned.  A StopIteration is the await's result
// instead, as the host's CLEANUP_THROW takes it: the iterator stopped when
// the exception was thrown into it.
PySendResult run_thrown(CoroutineObject *self, bool closing, PyObject **presult) {
    self->inner().reset();
    PyObject *value;
    Ref sent = fetch_stop_value(&value) == 0 ? Ref::steal(value) : Ref();
    return run_body(self, std::move(sent), closing, presult);
}

// An exception thrown in before the first statement leaves at once, at the
// def line, as from a native coroutine.
PySendResult fail_before_start(CoroutineObject *self) {
    self->state = FrameState::Finished;
    function_traceback(self->def_function(), 0);
    self->release_body();
    return PYGEN_ERROR;
}

// How a step enters the body: at its start, resumed with a value sent into
// the iterator it awaits, or with the error set thrown in.
enum class Step : unsigned char { Start, Resume, Throw, ThrowBeforeStart };

// Runs a step of the body.  The state is Running.
PySendResult run_step(CoroutineObject *self, Step step, PyObject *arg, bool closing, PyObject **presult) {
    if (step == Step::Resume) return resume(self, arg, closing, presult);
    if (step == Step::Throw) return run_thrown(self, closing, presult);
    if (step == Step::ThrowBeforeStart) return fail_before_start(self);
    return run_body(self, Ref(), closing, presult);
}

// A step while a tool listens, with the events of a native coroutine's
// step: PY_START, PY_RESUME or PY_THROW as it enters the body, PY_YIELD,
// PY_RETURN or PY_UNWIND as it leaves.  A tool's callback that fails
// raises its error where the body stands, as the host raises it in the
// coroutine's frame.
[[gnu::noinline]] PySendResult run_step_watched(CoroutineObject *self, Step step, PyObject *arg, bool closing,
                                                PyObject **presult) {
    FunctionObject *f = self->def_function();
    Entry entry = step == Step::Start ? Entry::Start : (step == Step::Resume ? Entry::Resume : Entry::Throw);
    PySendResult status;
    if (fire_entry(f, entry) == 0) {
        status = run_step(self, step, arg, closing, presult);
    }
    else if (step == Step::Start) {
        status = finish(self, nullptr, closing, presult);
    }
    else {
        status = run_step(self, step == Step::ThrowBeforeStart ? step : Step::Throw, arg, closing, presult);
    }
    while (status == PYGEN_NEXT && fire_yield(f, *presult) < 0) {
        Py_CLEAR(*presult);
        self->state = FrameState::Running;
        status = run_thrown(self, closing, presult);
    }
    if (status == PYGEN_NEXT) return status;
    *presult = fire_exit(f, *presult);
    return *presult != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
}

}  // namespace

// The host's gen_send_ex2: `exc` raises the pending error at the point
// where the body waits; `closing` is set by close(), which finishes quietly.
PySendResult coroutine_send_ex(CoroutineObject *self, PyObject *arg, bool exc, bool closing, PyObject **presult) {
    *presult = nullptr;
    Step step = exc ? Step::Throw : Step::Resume;
    switch (self->state) {
        case FrameState::Created:
            if (!exc && arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, kNotStartedMsg);
                return PYGEN_ERROR;
            }
            step = exc ? Step::ThrowBeforeStart : Step::Start;
            break;
        case FrameState::Running: PyErr_SetString(PyExc_ValueError, kRunningMsg); return PYGEN_ERROR;
        case FrameState::Finished:
            if (!closing) {
                PyErr_SetString(PyExc_RuntimeError, kReusedMsg);
            }
            return PYGEN_ERROR;
        case FrameState::Suspended: break;
    }
    self->state = FrameState::Running;
    if (host::calls_watched() && !host::in_tool_callback()) [[unlikely]]
        return run_step_watched(self, step, arg, closing, presult);
    return run_step(self, step, arg, closing, presult);
}

namespace {

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
                return coroutine_send_ex(self, Py_None, true, false, presult);
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
                return coroutine_send_ex(self, Py_None, true, false, presult);
            }
        }
    }
    if (raise_thrown(typ, val, tb) < 0) {
        return PYGEN_ERROR;
    }
    return coroutine_send_ex(self, Py_None, true, false, presult);
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

}  // namespace

// ---------------------------------------------------------------------------
// Methods, shared by the coroutine and its await wrapper

PyObject *coroutine_send_impl(CoroutineObject *self, PyObject *arg) {
    PyObject *value;
    PySendResult status = coroutine_send_ex(self, arg, false, false, &value);
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
    switch (coroutine_send_ex(self, Py_None, true, true, &value)) {
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

const char coroutine_send_doc[] =
    "send(arg) -> send 'arg' into coroutine,\n"
    "return next iterated value or raise StopIteration.";
const char coroutine_throw_doc[] =
    "throw(value)\n"
    "throw(type[,value[,traceback]])\n\n"
    "Raise exception in coroutine, return next iterated value or raise\n"
    "StopIteration.\n"
    "the (type, val, tb) signature is deprecated, \n"
    "and may be removed in a future version of Python.";
const char coroutine_close_doc[] = "close() -> raise GeneratorExit inside coroutine.";

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

Await Coroutine::await(PyObject *awaitable, Line line) {
    Ref iter = await_iter(awaitable);
    if (!iter) {
        return Await(*this, Ref(), true);
    }
    inner_ = std::move(iter);
    await_line_ = line;
    return Await(*this, Ref(), false);
}

namespace {

// Runs `f`, one of our own asynchronous functions whose body never awaits,
// on one argument, as awaiting the coroutine that calling it returns would:
// the body's result, or null with the error set as it leaves that
// coroutine, and the events tools see of that coroutine.  Only a call that
// binds as it is (one positional parameter, the argument of its declared
// type) runs here; for any other, `*ran` is left false and the caller
// calls and awaits.
PyObject *run_inline(FunctionObject *f, PyObject *arg, bool *ran) {
    double reals[kMaxParams];
    if (f->positional_call != 1 || !types_as_declared(f, &arg, reals)) return nullptr;
    *ran = true;
    bool watched = host::calls_watched() && !host::in_tool_callback();
    if (watched && fire_entry(f, Entry::Start) < 0) return fire_exit(f, nullptr);
    Call call(f->globals, &arg, reals);
    PyObject *result = f->body(call);
    if (result == nullptr) coroutine_error(f, call.line());
    return watched ? fire_exit(f, result) : result;
}

}  // namespace

Await Coroutine::await_call(Ref &&callable, PyObject *arg, Line line) {
    Ref called = std::move(callable);
    if (called && Py_IS_TYPE(called.get(), function_type)) {
        auto *f = reinterpret_cast<FunctionObject *>(called.get());
        if (f->def->is_async && f->def->task == nullptr) {
            bool ran = false;
            Ref result = Ref::steal(run_inline(f, arg, &ran));
            if (ran) return Await(*this, std::move(result), true);
        }
    }
    Ref awaitable = called ? Ref::steal(PyObject_CallOneArg(called.get(), arg)) : Ref();
    called.reset();
    return awaitable ? await(awaitable.get(), line) : Await(*this, Ref(), true);
}

// A frame goes after a header that says where it went.
namespace {
constexpr std::size_t kFrameHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
}

void *Coroutine::allocate_frame(std::size_t size) noexcept {
    std::size_t needed = kFrameHeader + size;
    unsigned char *block = frame_room_;
    bool on_heap = needed > frame_room_size_;
    if (on_heap) {
        block = static_cast<unsigned char *>(PyMem_Malloc(needed));
        if (block == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        // The function's next coroutines keep room for it.
        *frame_size_ = needed;
    }
    *reinterpret_cast<bool *>(block) = on_heap;
    return block + kFrameHeader;
}

void Coroutine::free_frame(void *frame) noexcept {
    unsigned char *block = static_cast<unsigned char *>(frame) - kFrameHeader;
    if (*reinterpret_cast<bool *>(block)) PyMem_Free(block);
}

int init_coroutine_protocol() {
    PyObject **names[] = {&str_close, &str_throw, &str_cr_await};
    const char *texts[] = {"close", "throw", "cr_await"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        if (*names[i] == nullptr) {
            *names[i] = PyUnicode_InternFromString(texts[i]);
            if (*names[i] == nullptr) {
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace kr
