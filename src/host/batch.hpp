// The batch methods shared by Faidx and Fasta: reading `regions`, choosing the sequential or the
// parallel path, and building the result list.
#pragma once

#include <Python.h>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

// A list of Sequence for `regions` in input order. `fixed_name` (a str) is set for the
// (start, end) form; otherwise items are (name, start, end). With `rc_given` other than None,
// True or False, the regions are still read first, so their errors come before rc's.
PyObject* fetch_regions(const Engine& engine, PyObject* regions, PyObject* fixed_name, PyObject* rc_given);

}  // namespace sekva::host
