// Raising host exceptions: engine errors, fixed messages, and the cold paths that build them.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine/base/error.hpp"

namespace sekva::host {

// A file name as shown (repr, messages): a URL's query, which may carry a signature or token, as
// "?<redacted>". A new reference; the name itself when it cannot be read as UTF-8.
PyObject* shown_name(PyObject* name);

// The one place a FaidxError becomes a host exception: the class of its kind (FetchError, ...),
// with "<prefix><payload>" as its message.
[[gnu::cold]] void raise_faidx_error(const FaidxError& error);
// Sets `type` with a UTF-8 message that may hold any bytes a user supplied; returns nullptr.
[[gnu::cold]] PyObject* raise_text(PyObject* type, std::string_view message);
// The bare class name, without the module prefix.
const char* short_name(PyTypeObject* type);
// TypeError "No constructor defined for {}".
[[gnu::cold]] PyObject* raise_no_constructor(PyTypeObject* type);
// tp_new of the classes that only the module itself makes.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// __init_subclass__ for every class: no class of the module may be subclassed. The host refuses
// on its own where it honours the base-type flag; this covers hosts that do not.
PyObject* refuse_subclass(PyObject* cls, PyObject* args, PyObject* kwargs);
inline PyMethodDef refuse_subclass_method() {
    return {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
            METH_VARARGS | METH_KEYWORDS | METH_CLASS, "Refuses every subclass: the class cannot be extended."};
}
// Whether a list of `items` new objects could be held in this machine's memory at all; where it
// could not, the caller raises MemoryError before starting work that would never end.
bool list_fits_in_memory(std::uint64_t items);
// AttributeError "can't delete attribute"; returns -1 for setters.
[[gnu::cold]] int refuse_delete();

}  // namespace sekva::host
