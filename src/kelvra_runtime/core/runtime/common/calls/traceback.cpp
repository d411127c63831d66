// Traceback entries and frames of the runtime's functions: one code object
// per function and line, named by the function's dotted path, in the
// module's source file; frames made only when an entry or `cr_frame` needs one.
// And the code object that profilers see, named as the rendering's function.

#include "common/internal.hpp"

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

PyObject *rendering_code(FunctionObject *f) {
    Ref code = steal(new_code(f->name, f->module, f->def->line));
    Ref replace = steal(PyUnicode_InternFromString("replace"));
    Ref keywords = steal(Py_BuildValue("(s)", "co_qualname"));
    if (!code || !replace || !keywords) return nullptr;
    PyObject *args[] = {code.get(), f->qualname};
    return PyObject_VectorcallMethod(replace.get(), args, 1, keywords.get());
}

void function_traceback(FunctionObject *f, int line) {
    PyObject *error = PyErr_GetRaisedException();
    Ref code = steal(function_code(f, line));
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    add_traceback_frame(code.get(), f->globals);
}

}  // namespace kr
