// The module's exception classes: FaidxError, and one subclass per kind of engine error that also
// derives from the builtin class a program would catch.
#pragma once

#include <Python.h>

#include "engine/base/error.hpp"

namespace sekva::host {

// Makes the classes and adds them to the module and to `all` (its __all__ list). Once per process.
bool add_exception_classes(PyObject* module, PyObject* all);
// The class an engine error of this kind raises (borrowed).
PyObject* exception_class(ErrorKind kind);
// A new exception object for the error: "<prefix><payload>" as its one argument, and errno set
// for the I/O kind when the system gave one. nullptr with an exception set on failure.
PyObject* new_exception(const FaidxError& error);  // nullptr, the raised exception kept, for an interruption
// Raises `type` with `message`, its __cause__ the typed exception of `error`: a batch's
// RuntimeError("Error fetching region i: ...") carries the error of region i. Returns nullptr.
PyObject* raise_caused_by(PyObject* type, std::string_view message, const FaidxError& error);

}  // namespace sekva::host
