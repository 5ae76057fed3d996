// The argument binder for METH_FASTCALL | METH_KEYWORDS calls, and the per-type converters.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "host/ref.hpp"

namespace sekva::host {

struct Signature {
    const char* callable;  // named in bad-call messages, e.g. "Faidx.fetch"
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;         // the first `required` parameters have no default
    Py_ssize_t positional = -1;  // how many may be given by position; -1: all of them
    Py_ssize_t max_positional() const { return positional < 0 ? count : positional; }
};

// Fills slots[0..count) with borrowed references, nullptr where an optional argument is absent.
// On a bad call (missing, repeated, surplus or unknown argument) sets TypeError and returns false.
bool bind_fastcall_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** slots);
inline bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** slots) {
    // Every argument by position, as in almost every call in a loop.
    if (!kwnames && nargs == sig.count && sig.positional < 0) {
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
        return true;
    }
    return bind_fastcall_general(sig, args, nargs, kwnames, slots);
}
// A method that takes no arguments: any positional or keyword argument is a bad call.
bool bind_nothing(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same for a tp_new call with an argument tuple and keyword dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converters: each returns false with the host error set. A TypeError is rewritten to
// "argument '{param}': {message}"; other errors (OverflowError, ValueError) pass unchanged.
// os.fspath for the file-name options: a str as it is, or the str an os.PathLike gives. Bytes and
// anything else: TypeError "argument '{param}': expected str or os.PathLike, got {type}".
bool to_path(PyObject* o, const char* param, Ref& out);
bool to_text(PyObject* o, const char* param, std::string_view& out);
// A record name to look up: any str; one that has no UTF-8 form (a lone surrogate) names no record
// and gives nothing rather than an error.
bool to_lookup_text(PyObject* o, const char* param, std::optional<std::string_view>& out);
bool to_optional_text(PyObject* o, const char* param, std::optional<std::string_view>& out);
bool to_bool(PyObject* o, const char* param, bool& out);
// Scalar booleans of numpy (np.True_, np.False_), which to_bool takes through their truth value.
bool is_numpy_bool(PyObject* o);
bool to_optional_bool(PyObject* o, const char* param, bool& out);  // None and absent mean false
bool to_u64(PyObject* o, const char* param, std::uint64_t& out);
bool to_optional_u64(PyObject* o, const char* param, std::optional<std::uint64_t>& out);
// Checks that o is a tuple of `size` items; items are then read with PyTuple_GET_ITEM.
bool check_tuple(PyObject* o, Py_ssize_t size, const char* param);
// Checks that o is a sequence but not text; the caller then iterates it with PySequence_Fast.
bool check_sequence(PyObject* o, const char* param);

// "'{type}' object cannot be converted to '{wanted}'" as a TypeError naming `param`.
[[gnu::cold]] bool fail_conversion(PyObject* o, const char* wanted, const char* param);
// Rewrites a pending TypeError into "argument '{param}': {message}".
[[gnu::cold]] bool fail_argument(const char* param);
// The bare type name of an object, without module prefix.
const char* short_type_name(PyObject* o);

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table holds.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall_method(FastcallFunction fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The UTF-8 bytes of a str already checked with PyUnicode_Check.
bool utf8_view(PyObject* text, std::string_view& out);

}  // namespace sekva::host
