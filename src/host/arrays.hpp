// The array methods shared by Faidx and Fasta: fetch_array, fetch_onehot, fetch_ragged,
// fetch_variants and fetch_haplotypes. numpy
// is needed only here, and only when an array has to be made.
#pragma once

#include <Python.h>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

// `callable` names the method in messages ("Fasta.fetch_array").
PyObject* fetch_array(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* fetch_onehot(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* fetch_ragged(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
// The (data, offsets) of fetch_ragged from its first four arguments as bound (regions, names,
// starts, ends), its rc and upper, with `less` subtracted from every byte (Phred scores from
// quality characters).
PyObject* ragged_arrays(const Engine& engine, const char* callable, PyObject* const* given, PyObject* rc, bool upper,
                        unsigned char less);
PyObject* fetch_variants(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* fetch_haplotypes(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// Docstrings (with their text signatures) of the methods.
extern const char* const FETCH_ARRAY_DOC;
extern const char* const FETCH_ONEHOT_DOC;
extern const char* const FETCH_RAGGED_DOC;
extern const char* const FETCH_VARIANTS_DOC;
extern const char* const FETCH_HAPLOTYPES_DOC;

}  // namespace sekva::host
