// Host exceptions raised by every class of the module.
#include "host/errors.hpp"

#include <cstring>
#include <string>

#include "host/ref.hpp"

namespace sekva::host {

PyObject* raise_text(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

void raise_faidx_error(const FaidxError& error) {
    std::string message = error.host_prefix();
    message += error.payload;
    raise_text(PyExc_Exception, message);
}

PyObject* raise_no_constructor(PyTypeObject* type) {
    const char* name = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name ? name + 1 : type->tp_name);
    return nullptr;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) { return raise_no_constructor(type); }

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
    const char* name = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", name);
    return nullptr;
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

}  // namespace sekva::host
