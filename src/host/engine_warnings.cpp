// Issuing collected warning lines through Python's warnings module.
#include "host/engine_warnings.hpp"

#include "host/ref.hpp"

namespace sekva::host {

PyObject* EngineWarnings::issue_lines(PyObject* result) {
    Ref owned = Ref::steal(result);
    // The call's own error waits while the warnings run Python code, and comes back after them.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!result) PyErr_Fetch(&type, &value, &traceback);
    Ref saved_type = Ref::steal(type), saved_value = Ref::steal(value), saved_traceback = Ref::steal(traceback);
    Ref warn;
    if (Ref module = Ref::steal(PyImport_ImportModule("warnings")))
        warn = Ref::steal(PyObject_GetAttrString(module.get(), "warn"));
    if (!warn) return nullptr;
    for (const std::string& line : lines_) {
        // A record name in the line may hold any bytes the file had.
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
        if (!text) return nullptr;
        Ref none = Ref::steal(PyObject_CallFunctionObjArgs(warn.get(), text.get(), PyExc_UserWarning, nullptr));
        if (!none) return nullptr;
    }
    if (!result) {
        PyErr_Restore(saved_type.release(), saved_value.release(), saved_traceback.release());
        return nullptr;
    }
    return owned.release();
}

}  // namespace sekva::host
