// The host Sequence class: what fetches return and what users construct.
#pragma once

#include <Python.h>

#include "engine/fetch/sequence.hpp"

namespace sekva::host {

// Makes a Sequence from its parts. `name` is borrowed, `seq` is stolen (an ASCII str);
// on failure both are released and nullptr is returned with the error set.
PyObject* new_sequence(PyObject* name, PyObject* seq, Coords coords, bool comp);

// Whether o is a host Sequence; if so, fills its parts (borrowed).
struct SequenceParts {
    PyObject* name;
    PyObject* seq;
    Coords coords;
    bool comp;
};
bool sequence_parts(PyObject* o, SequenceParts& out);

// Cuts the text of a Sequence that nobody else has seen yet to its first `length` characters
// (where TEXT_WRITTEN_IN_PLACE: the str was made with room to spare and filled in place).
bool shrink_sequence_text(PyObject* sequence, Py_ssize_t length);

// -s: the reverse complement of a host Sequence.
PyObject* sequence_negative(PyObject* self);
// s.reverse
PyObject* sequence_reversed(PyObject* self);

}  // namespace sekva::host
