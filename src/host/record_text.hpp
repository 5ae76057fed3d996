// The record-text methods shared by Faidx and Fasta: fetch_fasta (regions and heads given) and
// fetch_bed (both read from the text of a BED file). `callable` names the method in messages.
#pragma once

#include <Python.h>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

PyObject* fetch_fasta(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
extern const char* const FETCH_FASTA_DOC;

PyObject* fetch_fastq(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
extern const char* const FETCH_FASTQ_DOC;

PyObject* fetch_bed(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
extern const char* const FETCH_BED_DOC;

}  // namespace sekva::host
