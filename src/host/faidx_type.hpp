// The host Faidx class: the index engine exposed directly.
#pragma once

#include <Python.h>

namespace sekva::host {

// Method bodies shared with Fasta, which offers the same fetches on its own engine.
PyObject* faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace sekva::host
