// The module definition and import behaviour shared by the runtime's
// modules: multi-phase initialisation with a create and an exec slot, one
// interpreter per process, no re-initialisation, and the module body run
// under an "init <module>" traceback entry.

#include <string>

#include "common/internal.hpp"

namespace kr {

// A shared object holds exactly one module, so this state is the module's.
static const ModuleDef *module_decl = nullptr;
static PyModuleDef module_def;
static PyObject *module_object = nullptr;  // owned once exec has started
static PyObject *qualified = nullptr;      // "kelvra_runtime.core.runtime.<name>"
static std::string qualified_text;
static int64_t interpreter_id = -1;

static int check_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (interpreter_id == -1) {
        interpreter_id = current;
        return 0;
    }
    if (interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return -1;
    }
    return 0;
}

static int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to, bool allow_none) {
    Ref value = steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !allow_none) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

static PyObject *module_create(PyObject *spec, PyModuleDef *) {
    if (check_interpreter() < 0) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

static int warn_on_version_mismatch() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_text.c_str(), "does not match", major, minor);
}

static int register_module(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, qualified);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, qualified, module);
}

static int run_exec(Module &m) {
    PyObject *dict = m.dict();
    Ref builtins = steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) return -1;
    if (warn_on_version_mismatch() < 0 || host::check_layout() < 0) return -1;
    if (Constant::make_all() < 0) return -1;
    if (init_function_type(qualified) < 0 || init_coroutine_types(qualified) < 0) return -1;
    if (register_module(m.object()) < 0) return -1;
    if (module_decl->body != nullptr && module_decl->body(m) < 0) return -1;
    return m.bind("__test__", PyDict_New(), m.line());
}

static int module_exec(PyObject *module) {
    if (module_object != nullptr) {
        if (module_object == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_decl->name);
        return -1;
    }
    module_object = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    Module m(*module_decl, module, dict, qualified_text.c_str());
    if (run_exec(m) == 0) return 0;
    Ref funcname = steal(PyUnicode_FromFormat("init %U", qualified));
    if (funcname) add_traceback_entry(funcname.get(), qualified, m.line(), dict);
    Py_CLEAR(module_object);
    return -1;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyObject *module_init(const ModuleDef &def) {
    // Recorded only once complete: a first call that fails for want of
    // memory leaves nothing half made for the next import to take as done.
    if (module_decl == nullptr) {
        qualified_text = std::string("kelvra_runtime.core.runtime.") + def.name;
        qualified = PyUnicode_InternFromString(qualified_text.c_str());
        if (qualified == nullptr) return nullptr;
        module_def = {
            PyModuleDef_HEAD_INIT, def.name, def.doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
        };
        module_decl = &def;
    }
    return PyModuleDef_Init(&module_def);
}

// ---------------------------------------------------------------------------
// What module bodies build with

int Module::bind(const char *name, PyObject *value, int line) {
    Ref owned = steal(value);
    if (!owned || PyDict_SetItemString(dict_, name, owned.get()) < 0) return fail(line);
    return 0;
}

int Module::import_module(const char *module, int line) { return bind(module, PyImport_ImportModule(module), line); }

int Module::import_from(const char *module, std::span<const char *const> names, int line) {
    int level = 0;
    while (module[level] == '.') level++;
    Ref fromlist = steal(PyList_New(0));
    if (!fromlist) return fail(line);
    for (const char *name : names) {
        Ref text = steal(PyUnicode_InternFromString(name));
        if (!text || PyList_Append(fromlist.get(), text.get()) < 0) return fail(line);
    }
    Ref module_name = steal(PyUnicode_FromString(module + level));
    if (!module_name) return fail(line);
    Ref imported = steal(PyImport_ImportModuleLevelObject(module_name.get(), dict_, nullptr, fromlist.get(), level));
    if (!imported) return fail(line);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); i++) {
        PyObject *name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = steal(PyObject_GetAttr(imported.get(), name));
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // A submodule imported under its package's name.
            PyErr_Clear();
            const char *package = PyModule_GetName(imported.get());
            Ref full = package ? steal(PyUnicode_FromFormat("%s.%U", package, name)) : Ref();
            value = full ? steal(PyImport_GetModule(full.get())) : Ref();
            if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        }
        if (!value || PyDict_SetItem(dict_, name, value.get()) < 0) return fail(line);
    }
    return 0;
}

int Module::def(const FunctionDef &def) { return bind(def.name, function(def, nullptr), def.line); }

}  // namespace kr
