// The record-text methods shared by Faidx and Fasta: fetch_fasta (regions and heads given) and
// fetch_bed (both read from the text of a BED file), and the ways their text reaches a file.
// `callable` names the method in messages.
#pragma once

#include <Python.h>

#include <cstddef>

#include "engine/fasta/engine.hpp"

namespace sekva::host {

// Where record text goes: returned (neither set), written to a descriptor, or handed to a file
// object's write(). Only a descriptor or a plain binary file (io.FileIO, or a buffered writer over
// one) is written through its descriptor; a wrapper that compresses or encodes what it is given
// (gzip, bz2, lzma) has a descriptor that is not the stream it writes, so it gets write() calls.
struct Output {
    int fd = -1;
    PyObject* writer = nullptr;  // borrowed: the call's argument
};

// The interpreter lock released while the text is written. with_lock takes it back for one step
// (a pending signal's handler, a file object's write()); what that step raised is kept aside and
// raised when the lock is taken back for good.
class Released {
public:
    Released() : saved_(PyEval_SaveThread()) {}
    ~Released() {
        PyEval_RestoreThread(saved_);
        if (type_) PyErr_Restore(type_, value_, traceback_);
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    // Runs f (returning false with a host error set on failure) with the lock held.
    template <class F>
    bool with_lock(F&& f) {
        PyEval_RestoreThread(saved_);
        bool ok = f();
        if (!ok) PyErr_Fetch(&type_, &value_, &traceback_);
        saved_ = PyEval_SaveThread();
        return ok;
    }
    bool raised() const { return type_ != nullptr; }

private:
    PyThreadState* saved_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Reads an `out`-style argument (named `param` in messages): None or absent leaves both unset.
bool read_output(PyObject* out, const char* param, Output& to);
// Writes all n bytes to a descriptor, letting signal handlers run; 0 or an error number.
int write_descriptor(int fd, const char* p, std::size_t n, Released& lock);
// Hands n bytes to a file object's write(); false with the host error set.
bool write_object(PyObject* writer, const char* param, const char* p, std::size_t n);

PyObject* fetch_fasta(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
extern const char* const FETCH_FASTA_DOC;

PyObject* fetch_fastq(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
extern const char* const FETCH_FASTQ_DOC;

PyObject* fetch_bed(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
extern const char* const FETCH_BED_DOC;

}  // namespace sekva::host
