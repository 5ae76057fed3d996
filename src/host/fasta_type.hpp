// What records and iterators need from the Fasta that made them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

// The engine of a Fasta object (the object must be a Fasta).
const Engine& fasta_engine(PyObject* fasta);
// Record names in the name table's order, as views into the table (it never changes).
const std::vector<std::string_view>& fasta_names(PyObject* fasta);

// Single fetch on a Fasta's engine, as a host Sequence named `name` (a str).
PyObject* fasta_fetch(PyObject* fasta, PyObject* name, std::uint64_t start, std::uint64_t end);

// New objects that hold a reference to `fasta`.
PyObject* new_fasta_record(PyObject* fasta, PyObject* name, bool is_mutable);
PyObject* new_fasta_iterator(PyObject* fasta, PyObject* names, bool is_mutable);
PyObject* new_sequence_iterator(PyObject* fasta, PyObject* name, std::uint64_t piece, std::uint64_t length);

// Line geometry of a record for piece-wise walks: lenc (70 when unknown, at least 1) and rlen.
struct RecordShape {
    std::uint64_t piece;
    std::uint64_t length;
};
RecordShape record_shape(const Engine& engine, std::string_view name);

// _fasta_of_names(names, filename, ...): a Fasta opened with the given arguments whose table
// lists only the records of `names` (an iterable of str); the whole index is still read and checked.
PyObject* fasta_of_names_function(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace sekva::host
