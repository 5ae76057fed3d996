// Host exceptions raised by every class of the module.
#include "host/errors.hpp"

#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "engine/base/redact.hpp"
#include "host/entry.hpp"
#include "host/exceptions.hpp"
#include "host/ref.hpp"

namespace sekva::host {

PyObject* raise_text(PyObject* type, std::string_view message) {
    const std::string shown = redact_urls(message);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* shown_name(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) {
        PyErr_Clear();  // a local path with undecodable bytes: no URL
        Py_INCREF(name);
        return name;
    }
    const std::string shown = redact_urls(std::string_view(text, static_cast<std::size_t>(size)));
    return PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "strict");
}

// The base Exception with a prefix per kind, kept for compatibility: callers tell kinds apart by it.
void raise_faidx_error(const FaidxError& error) {
    Ref exc = Ref::steal(new_exception(error));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

const char* short_name(PyTypeObject* type) {
    const char* name = std::strrchr(type->tp_name, '.');
    return name ? name + 1 : type->tp_name;
}

// Wording kept for compatibility (tests pin it).
PyObject* raise_no_constructor(PyTypeObject* type) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", short_name(type));
    return nullptr;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) { return raise_no_constructor(type); }

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    const char* name = short_name(reinterpret_cast<PyTypeObject*>(cls));
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", name);
    return nullptr;
}

void raise_not_built(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "this %s object was not made by sekva and cannot be used", short_name(Py_TYPE(o)));
}

void raise_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a size beyond what any container can hold
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "sekva: unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "sekva: unexpected C++ exception");
    }
}

bool check_exact_type(PyTypeObject* given, PyTypeObject* expected, const char* name) {
    if (given == expected) return true;
    if (expected)
        PyErr_Format(PyExc_TypeError, "%s.__new__(%s): only %s itself can be made", name, short_name(given), name);
    return false;
}

bool list_fits_in_memory(std::uint64_t items) {
    constexpr std::uint64_t smallest_item = sizeof(PyObject*) + sizeof(PyObject);
    long pages = ::sysconf(_SC_PHYS_PAGES), page_size = ::sysconf(_SC_PAGESIZE);
    std::uint64_t memory = pages > 0 && page_size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
                                                      : std::uint64_t{1} << 40;
    return items <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / smallest_item && items * smallest_item <= memory;
}

// Wording kept for compatibility (tests pin it).
int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

}  // namespace sekva::host
