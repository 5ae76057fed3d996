// PyInit_sekva: the module object, made once per process, with its classes in a fixed order.
#include <Python.h>

#include <pthread.h>

#include <iterator>
#include <new>

#include "engine/simd/cpu.hpp"
#include "engine/codec/inflate.hpp"
#include "engine/io/http_source.hpp"
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/exceptions.hpp"
#include "host/fasta_type.hpp"
#include "host/ref.hpp"
#include "host/transcripts.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

// The module's classes, in the order the module adds them.
struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr Registration registrations[] = {
    {"Fasta", fasta_type},
    {"Faidx", faidx_type},
    {"Sequence", sequence_type},
    {"FastaRecord", fasta_record_type},
    {"FastaIterator", fasta_iterator_type},
    {"SequenceIterator", sequence_iterator_type},
    {"MutableFastaRecord", mutable_fasta_record_type},
};

// Every class the module has made, for is_module_type: one place per registered class.
PyTypeObject* module_types[std::size(registrations)];
std::size_t module_type_count = 0;

}  // namespace

PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& type_spec) {
    if (cell) return cell;
    // A class made here but not registered above would find no place: its objects would then be
    // taken for foreign ones and never released. Refused loudly instead.
    if (module_type_count == std::size(module_types)) {
        PyErr_Format(PyExc_SystemError, "sekva: class %s is not among the module's registered classes",
                     type_spec.name);
        return nullptr;
    }
    cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (cell) module_types[module_type_count++] = cell;
    return cell;
}

bool is_module_type(PyTypeObject* type) {
    for (std::size_t i = 0; i < module_type_count; ++i)
        if (module_types[i] == type) return true;
    return false;
}

namespace {

// Iterators hold a position in a file's records or bases; they are not pickled or copied. A new
// iterator from the unpickled Fasta or record starts where the user wants.
PyObject* refuse_pickling(PyObject* o, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_Format(PyExc_TypeError,
                 "cannot pickle '%s' object: pickle the Fasta or the record and make a new iterator from it",
                 short_name(Py_TYPE(o)));
    return nullptr;
}

}  // namespace

PyTypeObject* cached_iterator_type(PyTypeObject*& cell, const char* name, const char* doc, int basicsize,
                                   destructor dealloc, traverseproc traverse, iternextfunc next) {
    if (cell) return cell;
    // The tables must outlive the type; they are made once per class and kept for the process.
    static PyMethodDef methods[] = {
        {"__reduce__", fastcall_method(unchecked_entry<refuse_pickling>), METH_FASTCALL | METH_KEYWORDS,
         "__reduce__($self)\n--\n\nIterators do not pickle: pickle the Fasta or record and make a new iterator."},
        refuse_subclass_method(),
        {nullptr, nullptr, 0, nullptr},
    };
    auto* slots = new (std::nothrow) PyType_Slot[]{
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},  // wrapped by the caller
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    auto* type_spec = new (std::nothrow)
        PyType_Spec{name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    if (!slots || !type_spec) {
        PyErr_NoMemory();
        return nullptr;
    }
    return cached_type(cell, *type_spec);
}

namespace {

// Functions for the package's own command line and helpers, not part of the API.
PyMethodDef module_functions[] = {
    {"_build_index", fastcall_method(unchecked_entry<build_index_function>), METH_FASTCALL | METH_KEYWORDS,
     "_build_index(filename, indexname)\n--\n\nBuilds the index (at indexname, or beside the file) whatever lies "
     "there, without opening the file for reads; True for a FASTQ file."},
    {"_fasta_of_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unchecked_entry<fasta_of_names_function>)),
     METH_VARARGS | METH_KEYWORDS,
     "_fasta_of_names(names, filename, **options)\n--\n\nA Fasta whose table lists only the records of these names."},
    {"_read_annotation", fastcall_method(unchecked_entry<read_annotation_function>), METH_FASTCALL | METH_KEYWORDS,
     "_read_annotation(text)\n--\n\nThe transcripts of the bytes of a GTF or GFF3 file, as an opaque handle."},
    {"_annotation_transcripts", fastcall_method(unchecked_entry<annotation_transcripts_function>),
     METH_FASTCALL | METH_KEYWORDS,
     "_annotation_transcripts(annotation)\n--\n\n(id, chrom, strand, exons, cds, phase) of each transcript."},
    {"_write_transcripts", fastcall_method(unchecked_entry<write_transcripts_function>), METH_FASTCALL | METH_KEYWORDS,
     "_write_transcripts(fasta, annotation, exons=None, cds=None, proteins=None, projected=False, stop='.', "
     "warn=None)\n--\n\nThe spliced exons, CDS and proteins of the transcripts, as gffread -w/-x/-y writes them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sekva", "Random access to FASTA files through a .fai index.", 0,
    module_functions, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_cell = nullptr;

// The distribution's version, which the build passes in; a build outside the packaging has none.
#ifndef SEKVA_VERSION
#define SEKVA_VERSION ""
#endif
constexpr const char* version_text = sizeof(SEKVA_VERSION) > 1 ? SEKVA_VERSION : "0+unknown";

bool register_class(PyObject* module, const Registration& reg) {
    PyTypeObject* type = reg.type();
    if (!type) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    Ref name = Ref::steal(PyUnicode_FromString(reg.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttrString(module, reg.name, reinterpret_cast<PyObject*>(type)) == 0;
}

// sekva.features: what this build can do, for a user or a bug report to ask the installed module.
// "bgzf" names the inflater of compressed files (None: they are refused), "remote" whether URLs
// open, "simd" the widest vector instructions the kernels use on this processor.
bool add_features(PyObject* module) {
    Ref features = Ref::steal(PyDict_New());
    if (!features) return false;
    const char* inflater = inflate_backend();
    Ref bgzf = inflater ? Ref::steal(PyUnicode_FromString(inflater)) : Ref::borrow(Py_None);
    Ref simd = Ref::steal(PyUnicode_FromString(simd_level_name()));
    if (!bgzf || !simd) return false;
    if (PyDict_SetItemString(features.get(), "bgzf", bgzf.get()) < 0 ||
        PyDict_SetItemString(features.get(), "remote", remote_access_built() ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(features.get(), "simd", simd.get()) < 0)
        return false;
    return PyObject_SetAttrString(module, "features", features.get()) == 0;
}

// A thread that holds the interpreter lock lets the interpreter's other threads run while it waits
// for the network; worker threads, which never hold it, just wait.
void* release_lock_for_wait() { return PyGILState_Check() ? PyEval_SaveThread() : nullptr; }
void take_lock_after_wait(void* saved) {
    if (saved) PyEval_RestoreThread(static_cast<PyThreadState*>(saved));
}

// Signals reach Python on its main thread only: there, a wait for the network takes the lock for a
// moment to run the handlers, and a KeyboardInterrupt (or what a handler raised) stops the wait and
// stays raised for the caller.
pthread_t main_thread;
bool wait_interrupted() {
    if (!pthread_equal(pthread_self(), main_thread)) return false;
    PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

PyObject* init_module() {
    if (module_cell) {
        Py_INCREF(module_cell);
        return module_cell;
    }
    main_thread = pthread_self();  // where the module is first imported: the main thread, as a rule
    set_network_wait_hooks({release_lock_for_wait, take_lock_after_wait, wait_interrupted});
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    for (const auto& reg : registrations)
        if (!register_class(module.get(), reg)) return nullptr;
    // The exception classes come after the seven classes, in __all__ as well.
    Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
    if (!all || !add_exception_classes(module.get(), all.get())) return nullptr;
    // A plain attribute, not in __all__: `from sekva import *` brings the classes only.
    Ref version = Ref::steal(PyUnicode_FromString(version_text));
    if (!version || PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0) return nullptr;
    if (!add_features(module.get())) return nullptr;
    module_cell = module.get();
    Py_INCREF(module_cell);
    return module.release();
}

}  // namespace

}  // namespace sekva::host

PyMODINIT_FUNC PyInit_sekva(void) { return sekva::host::init_module(); }
