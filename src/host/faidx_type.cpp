// Faidx: constructor, fetch, fetch_entire_sequence, keys, `in` and repr over one engine.
#include "host/args.hpp"
#include "host/arrays.hpp"
#include "host/batch.hpp"
#include "host/qualities.hpp"
#include "host/record_text.hpp"
#include "host/engine_bridge.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/ref.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

using FaidxObject = EngineHolder;

FaidxObject* as_faidx(PyObject* o) { return reinterpret_cast<FaidxObject*>(o); }

constexpr EngineOrder ENGINE_ORDER = engine_order(ENGINE_PARAM_NAMES);

PyObject* faidx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig = {"Faidx.__new__", ENGINE_PARAM_NAMES, ENGINE_PARAMS, 1};
    if (!check_exact_type(type, faidx_type(), "Faidx")) return nullptr;
    return new_engine_holder(type, args, kwargs, sig, ENGINE_ORDER);
}

PyObject* faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "start", "end"};
    static const Signature sig = {"Faidx.fetch", names, 3, 3};
    PyObject* slot[3];
    std::string_view name;
    std::uint64_t start, end;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name) ||
        !to_u64(slot[1], "start", start) || !to_u64(slot[2], "end", end))
        return nullptr;
    return fetch_sequence(*as_faidx(self)->engine, slot[0], name, start, end);
}

PyObject* faidx_fetch_entire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static const Signature sig = {"Faidx.fetch_entire_sequence", names, 1, 1};
    PyObject* slot[1];
    std::string_view name;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name)) return nullptr;
    const Engine& engine = *as_faidx(self)->engine;
    return fetch_to_host(slot[0], name, [&](StrOutput& out) { return fetch_entire_into(engine, name, out); });
}

PyObject* faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"regions"};
    static const Signature sig = {"Faidx.fetch_many", names, 1, 1};
    PyObject* slot[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    return fetch_regions(*as_faidx(self)->engine, slot[0], nullptr, nullptr);
}

PyObject* faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "regions"};
    static const Signature sig = {"Faidx.fetch_many_same_chr", names, 2, 2};
    PyObject* slot[2];
    std::string_view name;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name)) return nullptr;
    return fetch_regions(*as_faidx(self)->engine, slot[1], slot[0], nullptr);
}

PyObject* faidx_keys(PyObject* self, void*) { return keys_list(*as_faidx(self)->engine); }

int faidx_contains(PyObject* self, PyObject* key) {
    std::optional<std::string_view> name;
    if (!to_lookup_text(key, "name", name)) return -1;
    return name && as_faidx(self)->engine->names().contains(*name);
}

PyObject* faidx_repr(PyObject* self) {
    Ref name = Ref::steal(shown_name(as_faidx(self)->filename));
    return name ? PyUnicode_FromFormat("Faidx(\"%U\")", name.get()) : nullptr;
}

// Pickles as the file name and the options: unpickling opens the file again.
PyObject* faidx_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Faidx.__reduce__", args, nargs, kwnames)) return nullptr;
    return reduce_engine_holder(self, ENGINE_ORDER);
}

PyObject* faidx_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_array(*as_faidx(self)->engine, "Faidx.fetch_array", args, nargs, kwnames);
}

PyObject* faidx_fetch_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_variants(*as_faidx(self)->engine, "Faidx.fetch_variants", args, nargs, kwnames);
}

PyObject* faidx_fetch_haplotypes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_haplotypes(*as_faidx(self)->engine, "Faidx.fetch_haplotypes", args, nargs, kwnames);
}

PyObject* faidx_fetch_onehot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_onehot(*as_faidx(self)->engine, "Faidx.fetch_onehot", args, nargs, kwnames);
}

PyObject* faidx_fetch_ragged(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_ragged(*as_faidx(self)->engine, "Faidx.fetch_ragged", args, nargs, kwnames);
}

PyObject* faidx_fetch_fasta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_fasta(*as_faidx(self)->engine, "Faidx.fetch_fasta", args, nargs, kwnames);
}

PyObject* faidx_fetch_bed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_bed(*as_faidx(self)->engine, "Faidx.fetch_bed", args, nargs, kwnames);
}

PyObject* faidx_fetch_quality(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_quality(*as_faidx(self)->engine, "Faidx.fetch_quality", args, nargs, kwnames);
}

PyObject* faidx_fetch_qualities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_qualities(*as_faidx(self)->engine, "Faidx.fetch_qualities", args, nargs, kwnames);
}

PyObject* faidx_fetch_fastq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_fastq(*as_faidx(self)->engine, "Faidx.fetch_fastq", args, nargs, kwnames);
}

PyMethodDef methods[] = {
    {"__reduce__", fastcall_method(entry<faidx_reduce>), METH_FASTCALL | METH_KEYWORDS, "__reduce__($self)\n--\n\nPickles as the file name and the options: unpickling opens the file again."},
    {"fetch", fastcall_method(entry<faidx_fetch>), METH_FASTCALL | METH_KEYWORDS, "fetch($self, name, start, end)\n--\n\nThe bases from start to end (1-based, inclusive) of a record, as a Sequence."},
    {"fetch_entire_sequence", fastcall_method(entry<faidx_fetch_entire>), METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\n"
     "Ultra-fast method for fetching entire sequences - bypasses all bounds checking"},
    {"fetch_many", fastcall_method(entry<faidx_fetch_many>), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\n"
     "High-performance batch fetch for many sequences\n\n"
     "Batches of fewer than 1000 regions are fetched one after the other on the calling thread;\n"
     "larger batches are processed in parallel on a pool of worker threads.\n\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    seqs = faidx.fetch_many([(\"chr1\", 1, 100), (\"chr2\", 500, 600)])"},
    {"fetch_many_same_chr", fastcall_method(entry<faidx_fetch_many_same_chr>), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "Suited to BED files whose regions all lie on one chromosome: the name is looked up once.\n\n"
     "Args:\n"
     "    name: Name of the record all regions lie on\n"
     "    regions: List of (start, end) tuples\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    seqs = faidx.fetch_many_same_chr(\"chr1\", [(1, 100), (500, 600)])"},
    {"fetch_array", fastcall_method(entry<faidx_fetch_array>), METH_FASTCALL | METH_KEYWORDS, FETCH_ARRAY_DOC},
    {"fetch_onehot", fastcall_method(entry<faidx_fetch_onehot>), METH_FASTCALL | METH_KEYWORDS, FETCH_ONEHOT_DOC},
    {"fetch_variants", fastcall_method(entry<faidx_fetch_variants>), METH_FASTCALL | METH_KEYWORDS, FETCH_VARIANTS_DOC},
    {"fetch_haplotypes", fastcall_method(entry<faidx_fetch_haplotypes>), METH_FASTCALL | METH_KEYWORDS, FETCH_HAPLOTYPES_DOC},
    {"fetch_ragged", fastcall_method(entry<faidx_fetch_ragged>), METH_FASTCALL | METH_KEYWORDS, FETCH_RAGGED_DOC},
    {"fetch_fasta", fastcall_method(entry<faidx_fetch_fasta>), METH_FASTCALL | METH_KEYWORDS, FETCH_FASTA_DOC},
    {"fetch_bed", fastcall_method(entry<faidx_fetch_bed>), METH_FASTCALL | METH_KEYWORDS, FETCH_BED_DOC},
    {"fetch_quality", fastcall_method(entry<faidx_fetch_quality>), METH_FASTCALL | METH_KEYWORDS,
     "fetch_quality($self, name, start, end)\n--\n\n"
     "The quality characters of bases start to end (1-based, inclusive) of a FASTQ read, as a str, with\n"
     "the coordinates, clamping, warnings and errors of fetch. On a FASTA file, a ValueError."},
    {"fetch_qualities", fastcall_method(entry<faidx_fetch_qualities>), METH_FASTCALL | METH_KEYWORDS,
     FETCH_QUALITIES_DOC},
    {"fetch_fastq", fastcall_method(entry<faidx_fetch_fastq>), METH_FASTCALL | METH_KEYWORDS, FETCH_FASTQ_DOC},
    refuse_subclass_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"keys", entry<faidx_keys>, nullptr, const_cast<char*>("A new list of the record names, in index-file order."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_entry<faidx_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<release_engine_holder>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_entry<engine_holder_traverse>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_entry<engine_holder_clear>)},
    {Py_tp_repr, slot<faidx_repr>()},
    {Py_sq_contains, slot<faidx_contains>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, sequence_always_upper=False, "
                    "rebuild=True, build_index=True, one_based_attributes=True, default_seq=None, mutable=False, "
                    "key_function=None, split_char=None, filt_function=None, read_long_names=False, "
                    "duplicate_action=..., read_ahead=None, warn_to='stderr')\n--\n\n"
                    "The index engine of a FASTA file: fetches by name and 1-based, inclusive coordinates. "
                    SEKVA_OPENING_OPTIONS_DOC)},
    {0, nullptr},
};

PyType_Spec type_spec = {"sekva.Faidx", sizeof(FaidxObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* faidx_type() { return cached_type(type_cell, type_spec); }

}  // namespace sekva::host
