// Traceback entries and frames of the runtime's functions: one code object
// per function and line, named by the function's dotted path, in the
// module's source file; frames made only when an entry or `cr_frame` needs one.

#include "internal.hpp"

#include <frameobject.h>

namespace kr {

// The source file our entries cite for the module named `module_name`.
static PyObject *source_path(PyObject *module_name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(module_name);
    Py_ssize_t dot = PyUnicode_FindChar(module_name, '.', 0, length, -1);
    if (dot == -2) return nullptr;
    Ref short_name = steal(PyUnicode_Substring(module_name, dot + 1, length));
    if (!short_name) return nullptr;
    return PyUnicode_FromFormat("src/kelvra_runtime/core/runtime/%U.py", short_name.get());
}

// A code object named `funcname` whose only line is `line`.
static PyObject *new_code(PyObject *funcname, PyObject *module_name, int line) {
    Ref filename = steal(source_path(module_name));
    const char *file_text = filename ? PyUnicode_AsUTF8(filename.get()) : nullptr;
    const char *func_text = file_text ? PyUnicode_AsUTF8(funcname) : nullptr;
    if (func_text == nullptr) return nullptr;
    return reinterpret_cast<PyObject *>(PyCode_NewEmpty(file_text, func_text, line));
}

// Adds a traceback entry for `code` to the error being raised; the entry
// is lost, and the error kept, when its frame cannot be made.
static void add_traceback_frame(PyObject *code, PyObject *globals) {
    PyObject *error = PyErr_GetRaisedException();
    Ref frame = code ? steal(frame_of(code, globals)) : Ref();
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(error);
        return;
    }
    PyErr_SetRaisedException(error);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

PyObject *frame_of(PyObject *code, PyObject *globals) {
    return reinterpret_cast<PyObject *>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr));
}

void add_traceback_entry(PyObject *funcname, PyObject *module_name, int line, PyObject *globals) {
    PyObject *error = PyErr_GetRaisedException();
    Ref code = steal(new_code(funcname, module_name, line));
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    add_traceback_frame(code.get(), globals);
}

PyObject *function_code(FunctionObject *f, int line) {
    if (line == 0) line = f->def->line;
    if (f->codes == nullptr) {
        f->codes = PyDict_New();
        if (f->codes == nullptr) return nullptr;
    }
    Ref key = steal(PyLong_FromLong(line));
    if (!key) return nullptr;
    PyObject *code;
    if (PyDict_GetItemRef(f->codes, key.get(), &code) != 0) return code;
    Ref funcname = steal(PyUnicode_FromFormat("%U.%U", f->module, f->qualname));
    Ref made = funcname ? steal(new_code(funcname.get(), f->module, line)) : Ref();
    if (!made || PyDict_SetItem(f->codes, key.get(), made.get()) < 0) return nullptr;
    return made.release();
}

// The code of every awaiter, before it is given a function's names and
// line: one line, so that each of its instructions stands at that line.
// Made once per process.
static PyObject *awaiter_template() {
    static PyObject *code = nullptr;
    if (code != nullptr) return code;
    Ref module =
        steal(Py_CompileString("async def awaiter(awaitable): return await awaitable", "<awaiter>", Py_file_input));
    Ref consts = module ? steal(PyObject_GetAttrString(module.get(), "co_consts")) : Ref();
    if (!consts) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i))) {
            code = Py_NewRef(PyTuple_GET_ITEM(consts.get(), i));
            return code;
        }
    }
    PyErr_SetString(PyExc_SystemError, "the awaiter compiled to no code");
    return nullptr;
}

PyObject *function_awaiter(FunctionObject *f, int line) {
    if (f->awaiters == nullptr) {
        f->awaiters = PyDict_New();
        if (f->awaiters == nullptr) return nullptr;
    }
    Ref key = steal(PyLong_FromLong(line));
    if (!key) return nullptr;
    PyObject *awaiter;
    if (PyDict_GetItemRef(f->awaiters, key.get(), &awaiter) != 0) return awaiter;
    PyObject *template_code = awaiter_template();
    Ref ours = template_code ? steal(function_code(f, line)) : Ref();
    if (!ours) return nullptr;
    auto *names = reinterpret_cast<PyCodeObject *>(ours.get());
    Ref replace = steal(PyObject_GetAttrString(template_code, "replace"));
    Ref kwargs = replace
                     ? steal(Py_BuildValue("{sOsOsOsi}", "co_name", names->co_name, "co_qualname", names->co_qualname,
                                           "co_filename", names->co_filename, "co_firstlineno", line))
                     : Ref();
    Ref args = kwargs ? steal(PyTuple_New(0)) : Ref();
    Ref code = args ? steal(PyObject_Call(replace.get(), args.get(), kwargs.get())) : Ref();
    Ref made = code ? steal(PyFunction_New(code.get(), f->globals)) : Ref();
    if (!made || PyDict_SetItem(f->awaiters, key.get(), made.get()) < 0) return nullptr;
    return made.release();
}

bool raised_through_awaiter(FunctionObject *f, int line) {
    if (f->awaiters == nullptr) return false;
    PyObject *error = PyErr_GetRaisedException();
    Ref tb = steal(error ? PyException_GetTraceback(error) : nullptr);
    Ref key = tb ? steal(PyLong_FromLong(line)) : Ref();
    PyObject *awaiter = nullptr;
    bool found = key && PyDict_GetItemRef(f->awaiters, key.get(), &awaiter) > 0;
    if (found) {
        Ref code = steal(
            reinterpret_cast<PyObject *>(PyFrame_GetCode(reinterpret_cast<PyTracebackObject *>(tb.get())->tb_frame)));
        found = code.get() == PyFunction_GET_CODE(awaiter);
        Py_DECREF(awaiter);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    return found;
}

void function_traceback(FunctionObject *f, int line) {
    PyObject *error = PyErr_GetRaisedException();
    Ref code = steal(function_code(f, line));
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    add_traceback_frame(code.get(), f->globals);
}

}  // namespace kr
