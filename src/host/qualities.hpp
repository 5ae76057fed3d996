// The qualities of a FASTQ file, shared by Faidx, Fasta and FastaRecord: single regions, whole
// reads and arrays, all read through the engine's quality view.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

// The engine's quality view, or nullptr with ValueError set for a file without qualities (FASTA).
const Engine* quality_engine(const Engine& engine);
// Whether the file has qualities; false with that ValueError set when it has none.
bool require_qualities(const Engine& engine);
// The quality characters of bases start to end (1-based, inclusive) of read `name` (a str), as a
// str: the coordinates, clamping, warnings and errors of the checked single fetch.
PyObject* fetch_quality_text(const Engine& engine, PyObject* name, std::uint64_t start, std::uint64_t end);
// A whole read's qualities, as a str.
PyObject* read_quality_text(const Engine& engine, PyObject* name);
// fetch_quality(name, start, end) and fetch_qualities(...) of Faidx and Fasta.
PyObject* fetch_quality(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* fetch_qualities(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

extern const char* const FETCH_QUALITIES_DOC;

}  // namespace sekva::host
