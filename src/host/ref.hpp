// Ref: the one owning reference type of the host layer; borrow and steal are explicit.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

namespace sekva::host {

// A new reference to p (Py_NewRef is not in every host's C API).
inline PyObject* new_ref(PyObject* p) {
    Py_INCREF(p);
    return p;
}

// Replaces *cell with an already owned reference, releasing the old one afterwards.
inline void replace_ref(PyObject*& cell, PyObject* owned) {
    PyObject* old = cell;
    cell = owned;
    Py_XDECREF(old);
}

// Visits each non-null reference for the garbage collector; stops at the first non-zero answer.
inline int visit_all(visitproc visit, void* arg, std::initializer_list<PyObject*> refs) {
    for (PyObject* p : refs) {
        if (!p) continue;
        if (int r = visit(p, arg)) return r;
    }
    return 0;
}

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace sekva::host
