// Where a class's instances keep an attribute in their own storage: the
// layout of the host's inline values, which only its internal headers
// describe, read here alone, as its own specialised attribute access reads
// them, once the running host has shown it keeps them so (layout.cpp).
// Other versions of the host keep to the general protocol.

#define Py_BUILD_CORE 1
#include "common/host/versions.hpp"

#include <limits>

#ifdef KR_HOST_LAYOUT_KNOWN
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#endif

#include "common/host/host.hpp"

namespace kr {

#ifdef KR_HOST_LAYOUT_KNOWN

// What the reads below and host.hpp's rely on, as the known versions'
// headers have them (see layout.hpp).
static_assert(sizeof(PyDictValues::valid) == 1);  // fields_in_use reads a byte
static_assert(offsetof(PyDictValues, values) == sizeof(PyObject *));
static_assert(sizeof(PyDictUnicodeEntry) == 2 * sizeof(PyObject *) && offsetof(PyDictUnicodeEntry, me_key) == 0);
static_assert(DICT_KEYS_SPLIT == 2);
static_assert(MANAGED_DICT_OFFSET == -3 * static_cast<Py_ssize_t>(sizeof(PyObject *)));
static_assert(Py_TPFLAGS_INLINE_VALUES == (1UL << 2));
#if SIZEOF_VOID_P == 8 && PY_VERSION_HEX < 0x030F0000
static_assert(offsetof(PyHeapTypeObject, ht_cached_keys) == 880);
#elif SIZEOF_VOID_P == 8
static_assert(offsetof(PyHeapTypeObject, ht_cached_keys) == 888);
#endif

// Whether an instance's own value of `name` is what reading it gives: no
// class attribute of that name, or one that is no descriptor and whose type
// cannot become one (a field's default, say).  The host's specialisation
// takes the same view.
static bool instance_value_wins(PyTypeObject *type, PyObject *name) {
    PyObject *attribute = _PyType_Lookup(type, name);
    if (attribute == nullptr) return true;
    PyTypeObject *kind = Py_TYPE(attribute);
    return PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE) && kind->tp_descr_get == nullptr &&
           kind->tp_descr_set == nullptr;
}

// The index of `name` in the keys that the class's instances share, or -1.
// Shared keys only grow, so an index, once there, stays.
static Py_ssize_t shared_key_index(PyTypeObject *type, PyObject *name) {
    PyDictKeysObject *keys = reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys;
    if (keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
        PyObject *key = entries[i].me_key;
        if (key == name || (key != nullptr && PyUnicode_Compare(key, name) == 0)) return i;
    }
    return -1;
}

template <class Offset>
static bool fits(std::ptrdiff_t offset) {
    return offset >= std::numeric_limits<Offset>::min() && offset <= std::numeric_limits<Offset>::max();
}

static void find_field(PyObject *obj, PyObject *name, FieldSlot *slots) {
    PyTypeObject *type = Py_TYPE(obj);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ||
        type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) {
        return;
    }
    if (!PyUnstable_Type_AssignVersionTag(type)) return;
    bool wins = instance_value_wins(type, name);
    unsigned int version = type->tp_version_tag;
    if (version == 0) return;
    FieldSlot slot{version};
    if (wins) {
        // A name that no instance holds yet may join the shared keys later:
        // no slot, so that the next access looks again.
        Py_ssize_t index = shared_key_index(type, name);
        PyDictValues *values = _PyObject_InlineValues(obj);
        if (index < 0 || index >= values->capacity) return;
        char *base = reinterpret_cast<char *>(obj);
        std::ptrdiff_t value = reinterpret_cast<char *>(&values->values[index]) - base;
        std::ptrdiff_t in_use = reinterpret_cast<char *>(&values->valid) - base;
        std::ptrdiff_t dict = reinterpret_cast<char *>(_PyObject_ManagedDictPointer(obj)) - base;
        if (!fits<std::int16_t>(value) || !fits<std::int8_t>(in_use) || !fits<std::int8_t>(dict)) return;
        slot.value = static_cast<std::int16_t>(value);
        slot.in_use = static_cast<std::int8_t>(in_use);
        slot.dict = static_cast<std::int8_t>(dict);
    }
    if (slots[0].version != version) slots[1] = slots[0];
    slots[0] = slot;
}

void fill_field_slot(PyObject *obj, PyObject *name, FieldSlot *slots) {
    if (host::fast_paths.inline_fields) find_field(obj, name, slots);
}

// A probe instance holding `False` under `name`, set by the host: the slot
// found for it reads that value; the instance's dict pointer is empty until
// the host makes its `__dict__`, then holds it.  (Replacing that `__dict__`
// here would also show the values going out of use, but the debug host
// asserts on it when an allocation failed before.)
static int found_where_kept(PyObject *instance, PyObject *name) {
    FieldSlot slots[2] = {};
    find_field(instance, name, slots);
    const FieldSlot *slot = find_field_slot(slots, Py_TYPE(instance)->tp_version_tag);
    if (slot == nullptr || slot->value == 0 || !fields_in_use(instance, *slot) ||
        *field_place(instance, slot->value) != Py_False || *field_place(instance, slot->dict) != nullptr) {
        return 0;
    }
    PyObject *dict = PyObject_GenericGetDict(instance, nullptr);
    if (dict == nullptr) return -1;
    bool kept = *field_place(instance, slot->dict) == dict && fields_in_use(instance, *slot);
    Py_DECREF(dict);
    return kept;
}

int host::probe_inline_fields() {
    PyObject *type = PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()N", "probe", PyDict_New());
    PyObject *instance = type ? PyObject_CallNoArgs(type) : nullptr;
    Py_XDECREF(type);
    if (instance == nullptr) return -1;
    PyObject *first = PyUnicode_InternFromString("first");
    PyObject *second = first ? PyUnicode_InternFromString("second") : nullptr;
    int agrees = -1;
    if (second != nullptr && PyObject_SetAttr(instance, first, Py_True) == 0 &&
        PyObject_SetAttr(instance, second, Py_False) == 0) {
        agrees = found_where_kept(instance, second);
    }
    Py_XDECREF(first);
    Py_XDECREF(second);
    Py_DECREF(instance);
    return agrees;
}

#else

void fill_field_slot(PyObject *, PyObject *, FieldSlot *) {}

int host::probe_inline_fields() { return 0; }

#endif

}  // namespace kr
