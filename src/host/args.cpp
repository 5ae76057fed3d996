// Argument binding and conversion shared by every host class.
#include "host/args.hpp"

#include <cstring>
#include <string>

#include "host/ref.hpp"

namespace sekva::host {

namespace {

[[gnu::cold]] bool bad_call(const Signature& sig, const char* what, const char* name) {
    PyErr_Format(PyExc_TypeError, "%s() %s '%s'", sig.callable, what, name);
    return false;
}

[[gnu::cold]] bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    Py_ssize_t most = sig.max_positional();
    if (sig.required == most)
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", sig.callable, most,
                     nargs);
    else
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
                     sig.callable, sig.required, most, nargs);
    return false;
}

[[gnu::cold]] bool unexpected_keyword(const Signature& sig, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.callable, key);
    return false;
}

Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    return -1;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    Py_ssize_t i = find_param(sig, key);
    if (i < 0) return unexpected_keyword(sig, key);
    if (slots[i]) return bad_call(sig, "got multiple values for argument", sig.names[i]);
    slots[i] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject** slots) {
    for (Py_ssize_t i = 0; i < sig.required; ++i)
        if (!slots[i]) return bad_call(sig, "missing required argument", sig.names[i]);
    return true;
}

}  // namespace

bool bind_fastcall_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** slots) {
    if (nargs > sig.max_positional()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_required(sig, slots);
}

bool bind_nothing(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature sig = {callable, nullptr, 0, 0};
    return bind_fastcall(sig, args, nargs, kwnames, nullptr);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.max_positional()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(sig, key, value, slots)) return false;
    }
    return check_required(sig, slots);
}

const char* short_type_name(PyObject* o) {
    const char* name = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

// The wanted kinds keep their old names ("PyString", "PyBool", "PyTuple"), for compatibility.
bool fail_conversion(PyObject* o, const char* wanted, const char* param) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", param,
                 short_type_name(o), wanted);
    return false;
}

bool fail_argument(const char* param) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    if (Py_TYPE(v.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_Restore(t.release(), v.release(), tb.release());
        return false;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", param, v.get());
    return false;
}

bool utf8_view(PyObject* text, std::string_view& out) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_text(PyObject* o, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(o)) return fail_conversion(o, "PyString", param);
    return utf8_view(o, out);
}

bool to_path(PyObject* o, const char* param, Ref& out) {
    if (PyUnicode_Check(o)) {
        out = Ref::borrow(o);
        return true;
    }
    if (!PyBytes_Check(o) && PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__")) {
        Ref path = Ref::steal(PyObject_CallMethod(o, "__fspath__", nullptr));
        if (!path) return false;
        if (PyUnicode_Check(path.get())) {
            out = std::move(path);
            return true;
        }
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike, got %s from its __fspath__", param,
                     Py_TYPE(path.get())->tp_name);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike, got %s", param, Py_TYPE(o)->tp_name);
    return false;
}

bool to_lookup_text(PyObject* o, const char* param, std::optional<std::string_view>& out) {
    if (!PyUnicode_Check(o)) return fail_conversion(o, "PyString", param);
    std::string_view view;
    if (utf8_view(o, view)) {
        out = view;
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    out.reset();
    return true;
}

bool to_optional_text(PyObject* o, const char* param, std::optional<std::string_view>& out) {
    if (!o || o == Py_None) {
        out.reset();
        return true;
    }
    std::string_view view;
    if (!to_text(o, param, view)) return false;
    out = view;
    return true;
}

bool is_numpy_bool(PyObject* o) {
    const char* name = Py_TYPE(o)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    if (is_numpy_bool(o)) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) return fail_argument(param);
        out = truth != 0;
        return true;
    }
    return fail_conversion(o, "PyBool", param);
}

bool to_optional_bool(PyObject* o, const char* param, bool& out) {
    if (!o || o == Py_None) {
        out = false;
        return true;
    }
    return to_bool(o, param, out);
}

bool to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    if (PyLong_CheckExact(o)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_argument(param);
        out = v;
        return true;
    }
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return fail_argument(param);
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_argument(param);
    out = v;
    return true;
}

bool to_optional_u64(PyObject* o, const char* param, std::optional<std::uint64_t>& out) {
    if (!o || o == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t v = 0;
    if (!to_u64(o, param, v)) return false;
    out = v;
    return true;
}

bool check_tuple(PyObject* o, Py_ssize_t size, const char* param) {
    if (!PyTuple_Check(o)) return fail_conversion(o, "PyTuple", param);
    if (PyTuple_GET_SIZE(o) != size) {
        // Wording kept for compatibility: callers match it (tests pin it).
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", size,
                     PyTuple_GET_SIZE(o));
        return false;
    }
    return true;
}

bool check_sequence(PyObject* o, const char* param) {
    if (PyUnicode_Check(o)) {
        // Wording kept for compatibility: callers match it (tests pin it).
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
        return false;
    }
    if (!PySequence_Check(o)) return fail_conversion(o, "Sequence", param);
    return true;
}

}  // namespace sekva::host
