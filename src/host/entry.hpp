// The one door between the interpreter and the module's code: every function the host calls
// through a slot or a method table is wrapped here, so that no C++ exception ever reaches the
// interpreter (bad_alloc becomes MemoryError, anything else SystemError), and an object that the
// module did not build itself is refused before any of its fields is read.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>

namespace sekva::host {

// Every object of the module begins with a pointer field that its constructor sets and that is
// never null afterwards. An object made some other way (object.__new__ on hosts that allow it)
// is zero-filled by the allocator, so a null first field marks it as not built.
struct ObjectHead {
    PyObject_HEAD
    void* first;
};
#define SEKVA_FIRST_FIELD_MARKS_BUILT(Type, field) \
    static_assert(offsetof(Type, field) == offsetof(::sekva::host::ObjectHead, first), #Type " must start with " #field)

// Whether `type` is one of the module's own classes. An object of any other type reaching a
// function of the module (an instance of a subclass that a host let through) has some other
// layout, and none of its fields may be read or released.
bool is_module_type(PyTypeObject* type);
inline bool has_module_layout(PyObject* o) { return is_module_type(Py_TYPE(o)); }
inline bool is_built(PyObject* o) {
    return has_module_layout(o) && reinterpret_cast<ObjectHead*>(o)->first != nullptr;
}

[[gnu::cold]] void raise_not_built(PyObject* o);
[[gnu::cold]] void raise_cpp_exception();  // inside a catch block: turns the exception in flight into a host error

// The failure value of each slot signature.
template <class R>
R failure() {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

template <auto Fn, bool CheckBuilt>
struct Entry;

template <class R, class... A, R (*Fn)(PyObject*, A...), bool CheckBuilt>
struct Entry<Fn, CheckBuilt> {
    static R call(PyObject* self, A... args) noexcept {
        if (CheckBuilt && !is_built(self)) {
            raise_not_built(self);
            return failure<R>();
        }
        try {
            return Fn(self, args...);
        } catch (...) {
            raise_cpp_exception();
            return failure<R>();
        }
    }
};

// tp_new: no object yet, so nothing to check but exceptions.
template <PyObject* (*Fn)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return Fn(type, args, kwargs);
    } catch (...) {
        raise_cpp_exception();
        return nullptr;
    }
}

// The garbage collector's hooks, for objects whose layout is the module's own only.
template <int (*Fn)(PyObject*, visitproc, void*)>
int traverse_entry(PyObject* o, visitproc visit, void* arg) {
    return has_module_layout(o) ? Fn(o, visit, arg) : 0;
}
template <int (*Fn)(PyObject*)>
int clear_entry(PyObject* o) {
    return has_module_layout(o) ? Fn(o) : 0;
}

// The end of every object of the module: untrack (for GC-tracked classes), release what the
// object owns (only where the layout is the module's own), free the memory and the reference to
// the type.
template <void (*Release)(PyObject*), bool Tracked = true>
void dealloc_entry(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (Tracked) PyObject_GC_UnTrack(o);
    if (has_module_layout(o)) Release(o);
    type->tp_free(o);
    Py_DECREF(type);
}

// Function pointers for slot and method tables.
template <auto Fn>
inline constexpr auto entry = &Entry<Fn, true>::call;
// For the one class whose objects hold no fields at all.
template <auto Fn>
inline constexpr auto unchecked_entry = &Entry<Fn, false>::call;

template <auto Fn>
void* slot() {
    return reinterpret_cast<void*>(entry<Fn>);
}

// tp_new of a class that may not be subclassed: refuses any other type, which hosts that do not
// check the type handed to __new__ (or that allow subclasses through a mixin) would pass on.
bool check_exact_type(PyTypeObject* given, PyTypeObject* expected, const char* name);

// Runs f with the interpreter lock released and returns what it returns. The lock is taken back
// however f ends, so whatever f throws reaches the door above with the lock held.
template <class F>
decltype(auto) without_lock(F&& f) {
    struct Relock {
        PyThreadState* saved;
        ~Relock() { PyEval_RestoreThread(saved); }
    } relock{PyEval_SaveThread()};
    return f();
}

}  // namespace sekva::host
