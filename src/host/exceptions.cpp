// The exception classes are written in Python and run once at module init: a class deriving from
// both FaidxError and an OSError subclass needs the interpreter's own class machinery, and the
// same text works on every host.
#include "host/exceptions.hpp"

#include <iterator>
#include <string>
#include <string_view>

#include "engine/base/redact.hpp"
#include "host/ref.hpp"

namespace sekva::host {

namespace {

constexpr const char* source = R"(
class FaidxError(Exception):
    """Base class of every error sekva raises about files, indexes, records and regions. str()
    is the message exactly as given, prefix included."""

    def __str__(self):
        return str(self.args[0]) if len(self.args) == 1 else Exception.__str__(self)


class FastaNotFoundError(FaidxError, FileNotFoundError):
    """The FASTA file does not exist."""


class IndexNotFoundError(FaidxError, FileNotFoundError):
    """The index (.fai or .gzi) does not exist and may not be built."""


class FetchError(FaidxError, KeyError):
    """A record that the index does not hold, or a fetch that failed."""


class FastaIndexingError(FaidxError, ValueError):
    """The FASTA text or its index breaks the format's rules."""


class FaidxIOError(FaidxError, OSError):
    """Reading or writing a file failed; errno is set where the system gave one."""


class RegionError(FaidxError, ValueError):
    """A region outside its record, or with its ends the wrong way round."""
)";

// In the order of ErrorKind, then the base class.
constexpr const char* kind_classes[] = {"FastaNotFoundError", "IndexNotFoundError", "FetchError",
                                        "FastaIndexingError", "FaidxIOError",       "RegionError"};
PyObject* classes[std::size(kind_classes)] = {};

}  // namespace

bool add_exception_classes(PyObject* module, PyObject* all) {
    Ref scope = Ref::steal(PyDict_New());
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref name = Ref::steal(PyUnicode_FromString("sekva"));
    if (!scope || !builtins || !name || PyDict_SetItemString(scope.get(), "__builtins__", builtins.get()) < 0 ||
        PyDict_SetItemString(scope.get(), "__name__", name.get()) < 0)
        return false;
    Ref ran = Ref::steal(PyRun_String(source, Py_file_input, scope.get(), scope.get()));
    if (!ran) return false;
    auto add = [&](const char* cls) -> PyObject* {
        PyObject* type = PyDict_GetItemString(scope.get(), cls);  // borrowed
        Ref text = Ref::steal(PyUnicode_FromString(cls));
        if (!type || !text || PyObject_SetAttrString(module, cls, type) < 0 || PyList_Append(all, text.get()) < 0)
            return nullptr;
        return type;
    };
    if (!add("FaidxError")) return false;
    for (std::size_t i = 0; i < std::size(kind_classes); ++i) {
        PyObject* type = add(kind_classes[i]);
        if (!type) return false;
        Py_INCREF(type);  // kept for the life of the process, as the module is
        classes[i] = type;
    }
    return true;
}

PyObject* exception_class(ErrorKind kind) {
    PyObject* type = classes[static_cast<int>(kind)];
    return type ? type : PyExc_Exception;
}

PyObject* new_exception(const FaidxError& error) {
    // Work the user interrupted: what the signal handler raised stays the exception.
    if (is_interruption(error) && PyErr_Occurred()) return nullptr;
    std::string message = error.host_prefix();
    message += redact_urls(error.payload);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(exception_class(error.kind), text.get(), nullptr));
    if (!exc) return nullptr;
    if (error.kind == ErrorKind::Io && error.os_errno) {
        Ref number = Ref::steal(PyLong_FromLong(error.os_errno));
        if (!number || PyObject_SetAttrString(exc.get(), "errno", number.get()) < 0) return nullptr;
    }
    return exc.release();
}

PyObject* raise_caused_by(PyObject* type, std::string_view message, const FaidxError& error) {
    Ref cause = Ref::steal(new_exception(error));
    if (!cause) return nullptr;
    const std::string shown = redact_urls(message);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace"));
    if (!text) return nullptr;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exc || PyObject_SetAttrString(exc.get(), "__cause__", cause.get()) < 0) return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

}  // namespace sekva::host
