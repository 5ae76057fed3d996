// The batch methods shared by Faidx and Fasta: converting `regions`, choosing the sequential or
// the parallel path, and building the result list.
#pragma once

#include <Python.h>

#include <vector>

#include "engine/batch.hpp"
#include "host/ref.hpp"

namespace sekva::host {

// Every region of a call, converted before anything is fetched.
struct BatchRegions {
    Ref items;                          // a tuple holding every region, so names stay alive
    std::vector<BatchRequest> requests;
    std::vector<PyObject*> names;       // borrowed from `items`
};

// `fixed_name` (a str) is set for the (start, end) form; otherwise items are (name, start, end).
bool convert_regions(const Engine& engine, PyObject* regions, PyObject* fixed_name, BatchRegions& out);
// A list of Sequence in input order; with `fixed_name`, an unknown record fails first.
PyObject* fetch_regions(const Engine& engine, const BatchRegions& regions, PyObject* fixed_name,
                        bool reverse_complement);

}  // namespace sekva::host
