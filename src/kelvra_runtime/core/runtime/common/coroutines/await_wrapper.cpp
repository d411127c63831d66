// The await wrapper: what `__await__` returns, an iterator over the
// coroutine (the host's coroutine_wrapper).
#include <new>

#include "common/coroutines/coroutine.hpp"

namespace kr {

namespace {

struct AwaitObject {
    PyObject_HEAD Ref coroutine;
};

CoroutineObject *awaited(PyObject *op) { return as_coroutine(reinterpret_cast<AwaitObject *>(op)->coroutine.get()); }

}  // namespace

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

namespace {

// tp_iternext: a result of None ends the iteration without an exception.
PyObject *await_next(PyObject *op) {
    PyObject *value;
    if (coroutine_send_ex(awaited(op), Py_None, false, false, &value) == PYGEN_RETURN) {
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
    return coroutine_send_ex(awaited(op), arg, false, false, presult);
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
    {"send", await_send, METH_O, coroutine_send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)), METH_FASTCALL,
     coroutine_throw_doc},
    {"close", await_close, METH_NOARGS, coroutine_close_doc},
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

}  // namespace

PyType_Spec await_wrapper_spec = {
    "kelvra_runtime.core.runtime.coroutine_wrapper",
    sizeof(AwaitObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    await_slots,
};

}  // namespace kr
