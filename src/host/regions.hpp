// Reading regions for the array and text methods: (name, start, end) tuples, or names, starts and
// ends as separate columns (numpy and pandas columns read without an object per element), and
// per-region strands.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "host/ref.hpp"

namespace sekva::host {

struct Regions {
    std::vector<Window> windows;        // entry and first position; first = start until widths are settled
    std::vector<std::int64_t> starts, ends;
    std::vector<PyObject*> names;       // borrowed from `keep`, for messages
    std::vector<bool> absent;           // None in place of a region (where allowed)
    Ref keep;
    std::size_t count() const { return starts.size(); }
    void resize(std::size_t n) {
        windows.resize(n);
        starts.resize(n);
        ends.resize(n);
        names.resize(n);
        absent.resize(n);
    }
};

// Reads `regions`, or names/starts/ends, checking each in input order: a known record (KeyError) and
// a start no greater than the end (ValueError), naming the region by its position. With
// `allow_absent`, None may stand for a region in `regions`.
bool read_regions(const Engine& engine, PyObject* regions, PyObject* names, PyObject* starts, PyObject* ends,
                  Regions& out, bool allow_absent = false);
// rc: None or False (no region), True (every region), or one item per region: a bool, "+" or "-".
bool read_strands(PyObject* rc, Regions& regions);
// The items a sequence holds now, as a tuple the caller's code cannot change: an item's __index__,
// or another thread while the lock is released, may clear the caller's list as it is read.
inline Ref snapshot(PyObject* sequence) { return Ref::steal(PySequence_Tuple(sequence)); }
// An integer argument as a signed 64-bit value.
bool to_i64(PyObject* o, const char* param, std::int64_t& out);
// Raises what a fill on the workers (arrays, record text) failed with; returns nullptr.
[[gnu::cold]] PyObject* raise_fill_failure(JobFailure& failure);
// ValueError (or `type`) "region {i}: {what}".
[[gnu::cold]] bool bad_region(PyObject* type, std::size_t i, const std::string& what);

}  // namespace sekva::host
