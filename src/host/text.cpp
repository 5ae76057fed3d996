// Building and reading the ASCII host strings that hold sequence text.
#include "host/text.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "engine/base/bytes.hpp"
#include "host/errors.hpp"

namespace sekva::host {

AsciiBuilder::AsciiBuilder(Py_ssize_t n) : n_(n) {
    if constexpr (TEXT_WRITTEN_IN_PLACE) {
        obj_ = new_str_to_fill(n, data_);
        return;
    }
    try {
        scratch_.resize(static_cast<std::size_t>(n));
        data_ = scratch_.data();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

AsciiBuilder::~AsciiBuilder() { Py_XDECREF(obj_); }

PyObject* AsciiBuilder::finish() {
    if constexpr (TEXT_WRITTEN_IN_PLACE) return std::exchange(obj_, nullptr);
    if (!data_) return nullptr;
    return PyUnicode_FromStringAndSize(scratch_.data(), n_);
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
    if constexpr (TEXT_WRITTEN_IN_PLACE) {
        obj_ = new_str_to_fill(static_cast<Py_ssize_t>(capacity), data_);
        if (!obj_) {
            PyErr_Clear();  // reported as MemoryError by the caller
            return nullptr;
        }
    } else {
        try {
            scratch_.resize(static_cast<std::size_t>(capacity));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        data_ = scratch_.data();
    }
    if (capacity >= RELEASE_LOCK_ABOVE) released_ = PyEval_SaveThread();
    return data_;
}

PyObject* StrOutput::finish(std::uint64_t length, std::string_view record, bool known_ascii) {
    resume();
    if (!data_) return fetched_str("", 0, record);
    if (!known_ascii && !is_ascii(data_, static_cast<std::size_t>(length)))
        return fetched_str(data_, static_cast<std::size_t>(length), record);
    if constexpr (!TEXT_WRITTEN_IN_PLACE) return PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(length));
    if (!shrink_filled_str(obj_, static_cast<Py_ssize_t>(length))) return nullptr;
    return std::exchange(obj_, nullptr);
}

PyObject* ascii_str(const char* p, std::size_t n) {
    if constexpr (!TEXT_WRITTEN_IN_PLACE) return PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
    char* data = nullptr;
    PyObject* out = new_str_to_fill(static_cast<Py_ssize_t>(n), data);
    if (out) std::memcpy(data, p, n);
    return out;
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

}  // namespace sekva::host
