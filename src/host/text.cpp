// Building and reading the ASCII host strings that hold sequence text.
#include "host/text.hpp"

#include <cstring>

#include "engine/bytes.hpp"
#include "host/errors.hpp"

namespace sekva::host {

AsciiBuilder::AsciiBuilder(Py_ssize_t n) : n_(n) {
#ifdef PYPY_VERSION
    try {
        scratch_.resize(static_cast<std::size_t>(n));
        data_ = scratch_.data();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
#else
    obj_ = PyUnicode_New(n, 127);
    if (obj_) data_ = static_cast<char*>(PyUnicode_DATA(obj_));
#endif
}

AsciiBuilder::~AsciiBuilder() { Py_XDECREF(obj_); }

PyObject* AsciiBuilder::finish() {
#ifdef PYPY_VERSION
    if (!data_) return nullptr;
    return PyUnicode_FromStringAndSize(scratch_.data(), n_);
#else
    PyObject* out = obj_;
    obj_ = nullptr;
    return out;
#endif
}

PyObject* ascii_str(const char* p, std::size_t n) {
#ifdef PYPY_VERSION
    return PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
#else
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (out) std::memcpy(PyUnicode_DATA(out), p, n);
    return out;
#endif
}

PyObject* fetched_str(const char* p, std::size_t n, std::string_view record) {
    if (!is_ascii(p, n)) [[unlikely]] {
        std::string message = "bases fetched from '";
        message.append(record);
        message += "' are not ASCII text; sequences hold one ASCII byte per base";
        return raise_text(PyExc_ValueError, message);
    }
    return ascii_str(p, n);
}

std::string_view seq_bytes(PyObject* text) {
#ifdef PYPY_VERSION
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
#else
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
#endif
}

bool str_is_ascii(PyObject* text) {
#ifdef PYPY_VERSION
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    return is_ascii(data, static_cast<std::size_t>(size));
#else
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    return PyUnicode_IS_ASCII(text);
#endif
}

}  // namespace sekva::host
