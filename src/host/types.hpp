// The module's classes: each getter makes its type object on first use and keeps it for the process.
#pragma once

#include <Python.h>

namespace sekva::host {

// Each returns a borrowed type object, or nullptr with the host error set.
PyTypeObject* fasta_type();
PyTypeObject* faidx_type();
PyTypeObject* sequence_type();
PyTypeObject* fasta_record_type();
PyTypeObject* fasta_iterator_type();
PyTypeObject* sequence_iterator_type();
PyTypeObject* mutable_fasta_record_type();

// Heap type made from its slot table once; the cell keeps it for the life of the process.
PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& type_spec);

// The two iterator classes: made by the module only, GC-tracked (without tp_clear, like records:
// the Fasta they hold breaks any cycle), iterating themselves.
PyTypeObject* cached_iterator_type(PyTypeObject*& cell, const char* name, const char* doc, int basicsize,
                                   destructor dealloc, traverseproc traverse, iternextfunc next);

}  // namespace sekva::host
