// The batch methods shared by Faidx and Fasta: converting `regions`, choosing the sequential or
// the parallel path, and building the result list.
#pragma once

#include <Python.h>

#include "engine/engine.hpp"

namespace sekva::host {

// fetch_many(regions): a list of Sequence, one per (name, start, end) tuple, in input order.
PyObject* fetch_many_list(const Engine& engine, PyObject* regions, bool reverse_complement);
// fetch_many_same_chr(name, regions): the same for (start, end) pairs on one record.
PyObject* fetch_many_same_chr_list(const Engine& engine, PyObject* name, PyObject* regions, bool reverse_complement);

}  // namespace sekva::host
