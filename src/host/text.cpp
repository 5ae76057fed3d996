// Building and reading the ASCII host strings that hold sequence text.
#include "host/text.hpp"

#include <cstring>
#include <utility>

#include "engine/base/bytes.hpp"
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

StrOutput::~StrOutput() {
    resume();
    Py_XDECREF(obj_);
}

void StrOutput::resume() {
    if (released_) PyEval_RestoreThread(std::exchange(released_, nullptr));
}

char* StrOutput::reserve(std::uint64_t capacity) {
    if (capacity > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
#ifdef PYPY_VERSION
    try {
        scratch_.resize(static_cast<std::size_t>(capacity));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    data_ = scratch_.data();
#else
    obj_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
    if (!obj_) {
        PyErr_Clear();  // reported as MemoryError by the caller
        return nullptr;
    }
    data_ = static_cast<char*>(PyUnicode_DATA(obj_));
#endif
    if (capacity >= RELEASE_LOCK_ABOVE) released_ = PyEval_SaveThread();
    return data_;
}

PyObject* StrOutput::finish(std::uint64_t length, std::string_view record, bool known_ascii) {
    resume();
    if (!data_) return fetched_str("", 0, record);
    if (!known_ascii && !is_ascii(data_, static_cast<std::size_t>(length)))
        return fetched_str(data_, static_cast<std::size_t>(length), record);
#ifdef PYPY_VERSION
    return PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(length));
#else
    if (static_cast<Py_ssize_t>(length) != PyUnicode_GET_LENGTH(obj_) &&
        PyUnicode_Resize(&obj_, static_cast<Py_ssize_t>(length)) < 0)
        return nullptr;
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
