// FastaIterator: the records of a Fasta, from a snapshot of its names.
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/fasta_type.hpp"
#include "host/ref.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

struct FastaIteratorObject {
    PyObject_HEAD
    PyObject* names;  // list of str taken when the iterator was made
    Py_ssize_t position;
    PyObject* fasta;
    bool is_mutable;
};
SEKVA_FIRST_FIELD_MARKS_BUILT(FastaIteratorObject, names);

FastaIteratorObject* as_iterator(PyObject* o) { return reinterpret_cast<FastaIteratorObject*>(o); }

int iterator_traverse(PyObject* o, visitproc visit, void* arg) {
    return visit_all(visit, arg, {as_iterator(o)->names, as_iterator(o)->fasta, reinterpret_cast<PyObject*>(Py_TYPE(o))});
}

void release_iterator(PyObject* o) {
    Py_CLEAR(as_iterator(o)->names);
    Py_CLEAR(as_iterator(o)->fasta);
}

PyObject* iterator_next(PyObject* o) {
    auto* self = as_iterator(o);
    if (self->position >= PyList_GET_SIZE(self->names)) return nullptr;  // exhausted for good
    PyObject* name = PyList_GET_ITEM(self->names, self->position);
    ++self->position;
    return new_fasta_record(self->fasta, name, self->is_mutable);
}

PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* fasta_iterator_type() {
    return cached_iterator_type(type_cell, "sekva.FastaIterator",
                                "The records of a Fasta, one FastaRecord each, in index-file order.",
                                sizeof(FastaIteratorObject), dealloc_entry<release_iterator>,
                                traverse_entry<iterator_traverse>, entry<iterator_next>);
}

PyObject* new_fasta_iterator(PyObject* fasta, PyObject* names, bool is_mutable) {
    PyTypeObject* type = fasta_iterator_type();
    if (!type) return nullptr;
    auto* self = reinterpret_cast<FastaIteratorObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->names = new_ref(names);
    self->position = 0;
    self->fasta = new_ref(fasta);
    self->is_mutable = is_mutable;
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace sekva::host
