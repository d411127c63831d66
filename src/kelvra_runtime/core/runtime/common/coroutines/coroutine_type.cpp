// The coroutine type: its layout's life cycle (construction, the garbage
// collector's traverse and clear, finalization, dealloc), its attributes,
// and the type made from its slots.  The protocol it answers is
// coroutine_protocol.cpp's.
#include <iterator>
#include <new>
#include <utility>

#include "common/coroutines/coroutine.hpp"
#include "common/host/versions.hpp"

#include <frameobject.h>

namespace kr {

namespace {

// The values of `cr_state`, indexed by FrameState.
PyObject *state_names[4] = {};

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
        Ref entry = Ref::steal(host::origin_entry(c, PyFrame_GetLineNumber(f)));
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

PyObject *create(FunctionObject *function, PyObject *const *args, const double *reals) {
    int depth = host::coroutine_origin_depth();
    if (depth < 0) {
        return nullptr;
    }
    // Room for the frame of an awaiting body, as large as the function's
    // last one, after the object (itself a multiple of the frame's alignment).
    std::size_t room = function->def->task != nullptr ? function->frame_size : 0;
    CoroutineObject *self = PyObject_GC_NewVar(CoroutineObject, coroutine_type, static_cast<Py_ssize_t>(room));
    if (self == nullptr) {
        return nullptr;
    }
    self->construct(function, args, reals, room);
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

// ---------------------------------------------------------------------------
// The coroutine type

PyObject *coroutine_send(PyObject *op, PyObject *arg) { return coroutine_send_impl(as_coroutine(op), arg); }

PyObject *coroutine_throw(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    return coroutine_throw_impl(as_coroutine(op), args, nargs);
}

PyObject *coroutine_close(PyObject *op, PyObject *) { return coroutine_close_impl(as_coroutine(op)); }

PySendResult coroutine_am_send(PyObject *op, PyObject *arg, PyObject **presult) {
    return coroutine_send_ex(as_coroutine(op), arg, false, false, presult);
}

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

// Like the native attribute, set only while suspended in an await.
PyObject *coroutine_get_await(PyObject *op, void *) {
    CoroutineObject *self = as_coroutine(op);
    if (self->state == FrameState::Suspended) {
        return Py_NewRef(self->inner().get());
    }
    Py_RETURN_NONE;
}

// The frame of the body, as the native attribute: standing at the def line
// before the body starts and at the awaiting statement afterwards; None
// once the coroutine has finished.
PyObject *coroutine_get_frame(PyObject *op, void *) {
    CoroutineObject *self = as_coroutine(op);
    if (self->state == FrameState::Finished) {
        Py_RETURN_NONE;
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

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, coroutine_send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     coroutine_throw_doc},
    {"close", coroutine_close, METH_NOARGS, coroutine_close_doc},
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
    1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

}  // namespace

PyObject *coroutine_new(FunctionObject *function, PyObject *const *args, const double *reals) {
    return create(function, args, reals);
}

int init_coroutine_types(PyObject *) {
    if (coroutine_type != nullptr) {
        return 0;
    }
    if (init_coroutine_protocol() < 0) {
        return -1;
    }
    const char *texts[] = {"CORO_CREATED", "CORO_RUNNING", "CORO_SUSPENDED", "CORO_CLOSED"};
    for (std::size_t i = 0; i < std::size(state_names); ++i) {
        if (state_names[i] == nullptr) {
            state_names[i] = PyUnicode_InternFromString(texts[i]);
            if (state_names[i] == nullptr) {
                return -1;
            }
        }
    }
    Ref coro = Ref::steal(PyType_FromSpec(&coroutine_spec));
    if (!coro) {
        return -1;
    }
    Ref wrapper = Ref::steal(PyType_FromSpec(&await_wrapper_spec));
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
