// Fasta: construction in its own argument order, lookups, listing, single, spliced and batch fetches.
#include "host/fasta_type.hpp"

#include <cstring>
#include <string>

#include "engine/base/bytes.hpp"
#include "engine/fetch/sequence.hpp"
#include "host/args.hpp"
#include "host/arrays.hpp"
#include "host/batch.hpp"
#include "host/qualities.hpp"
#include "host/record_text.hpp"
#include "host/engine_bridge.hpp"
#include "host/engine_warnings.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/exceptions.hpp"
#include "host/lock_turns.hpp"
#include "host/ref.hpp"
#include "host/regions.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

struct FastaObject {
    EngineHolder holder;
    bool is_mutable;
    std::vector<std::string_view>* names;  // the table's keys, listed once
    PyObject* references;  // tuples of the names and of their lengths, made when first asked for
    PyObject* lengths;
};
SEKVA_FIRST_FIELD_MARKS_BUILT(FastaObject, holder.engine);

FastaObject* as_fasta(PyObject* o) { return reinterpret_cast<FastaObject*>(o); }

// The constructor's own order, and where each parameter sits in the engine's order.
constexpr const char* FASTA_PARAM_NAMES[ENGINE_PARAMS] = {
    "filename",      "indexname",       "default_seq",     "key_function",         "as_raw",
    "strict_bounds", "read_ahead",      "mutable",         "split_char",           "filt_function",
    "one_based_attributes", "read_long_names", "duplicate_action", "sequence_always_upper", "rebuild",
    "build_index",   "warn_to",
};
constexpr EngineOrder FASTA_TO_ENGINE = engine_order(FASTA_PARAM_NAMES);

PyObject* open_fasta(PyTypeObject* type, PyObject* args, PyObject* kwargs, const NameTable* wanted) {
    static const Signature sig = {"Fasta.__new__", FASTA_PARAM_NAMES, ENGINE_PARAMS, 1};
    Ref self = Ref::steal(new_engine_holder(type, args, kwargs, sig, FASTA_TO_ENGINE, wanted));
    if (!self) return nullptr;
    FastaObject* fasta = as_fasta(self.get());
    fasta->is_mutable = fasta->holder.engine->options().is_mutable;
    try {
        fasta->names = new std::vector<std::string_view>(fasta->holder.engine->names().keys());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

PyObject* fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!check_exact_type(type, fasta_type(), "Fasta")) return nullptr;
    return open_fasta(type, args, kwargs, nullptr);
}

void release_fasta(PyObject* o) {
    delete as_fasta(o)->names;
    Py_CLEAR(as_fasta(o)->references);
    Py_CLEAR(as_fasta(o)->lengths);
    release_engine_holder(o);
}

PyObject* name_str(std::string_view name) {
    return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
}

// --- lookups -------------------------------------------------------------------------------

// The messages of a bad key are kept for compatibility, "Index out of range" too (tests pin them).
[[gnu::cold]] PyObject* missing_key(FastaObject* self, PyObject* key) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%U not in %U.", key, self->holder.filename));
    if (message) PyErr_SetObject(exception_class(ErrorKind::Fetch), message.get());
    return nullptr;
}

[[gnu::cold]] PyObject* bad_key_type() {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
    return nullptr;
}

PyObject* fasta_subscript(PyObject* o, PyObject* key) {
    auto* self = as_fasta(o);
    if (PyUnicode_Check(key)) {
        std::optional<std::string_view> name;
        if (!to_lookup_text(key, "key", name)) return nullptr;
        if (!name || !self->holder.engine->names().contains(*name)) return missing_key(self, key);
        Ref exact = PyUnicode_CheckExact(key) ? Ref::borrow(key) : Ref::steal(PyUnicode_FromObject(key));
        if (!exact) return nullptr;
        return new_fasta_record(o, exact.get(), self->is_mutable);
    }
    if (PySlice_Check(key) || PyFloat_Check(key)) return bad_key_type();
    Ref index = Ref::steal(PyNumber_Index(key));
    if (!index) return bad_key_type();
    unsigned long long i = PyLong_AsUnsignedLongLong(index.get());
    if (i == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return bad_key_type();
    if (i >= self->names->size()) {
        PyErr_SetString(PyExc_IndexError, "Index out of range");
        return nullptr;
    }
    Ref name = Ref::steal(name_str((*self->names)[static_cast<std::size_t>(i)]));
    if (!name) return nullptr;
    return new_fasta_record(o, name.get(), self->is_mutable);
}

PyObject* fasta_item(PyObject* o, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key ? fasta_subscript(o, key.get()) : nullptr;
}

int fasta_contains(PyObject* o, PyObject* key) {
    std::optional<std::string_view> name;
    if (!to_lookup_text(key, "name", name)) return -1;
    return name && as_fasta(o)->holder.engine->names().contains(*name);
}

Py_ssize_t fasta_length(PyObject* o) {
    auto* self = as_fasta(o);
    std::uint64_t total = 0;
    for (std::string_view name : *self->names) {
        if (__builtin_add_overflow(total, self->holder.engine->names().find(name)->rlen, &total) ||
            total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            return -1;
        }
    }
    return static_cast<Py_ssize_t>(total);
}

PyObject* names_list(FastaObject* self) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(self->names->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < self->names->size(); ++i) {
        PyObject* name = name_str((*self->names)[i]);
        if (!name) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

PyObject* fasta_iter(PyObject* o) {
    Ref names = Ref::steal(names_list(as_fasta(o)));
    return names ? new_fasta_iterator(o, names.get(), as_fasta(o)->is_mutable) : nullptr;
}

PyObject* fasta_keys(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.keys", args, nargs, kwnames)) return nullptr;
    return names_list(as_fasta(o));
}

// values() and items(): one new record per name, alone or paired with its name.
PyObject* records_list(PyObject* o, bool with_names) {
    auto* self = as_fasta(o);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(self->names->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < self->names->size(); ++i) {
        Ref name = Ref::steal(name_str((*self->names)[i]));
        if (!name) return nullptr;
        Ref record = Ref::steal(new_fasta_record(o, name.get(), self->is_mutable));
        if (!record) return nullptr;
        PyObject* item = with_names ? PyTuple_Pack(2, name.get(), record.get()) : record.release();
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* fasta_values(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.values", args, nargs, kwnames)) return nullptr;
    return records_list(o, false);
}

PyObject* fasta_items(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.items", args, nargs, kwnames)) return nullptr;
    return records_list(o, true);
}

// --- pysam's FastaFile names -------------------------------------------------------------------

// FetchError "Sequence '{name}' not found" for a name given as a str, which may hold lone
// surrogates (no record has them): those are written as escapes.
[[gnu::cold]] PyObject* raise_not_found(PyObject* name) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
    if (!bytes) return nullptr;
    raise_faidx_error(not_found_error(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())))));
    return nullptr;
}

std::uint64_t record_length(FastaObject* self, std::string_view name) {
    return self->holder.engine->names().find(name)->rlen;
}

// The names tuple, or with `lengths` their lengths, kept once made: the names never change, and
// pysam code indexes these in loops (references[i] for i in range(nreferences)).
PyObject* names_tuple(FastaObject* self, bool lengths) {
    PyObject*& cached = lengths ? self->lengths : self->references;
    if (!cached) {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(self->names->size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < self->names->size(); ++i) {
            std::string_view name = (*self->names)[i];
            PyObject* item = lengths ? PyLong_FromUnsignedLongLong(record_length(self, name)) : name_str(name);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
        }
        cached = tuple.release();
    }
    return new_ref(cached);
}

PyObject* get_references(PyObject* o, void*) { return names_tuple(as_fasta(o), false); }

PyObject* get_lengths(PyObject* o, void*) { return names_tuple(as_fasta(o), true); }

PyObject* get_nreferences(PyObject* o, void*) { return PyLong_FromSize_t(as_fasta(o)->names->size()); }

PyObject* fasta_get_reference_length(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"reference"};
    static const Signature sig = {"Fasta.get_reference_length", names, 1, 1};
    PyObject* slot[1];
    std::optional<std::string_view> name;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_lookup_text(slot[0], "reference", name))
        return nullptr;
    auto* self = as_fasta(o);
    if (!name || !self->holder.engine->names().contains(*name)) return raise_not_found(slot[0]);
    return PyLong_FromUnsignedLongLong(record_length(self, *name));
}

// --- retrieval ----------------------------------------------------------------------------

PyObject* fasta_get_seq(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "start", "end", "rc"};
    static const Signature sig = {"Fasta.get_seq", names, 4, 3};
    PyObject* slot[4];
    std::string_view name;
    std::uint64_t start, end;
    bool rc;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name) ||
        !to_u64(slot[1], "start", start) || !to_u64(slot[2], "end", end) || !to_optional_bool(slot[3], "rc", rc))
        return nullptr;
    Ref seq = Ref::steal(fasta_fetch(o, slot[0], start, end));
    if (!seq || !rc) return seq.release();
    return sequence_negative(seq.get());
}

// The command line's region parser (sekva_cli._region.for_fetch), imported on first use and kept
// for the life of the process, so that region text means one thing everywhere.
PyObject* region_parser() {
    static PyObject* parser = nullptr;
    if (!parser) {
        Ref module = Ref::steal(PyImport_ImportModule("sekva_cli._region"));
        if (!module) return nullptr;
        parser = PyObject_GetAttrString(module.get(), "for_fetch");
    }
    return parser;
}

[[gnu::cold]] PyObject* raise_region_error(PyObject* text) {
    std::string_view message;
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_SystemError, "sekva: the region parser gave neither a region nor an error text");
        return nullptr;
    }
    if (!utf8_view(text, message)) return nullptr;
    raise_faidx_error(FaidxError{ErrorKind::InvalidRegion, std::string(message)});
    return nullptr;
}

PyObject* fasta_get_region(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"region", "rc"};
    static const Signature sig = {"Fasta.get_region", names, 2, 1};
    PyObject* slot[2];
    bool rc;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_optional_bool(slot[1], "rc", rc)) return nullptr;
    if (!PyUnicode_Check(slot[0])) {
        fail_conversion(slot[0], "PyString", "region");
        return nullptr;
    }
    PyObject* parser = region_parser();
    if (!parser) return nullptr;
    Ref lookup = Ref::steal(PyObject_GetAttrString(o, "__contains__"));
    if (!lookup) return nullptr;
    Ref found = Ref::steal(PyObject_CallFunctionObjArgs(parser, slot[0], lookup.get(), nullptr));
    if (!found) return nullptr;
    if (!PyTuple_Check(found.get()) || PyTuple_GET_SIZE(found.get()) != 3) return raise_region_error(found.get());
    PyObject* name = PyTuple_GET_ITEM(found.get(), 0);
    PyObject* first = PyTuple_GET_ITEM(found.get(), 1);
    PyObject* last = PyTuple_GET_ITEM(found.get(), 2);
    if (!PyUnicode_Check(name)) return raise_region_error(found.get());
    if (first == Py_None) return raise_not_found(name);
    std::string_view record;
    auto* self = as_fasta(o);
    const Engine& engine = *self->holder.engine;
    std::uint64_t start, end;
    if (!utf8_view(name, record) || !to_u64(first, "region", start)) return nullptr;
    const IndexEntry* entry = engine.names().find(record);
    if (!entry) return raise_not_found(name);
    Ref seq;
    if (last != Py_None) {
        if (!to_u64(last, "region", end)) return nullptr;
        seq = Ref::steal(fetch_sequence_at(engine, name, record, entry, start, end));
    } else if (start == 1) {  // the whole record, empty or not, with no bounds to report
        seq = Ref::steal(
            fetch_to_host(name, record, [&](StrOutput& out) { return fetch_entire_into(engine, record, out); }));
    } else {
        seq = Ref::steal(fetch_sequence_at(engine, name, record, entry, start, entry->rlen));
    }
    if (!seq || !rc) return seq.release();
    return sequence_negative(seq.get());
}

// Converts `intervals` (pairs of unsigned integers) before anything is fetched.
bool convert_intervals(const Engine& engine, PyObject* intervals,
                       std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
    RegionReader reader(engine, {"intervals"});
    if (!reader.open_pairs(intervals, nullptr)) return false;
    out.resize(reader.count());
    LockTurns turns;
    RegionItem<std::uint64_t> interval;
    for (std::size_t i = 0; i < out.size(); ++i) {
        turns.step();
        if (!reader.read(i, interval)) return false;
        out[i] = {interval.start, interval.end};
    }
    return true;
}

// The pieces of get_spliced_seq joined into one Sequence named `name_obj` (a str whose UTF-8 form is `name`).
PyObject* spliced_seq(const Engine& engine, PyObject* name_obj, std::string_view name,
                      const std::vector<std::pair<std::uint64_t, std::uint64_t>>& intervals, bool rc) {
    std::vector<Sequence> pieces;
    std::uint64_t total = 0;
    // The pieces are fetched with the lock released: many intervals take a while, and the engine
    // writes its warnings itself (they stay with this thread, for the caller to issue).
    std::optional<FetchFailure> failed;
    bool too_long = false;
    const Sequence* not_ascii = nullptr;
    try {
        without_lock([&] {
            pieces.reserve(intervals.size());
            for (auto [start, end] : intervals) {
                FetchResult piece = fetch(engine, name, start, end);
                if (!piece.ok()) {
                    failed = std::move(piece.error());
                    return;
                }
                pieces.push_back(std::move(piece.value()));
                if (__builtin_add_overflow(total, pieces.back().seq.size(), &total) ||
                    total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
                    too_long = true;
                    return;
                }
            }
            for (const Sequence& piece : pieces)
                if (!is_ascii(piece.seq.data(), piece.seq.size())) {
                    not_ascii = &piece;
                    return;
                }
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (failed) {
        raise_fetch_failure(*failed);
        return nullptr;
    }
    if (too_long) {
        PyErr_SetNone(PyExc_OverflowError);
        return nullptr;
    }
    if (not_ascii) return fetched_str(not_ascii->seq.data(), not_ascii->seq.size(), name);
    Coords coords;
    if (!pieces.empty()) coords = Coords{pieces.front().coords.start, pieces.back().coords.end};
    AsciiBuilder builder(static_cast<Py_ssize_t>(total));
    char* out = builder.data();
    if (!out) return nullptr;
    without_lock([&] {  // the new text is nobody else's yet
        if (rc) {
            for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
                reverse_complement_bytes(it->seq.data(), it->seq.size(), out);
                out += it->seq.size();
            }
        } else {
            for (const Sequence& piece : pieces) {
                std::memcpy(out, piece.seq.data(), piece.seq.size());
                out += piece.seq.size();
            }
        }
        std::exchange(pieces, {});
    });
    return new_sequence(name_obj, builder.finish(), coords, false);
}

PyObject* fasta_get_spliced_seq(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "intervals", "rc"};
    static const Signature sig = {"Fasta.get_spliced_seq", names, 3, 2};
    PyObject* slot[3];
    std::string_view name;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> intervals;
    bool rc;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name) ||
        !convert_intervals(*as_fasta(o)->holder.engine, slot[1], intervals) || !to_optional_bool(slot[2], "rc", rc))
        return nullptr;
    const Engine& engine = *as_fasta(o)->holder.engine;
    return with_engine_warnings(engine, [&] { return spliced_seq(engine, slot[0], name, intervals, rc); });
}

PyObject* fasta_fetch_many(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"regions", "rc"};
    static const Signature sig = {"Fasta.fetch_many", names, 2, 1};
    PyObject* slot[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    return fetch_regions(*as_fasta(o)->holder.engine, slot[0], nullptr, slot[1]);
}

PyObject* fasta_fetch_many_same_chr(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "regions", "rc"};
    static const Signature sig = {"Fasta.fetch_many_same_chr", names, 3, 2};
    PyObject* slot[3];
    std::string_view name;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name)) return nullptr;
    return fetch_regions(*as_fasta(o)->holder.engine, slot[1], slot[0], slot[2]);
}

// --- lifecycle methods that change nothing --------------------------------------------------

PyObject* fasta_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.close", args, nargs, kwnames)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* fasta_enter(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.__enter__", args, nargs, kwnames)) return nullptr;
    return new_ref(o);
}

PyObject* fasta_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"_exc_type", "_exc_value", "_traceback"};
    static const Signature sig = {"Fasta.__exit__", names, 3, 0};
    PyObject* slot[3];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Py_RETURN_NONE;
}

// Pickles as the file name and the options: unpickling opens the file again.
PyObject* fasta_reduce(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Fasta.__reduce__", args, nargs, kwnames)) return nullptr;
    return reduce_engine_holder(o, FASTA_TO_ENGINE);
}

PyObject* fasta_repr(PyObject* o) {
    Ref name = Ref::steal(shown_name(as_fasta(o)->holder.filename));
    return name ? PyUnicode_FromFormat("Fasta(\"%U\")", name.get()) : nullptr;
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyObject* fasta_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_array(*as_fasta(self)->holder.engine, "Fasta.fetch_array", args, nargs, kwnames);
}

PyObject* fasta_fetch_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_variants(*as_fasta(self)->holder.engine, "Fasta.fetch_variants", args, nargs, kwnames);
}

PyObject* fasta_fetch_haplotypes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_haplotypes(*as_fasta(self)->holder.engine, "Fasta.fetch_haplotypes", args, nargs, kwnames);
}

PyObject* fasta_fetch_onehot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_onehot(*as_fasta(self)->holder.engine, "Fasta.fetch_onehot", args, nargs, kwnames);
}

PyObject* fasta_fetch_ragged(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_ragged(*as_fasta(self)->holder.engine, "Fasta.fetch_ragged", args, nargs, kwnames);
}

PyObject* fasta_fetch_fasta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_fasta(*as_fasta(self)->holder.engine, "Fasta.fetch_fasta", args, nargs, kwnames);
}

PyObject* fasta_get_quality(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_quality(*as_fasta(self)->holder.engine, "Fasta.get_quality", args, nargs, kwnames);
}

PyObject* fasta_fetch_qualities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_qualities(*as_fasta(self)->holder.engine, "Fasta.fetch_qualities", args, nargs, kwnames);
}

PyObject* fasta_fetch_fastq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_fastq(*as_fasta(self)->holder.engine, "Fasta.fetch_fastq", args, nargs, kwnames);
}

PyObject* fasta_fetch_bed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fetch_bed(*as_fasta(self)->holder.engine, "Fasta.fetch_bed", args, nargs, kwnames);
}

PyMethodDef methods[] = {
    {"keys", fastcall_method(entry<fasta_keys>), FASTCALL, "keys($self)\n--\n\nA new list of the record names, in index-file order."},
    {"values", fastcall_method(entry<fasta_values>), FASTCALL, "values($self)\n--\n\nA new list of the records (FastaRecord), in index-file order."},
    {"items", fastcall_method(entry<fasta_items>), FASTCALL, "items($self)\n--\n\nA new list of (name, FastaRecord) pairs, in index-file order."},
    {"get_seq", fastcall_method(entry<fasta_get_seq>), FASTCALL, "get_seq($self, name, start, end, rc=None)\n--\n\n"
     "The bases from start to end (1-based, inclusive) of a record; with rc=True, their reverse complement."},
    {"get_region", fastcall_method(entry<fasta_get_region>), FASTCALL,
     "get_region($self, region, rc=None)\n--\n\n"
     "The bases of a samtools region string, read as `sekva faidx` and samtools faidx read it:\n"
     "\"chr1\" (the whole record), \"chr1:1000\" (from base 1000 to the end), \"chr1:1,000-2,000\"\n"
     "(1-based, inclusive; commas are ignored) and \"{name:with:colons}:1-10\". A Sequence as\n"
     "get_seq(name, start, end, rc) gives it, with the same clamping, warnings and errors; a start\n"
     "past the end or of 0 reads nothing, as in get_seq. A name the file lacks raises FetchError;\n"
     "text that is no region raises RegionError."},
    {"get_reference_length", fastcall_method(entry<fasta_get_reference_length>), FASTCALL,
     "get_reference_length($self, reference)\n--\n\n"
     "The length of the named record, as pysam's FastaFile gives it; FetchError when there is none."},
    {"get_spliced_seq", fastcall_method(entry<fasta_get_spliced_seq>), FASTCALL,
     "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"
     "The bases of (start, end) intervals of one record joined in the given order."},
    {"fetch_many", fastcall_method(entry<fasta_fetch_many>), FASTCALL,
     "fetch_many($self, regions, rc=None)\n--\n\n"
     "High-performance batch fetch for many sequences\n\n"
     "Made for 200,000 regions and more in one call: batches of 1000 regions or more run on a pool\n"
     "of worker threads.\n\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    seqs = fasta.fetch_many([(\"chr1\", 1, 100), (\"chr2\", 500, 600)], rc=True)"},
    {"fetch_many_same_chr", fastcall_method(entry<fasta_fetch_many_same_chr>), FASTCALL,
     "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "Made for BED files whose regions all lie on one chromosome: the name is looked up once.\n\n"
     "Args:\n"
     "    name: Name of the record all regions lie on\n"
     "    regions: List of (start, end) tuples\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    seqs = fasta.fetch_many_same_chr(\"chr1\", [(1, 100), (500, 600)])"},
    {"close", fastcall_method(entry<fasta_close>), FASTCALL, "close($self)\n--\n\nChanges nothing: the Fasta stays usable (the file is let go when the object is)."},
    {"__reduce__", fastcall_method(entry<fasta_reduce>), FASTCALL, "__reduce__($self)\n--\n\nPickles as the file name and the options: unpickling opens the file again."},
    {"__enter__", fastcall_method(entry<fasta_enter>), FASTCALL, "__enter__($self)\n--\n\nThe Fasta itself, for a with block."},
    {"__exit__", fastcall_method(entry<fasta_exit>), FASTCALL,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"
     "Changes nothing; an exception in the with block goes on."},
    {"fetch_array", fastcall_method(entry<fasta_fetch_array>), METH_FASTCALL | METH_KEYWORDS, FETCH_ARRAY_DOC},
    {"fetch_onehot", fastcall_method(entry<fasta_fetch_onehot>), METH_FASTCALL | METH_KEYWORDS, FETCH_ONEHOT_DOC},
    {"fetch_variants", fastcall_method(entry<fasta_fetch_variants>), METH_FASTCALL | METH_KEYWORDS, FETCH_VARIANTS_DOC},
    {"fetch_haplotypes", fastcall_method(entry<fasta_fetch_haplotypes>), METH_FASTCALL | METH_KEYWORDS, FETCH_HAPLOTYPES_DOC},
    {"fetch_ragged", fastcall_method(entry<fasta_fetch_ragged>), METH_FASTCALL | METH_KEYWORDS, FETCH_RAGGED_DOC},
    {"fetch_fasta", fastcall_method(entry<fasta_fetch_fasta>), METH_FASTCALL | METH_KEYWORDS, FETCH_FASTA_DOC},
    {"fetch_bed", fastcall_method(entry<fasta_fetch_bed>), METH_FASTCALL | METH_KEYWORDS, FETCH_BED_DOC},
    {"get_quality", fastcall_method(entry<fasta_get_quality>), METH_FASTCALL | METH_KEYWORDS,
     "get_quality($self, name, start, end)\n--\n\n"
     "The quality characters of bases start to end (1-based, inclusive) of a FASTQ read, as a str, with\n"
     "the coordinates, clamping, warnings and errors of get_seq. On a FASTA file, a ValueError."},
    {"fetch_qualities", fastcall_method(entry<fasta_fetch_qualities>), METH_FASTCALL | METH_KEYWORDS,
     FETCH_QUALITIES_DOC},
    {"fetch_fastq", fastcall_method(entry<fasta_fetch_fastq>), METH_FASTCALL | METH_KEYWORDS, FETCH_FASTQ_DOC},
    refuse_subclass_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"references", entry<get_references>, nullptr,
     const_cast<char*>("The record names in index-file order, a tuple (pysam's FastaFile.references)."), nullptr},
    {"lengths", entry<get_lengths>, nullptr,
     const_cast<char*>("The lengths of the records in index-file order, a tuple of int."), nullptr},
    {"nreferences", entry<get_nreferences>, nullptr, const_cast<char*>("The number of records."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_entry<fasta_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<release_fasta>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_entry<engine_holder_traverse>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_entry<engine_holder_clear>)},
    {Py_tp_repr, slot<fasta_repr>()},
    {Py_tp_iter, slot<fasta_iter>()},
    {Py_mp_subscript, slot<fasta_subscript>()},
    {Py_mp_length, slot<fasta_length>()},
    {Py_sq_item, slot<fasta_item>()},
    {Py_sq_contains, slot<fasta_contains>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Fasta(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
                    "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, filt_function=None, "
                    "one_based_attributes=True, read_long_names=False, duplicate_action=..., "
                    "sequence_always_upper=False, rebuild=True, build_index=True, warn_to='stderr')\n--\n\n"
                    "A FASTA file with its .fai index (built when missing or older than the file): records by "
                    "name or position. "
                    SEKVA_OPENING_OPTIONS_DOC)},
    {0, nullptr},
};

PyType_Spec type_spec = {"sekva.Fasta", sizeof(FastaObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* fasta_type() { return cached_type(type_cell, type_spec); }

const Engine& fasta_engine(PyObject* fasta) { return *as_fasta(fasta)->holder.engine; }

const std::vector<std::string_view>& fasta_names(PyObject* fasta) { return *as_fasta(fasta)->names; }

PyObject* fasta_fetch(PyObject* fasta, PyObject* name, std::uint64_t start, std::uint64_t end) {
    std::string_view text;
    if (!utf8_view(name, text)) return nullptr;
    return fetch_sequence(fasta_engine(fasta), name, text, start, end);
}

RecordShape record_shape(const Engine& engine, std::string_view name) {
    const IndexEntry* entry = engine.names().find(name);
    if (!entry) return {70, 0};
    return {entry->lenc ? entry->lenc : 1, entry->rlen};
}

PyObject* fasta_of_names_function(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "_fasta_of_names() missing required argument 'names' (pos 1)");
        return nullptr;
    }
    Ref names = Ref::steal(PySequence_Fast(PyTuple_GET_ITEM(args, 0), "_fasta_of_names: names must be iterable"));
    if (!names) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(names.get());
    NameTable wanted;
    wanted.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::string_view name;
        if (!to_text(PySequence_Fast_GET_ITEM(names.get(), i), "names", name)) return nullptr;
        wanted.insert(name, IndexEntry{});
    }
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!rest) return nullptr;
    return open_fasta(fasta_type(), rest.get(), kwargs, &wanted);
}

}  // namespace sekva::host
