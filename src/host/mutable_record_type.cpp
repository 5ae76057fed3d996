// MutableFastaRecord: reserved for writable records; every write is refused.
#include "host/args.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

// Both messages are kept for compatibility.
int assign_item(PyObject*, PyObject*, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
        return -1;
    }
    std::string_view text;
    if (!to_text(value, "_value", text)) return -1;
    PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
    return -1;
}

void release_nothing(PyObject*) {}

PyMethodDef methods[] = {
    refuse_subclass_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<release_nothing, false>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(unchecked_entry<assign_item>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("Reserved for writable records: every assignment raises NotImplementedError.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"sekva.MutableFastaRecord", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* mutable_fasta_record_type() { return cached_type(type_cell, type_spec); }

}  // namespace sekva::host
