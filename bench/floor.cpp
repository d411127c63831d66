// The floor of the benchmarks: no-op C callables of each call shape the
// benchmarked operations have, as built-in functions and methods cost them,
// and `drive`, which runs an awaitable to completion without raising
// StopIteration (so timing a coroutine operation measures the operation).
#include <Python.h>

namespace {

// ---------------------------------------------------------------------------
// An awaitable that completes at once with None: what an asynchronous
// no-op returns.

PySendResult done_send(PyObject *, PyObject *, PyObject **result) {
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

PyType_Slot done_slots[] = {
    {Py_am_send, reinterpret_cast<void *>(done_send)},
    {0, nullptr},
};

PyType_Spec done_spec = {"floor.Done", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, done_slots};
PyTypeObject *done_type;

// ---------------------------------------------------------------------------
// The methods, one per call shape

PyObject *no_args(PyObject *, PyObject *) { Py_RETURN_NONE; }
PyObject *one_arg(PyObject *, PyObject *) { Py_RETURN_NONE; }
PyObject *positional(PyObject *, PyObject *const *, Py_ssize_t) { Py_RETURN_NONE; }
PyObject *keywords(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) { Py_RETURN_NONE; }

PyObject *asynchronous(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return PyType_GenericAlloc(done_type, 0);
}

PyMethodDef shape_methods[] = {
    {"no_args", no_args, METH_NOARGS, nullptr},
    {"one_arg", one_arg, METH_O, nullptr},
    {"positional", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(positional)), METH_FASTCALL, nullptr},
    {"keywords", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keywords)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"class_one_arg", one_arg, METH_O | METH_CLASS, nullptr},
    {"asynchronous", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(asynchronous)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shapes_slots[] = {
    {Py_tp_methods, shape_methods},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec shapes_spec = {"floor.Shapes", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, shapes_slots};

// ---------------------------------------------------------------------------
// The module

PyObject *drive(PyObject *, PyObject *awaitable) {
    PyObject *result;
    while (true) {
        switch (PyIter_Send(awaitable, Py_None, &result)) {
            case PYGEN_RETURN: return result;
            case PYGEN_ERROR: return nullptr;
            case PYGEN_NEXT: Py_DECREF(result); break;
        }
    }
}

PyMethodDef module_methods[] = {
    {"one_arg", one_arg, METH_O, nullptr},
    {"drive", drive, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floor", nullptr, 0, module_methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor() {
    done_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&done_spec));
    if (done_type == nullptr) return nullptr;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == nullptr) return nullptr;
    if (PyModule_Add(module, "Shapes", PyType_FromSpec(&shapes_spec)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
