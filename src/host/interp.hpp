// What differs between the interpreters the module is built for (CPython, PyPy), behind small
// helpers: the one host file that asks which interpreter it is built for.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "engine/base/bytes.hpp"

namespace sekva::host {

// CPython lets the characters of a new str (and the bytes of a new bytes) be written after it is
// made and before anyone sees it, so bases are written straight into their final object. PyPy's C
// API gives no such promise: there text is written into a buffer and the object made from it.
#ifdef PYPY_VERSION
inline constexpr bool TEXT_WRITTEN_IN_PLACE = false;
#else
inline constexpr bool TEXT_WRITTEN_IN_PLACE = true;
#endif

[[gnu::cold]] inline PyObject* refuse_text_in_place() {
    PyErr_SetString(PyExc_SystemError, "strings are not filled in place on this host");
    return nullptr;
}

// A new str of n ASCII characters for the caller to write at `data` before anyone sees it; nullptr
// with the error set when it cannot be made. Only where TEXT_WRITTEN_IN_PLACE.
inline PyObject* new_str_to_fill(Py_ssize_t n, char*& data) {
#ifdef PYPY_VERSION
    (void)n;
    (void)data;
    return refuse_text_in_place();
#else
    PyObject* str = PyUnicode_New(n, 127);
    if (str) data = static_cast<char*>(PyUnicode_DATA(str));
    return str;
#endif
}

// Cuts a str made by new_str_to_fill, nobody else's yet, to its first n characters; *str may be
// replaced. Only where TEXT_WRITTEN_IN_PLACE.
inline bool shrink_filled_str(PyObject*& str, Py_ssize_t n) {
#ifdef PYPY_VERSION
    (void)str;
    (void)n;
    return refuse_text_in_place() != nullptr;
#else
    return PyUnicode_GET_LENGTH(str) == n || PyUnicode_Resize(&str, n) == 0;
#endif
}

// A new bytes of n bytes for the caller to write at `data` before anyone sees it. Only where
// TEXT_WRITTEN_IN_PLACE.
inline PyObject* new_bytes_to_fill(Py_ssize_t n, char*& data) {
#ifdef PYPY_VERSION
    (void)n;
    (void)data;
    return refuse_text_in_place();
#else
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, n);
    if (bytes) data = PyBytes_AS_STRING(bytes);
    return bytes;
#endif
}

// The bytes of a str that holds only ASCII: its own storage on CPython, its UTF-8 form elsewhere.
inline std::string_view ascii_str_bytes(PyObject* str) {
#ifdef PYPY_VERSION
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
#else
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
#endif
}

// Whether a str holds only ASCII characters.
inline bool str_is_ascii(PyObject* str) {
#ifdef PYPY_VERSION
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    return is_ascii(data, static_cast<std::size_t>(size));
#else
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    return PyUnicode_IS_ASCII(str);
#endif
}

// A new object of `type` (a class the collector does not track) whose fields the caller then sets,
// every one of them. On CPython it is neither zeroed nor tracked, the cheapest allocation there is;
// PyPy's C API makes objects through tp_alloc only.
inline PyObject* new_unset_object(PyTypeObject* type, std::size_t size) {
#ifdef PYPY_VERSION
    (void)size;
    return type->tp_alloc(type, 0);
#else
    auto* o = static_cast<PyObject*>(PyObject_Malloc(size));
    if (!o) return PyErr_NoMemory();
    return PyObject_Init(o, type);
#endif
}

// Whether any other thread of the interpreter could be waiting for the lock. Only this thread's own
// state is read through: the list may change meanwhile, but this thread stays on it.
inline bool others_may_wait_for_lock() {
#ifdef PYPY_VERSION
    return true;  // its C API lists no threads
#else
    PyThreadState* self = PyThreadState_Get();
    return PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(self)) != self ||
           PyThreadState_Next(self) != nullptr;
#endif
}

}  // namespace sekva::host
