// FastaRecord: one record of a Fasta; length, text, subscripts, reversal and iteration.
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "engine/fasta/headers.hpp"
#include "engine/fetch/sequence.hpp"
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/engine_warnings.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/fasta_type.hpp"
#include "host/lock_turns.hpp"
#include "host/qualities.hpp"
#include "host/ref.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

struct RecordObject {
    PyObject_HEAD
    PyObject* name;   // exact str; first: set only by the module (see entry.hpp)
    PyObject* fasta;  // keeps the engine alive as long as the record
    bool is_mutable;
    const IndexEntry* entry;  // looked up once (the table never changes); nullptr: not in it
    const char* text;         // the name's UTF-8 form, kept by `name`
    Py_ssize_t text_size;
};
SEKVA_FIRST_FIELD_MARKS_BUILT(RecordObject, name);

RecordObject* as_record(PyObject* o) { return reinterpret_cast<RecordObject*>(o); }

std::string_view name_of(RecordObject* self) { return {self->text, static_cast<std::size_t>(self->text_size)}; }

RecordShape shape_of(RecordObject* self) {
    if (!self->entry) return {70, 0};
    return {self->entry->lenc ? self->entry->lenc : 1, self->entry->rlen};
}

PyObject* fetch_part(RecordObject* self, std::uint64_t start, std::uint64_t end) {
    return fetch_sequence_at(fasta_engine(self->fasta), self->name, name_of(self), self->entry, start, end);
}

PyObject* fetch_whole(RecordObject* self) {
    const Engine& engine = fasta_engine(self->fasta);
    std::string_view name = name_of(self);
    return fetch_to_host(self->name, name, [&](StrOutput& out) { return fetch_entire_into(engine, name, out); });
}

int record_traverse(PyObject* o, visitproc visit, void* arg) {
    return visit_all(visit, arg, {as_record(o)->fasta, reinterpret_cast<PyObject*>(Py_TYPE(o))});
}

// No tp_clear: a record's reference to its Fasta is never dropped while the record lives (the
// Fasta's own tp_clear breaks any cycle), so no record ever sees its engine gone.
void release_record(PyObject* o) {
    Py_CLEAR(as_record(o)->fasta);
    Py_CLEAR(as_record(o)->name);
}

Py_ssize_t record_length(PyObject* o) {
    std::uint64_t length = shape_of(as_record(o)).length;
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return -1;
    }
    return static_cast<Py_ssize_t>(length);
}

PyObject* record_str(PyObject* o) {
    auto* self = as_record(o);
    // A record without bases reads as nothing, as record[:] does, under every bounds rule.
    if (shape_of(self).length == 0) return PyUnicode_FromStringAndSize(nullptr, 0);
    Ref seq = Ref::steal(fetch_part(self, 1, shape_of(self).length));
    if (!seq) return nullptr;
    SequenceParts parts;
    sequence_parts(seq.get(), parts);
    return new_ref(parts.seq);
}

PyObject* record_repr(PyObject* o) { return PyUnicode_FromFormat("FastaRecord(\"%U\")", as_record(o)->name); }

// --- subscripts ----------------------------------------------------------------------------

// Wording kept for compatibility (tests pin it).
[[gnu::cold]] PyObject* invalid_index_type() {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Invalid index type");
    return nullptr;
}

PyObject* subscript_index(RecordObject* self, PyObject* key) {
    Ref index = Ref::steal(PyNumber_Index(key));
    if (!index) return invalid_index_type();
    long long i = PyLong_AsLongLong(index.get());
    if (i == -1 && PyErr_Occurred()) return invalid_index_type();
    __int128 position = i;
    if (position < 0) position += shape_of(self).length;
    // Below -(L + 1) no position is left: ask beyond the end of every record instead.
    std::uint64_t p = position + 1 < 0 ? UINT64_MAX : static_cast<std::uint64_t>(position + 1);
    return fetch_part(self, p, p);
}

// A field of a slice object: None, an integer (and whether it fits 64 bits), or something else.
struct SliceField {
    enum class Kind { None, Int, BigInt, Other } kind;
    long long value = 0;
};

SliceField slice_field(PyObject* value) {
    if (value == Py_None) return {SliceField::Kind::None};
    if (PyLong_CheckExact(value)) {
        long long v = PyLong_AsLongLong(value);
        if (v != -1 || !PyErr_Occurred()) return {SliceField::Kind::Int, v};
        PyErr_Clear();
        return {SliceField::Kind::BigInt};
    }
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        PyErr_Clear();
        return {SliceField::Kind::Other};
    }
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return {SliceField::Kind::BigInt};
    }
    return {SliceField::Kind::Int, v};
}

bool whole_record_slice(PyObject* slice, std::uint64_t length) {
    using Kind = SliceField::Kind;
    auto* fields = reinterpret_cast<PySliceObject*>(slice);
    SliceField start = slice_field(fields->start), stop = slice_field(fields->stop), step = slice_field(fields->step);
    bool unit_step = step.kind == Kind::None || (step.kind == Kind::Int && step.value == 1);
    // A step that is no integer at all reads the whole record; an integer of any size slices.
    if (start.kind == Kind::None && stop.kind == Kind::None && (unit_step || step.kind == Kind::Other)) return true;
    // record[0:len] too, with or without an explicit step of 1.
    return start.kind == Kind::Int && stop.kind == Kind::Int && unit_step && start.value == 0 && stop.value >= 0 &&
           static_cast<std::uint64_t>(stop.value) == length;
}

PyObject* subscript_slice(RecordObject* self, PyObject* slice) {
    const std::uint64_t length = shape_of(self).length;
    if (whole_record_slice(slice, length)) return fetch_whole(self);
    Py_ssize_t first, stop, step;
    if (PySlice_Unpack(slice, &first, &stop, &step) < 0) return nullptr;
    const auto len = static_cast<Py_ssize_t>(std::min<std::uint64_t>(length, PY_SSIZE_T_MAX));
    PySlice_AdjustIndices(len, &first, &stop, step);
    const OpenOptions& opt = fasta_engine(self->fasta).options();
    const bool strict = opt.strict_bounds;
    if (step == 1) {
        std::uint64_t a = static_cast<std::uint64_t>(std::max<Py_ssize_t>(first, 0)) + 1;
        auto b = static_cast<std::uint64_t>(stop);
        if (!strict) b = std::min(b, length);
        return fetch_part(self, a, b);
    }
    // The covering region of the selection, 1-based.
    auto bound = [&](Py_ssize_t v, bool is_first) -> std::uint64_t {
        if (v < 0) return (step < 0) == is_first ? length : 1;
        std::uint64_t x = static_cast<std::uint64_t>(v) + (is_first ? 1 : 0);
        return strict ? x : std::max<std::uint64_t>(1, std::min(length, x));
    };
    std::uint64_t a = bound(first, true), b = bound(stop, false);
    if (step < 0) std::tie(a, b) = std::pair(std::min(a, b), std::max(a, b));
    Ref region = Ref::steal(fetch_part(self, a, b));
    if (!region) return nullptr;
    SequenceParts parts;
    sequence_parts(region.get(), parts);
    std::string_view fetched = ascii_str_bytes(parts.seq);

    // The selection over the whole record; its bytes come from the fetched region.
    SliceSelection sel = select_slice(static_cast<std::size_t>(len), first, stop, step);
    // A selection no memory can hold (a huge record in the index) is refused, not thrown.
    std::unique_ptr<char[]> bases(new (std::nothrow) char[std::max<std::size_t>(sel.count, 1)]);
    if (!bases) return PyErr_NoMemory();
    std::size_t count = 0;
    for (std::size_t i = 0; i < sel.count; ++i) {
        std::int64_t offset = slice_offset(sel, i) - static_cast<std::int64_t>(a - 1);
        if (offset >= 0 && static_cast<std::uint64_t>(offset) < fetched.size())
            bases[count++] = fetched[static_cast<std::size_t>(offset)];
    }
    Coords whole;
    if (!opt.as_raw) whole = Coords{opt.one_based_attributes ? 1u : 0u, length};
    PyObject* seq = ascii_str(bases.get(), count);
    return seq ? new_sequence(self->name, seq, slice_coords(whole, sel), false) : nullptr;
}

PyObject* record_subscript(PyObject* o, PyObject* key) {
    auto* self = as_record(o);
    return PySlice_Check(key) ? subscript_slice(self, key) : subscript_index(self, key);
}

PyObject* record_item(PyObject* o, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key ? record_subscript(o, key.get()) : nullptr;
}

// --- walks -------------------------------------------------------------------------------

PyObject* record_reversed(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("FastaRecord.__reversed__", args, nargs, kwnames)) return nullptr;
    auto* self = as_record(o);
    const Engine& engine = fasta_engine(self->fasta);
    std::string_view name = name_of(self);
    RecordShape shape = shape_of(self);
    std::uint64_t count = shape.length / shape.piece + (shape.length % shape.piece != 0);
    // An index that promises more pieces than memory could ever list is refused before the walk.
    if (!list_fits_in_memory(count)) return PyErr_NoMemory();
    PendingList out;
    without_lock([&] { out.resize(static_cast<std::size_t>(count)); });
    // Pieces are fetched first to last and land from the end of the list, each reversed in place.
    return with_engine_warnings(engine, [&]() -> PyObject* {
        std::uint64_t p = 1;
        LockTurns turns;
        for (std::uint64_t j = 0; j < count; ++j) {
            turns.step();
            std::uint64_t last = shape.length - p < shape.piece ? shape.length : p + shape.piece - 1;
            StrOutput bases;
            RegionResult piece = fetch_into(engine, name, p, last, bases);
            if (piece.ok()) {
                if (bases.data()) std::reverse(bases.data(), bases.data() + piece.value().length);
                piece.value().coords = swapped(piece.value().coords);
            }
            PyObject*& value = out[static_cast<std::size_t>(count - 1 - j)];
            if (!(value = region_to_host(std::move(piece), bases, self->name, name))) return nullptr;
            p = last + 1;
        }
        return out.to_list();
    });
}

PyObject* record_iter(PyObject* o) {
    auto* self = as_record(o);
    RecordShape shape = shape_of(self);
    return new_sequence_iterator(self->fasta, self->name, shape.piece, shape.length);
}

PyObject* get_long_name(PyObject* o, void*) {
    auto* self = as_record(o);
    std::string_view name = name_of(self);
    if (!self->entry) {
        raise_faidx_error(not_found_error(name));
        return nullptr;
    }
    return new_ref(self->name);
}

// Read from the file on each access: the index keeps no header text.
PyObject* get_description(PyObject* o, void*) {
    auto* self = as_record(o);
    std::string_view name = name_of(self);
    if (!self->entry) {
        raise_faidx_error(not_found_error(name));
        return nullptr;
    }
    Result<std::string> line = fasta_engine(self->fasta).header(name, *self->entry);
    if (!line.ok()) {
        raise_faidx_error(line.error());
        return nullptr;
    }
    std::string_view text = header_description(line.value());
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* get_unpadded_len(PyObject* o, void*) {
    auto* self = as_record(o);
    Ref seq = Ref::steal(fetch_part(self, 1, shape_of(self).length));
    if (!seq) return nullptr;
    SequenceParts parts;
    sequence_parts(seq.get(), parts);
    std::string_view bases = ascii_str_bytes(parts.seq);
    auto is_n = [](char c) { return c == 'N' || c == 'n'; };
    std::size_t lead = 0, trail = 0;
    while (lead < bases.size() && is_n(bases[lead])) ++lead;
    while (trail < bases.size() - lead && is_n(bases[bases.size() - 1 - trail])) ++trail;
    return PyLong_FromSize_t(bases.size() - lead - trail);
}

// Pickles as its Fasta and its name: unpickling looks the name up again, as fasta[name] does.
PyObject* record_reduce(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("FastaRecord.__reduce__", args, nargs, kwnames)) return nullptr;
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    if (!operator_module) return nullptr;
    Ref getitem = Ref::steal(PyObject_GetAttrString(operator_module.get(), "getitem"));
    if (!getitem) return nullptr;
    return Py_BuildValue("(O(OO))", getitem.get(), as_record(o)->fasta, as_record(o)->name);
}

PyMethodDef methods[] = {
    {"__reduce__", fastcall_method(entry<record_reduce>), METH_FASTCALL | METH_KEYWORDS, "__reduce__($self)\n--\n\nPickles as its Fasta and its name."},
    {"__reversed__", fastcall_method(entry<record_reversed>), METH_FASTCALL | METH_KEYWORDS, "__reversed__($self)\n--\n\nThe record's line-sized pieces, last first, each reversed: a list."},
    refuse_subclass_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_quality(PyObject* o, void*) {
    auto* self = as_record(o);
    return read_quality_text(fasta_engine(self->fasta), self->name);
}

PyGetSetDef getset[] = {
    {"long_name", entry<get_long_name>, nullptr, const_cast<char*>("The record's name."), nullptr},
    {"quality", entry<get_quality>, nullptr,
     const_cast<char*>("The read's quality characters, as a str (FASTQ files; ValueError for FASTA)."), nullptr},
    {"description", entry<get_description>, nullptr,
     const_cast<char*>("The header line's text after the record's name ('' when there is none), read from the file."),
     nullptr},
    {"unpadded_len", entry<get_unpadded_len>, nullptr,
     const_cast<char*>("Length of the record without its leading and trailing runs of N."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<release_record>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_entry<record_traverse>)},
    {Py_tp_str, slot<record_str>()},
    {Py_tp_repr, slot<record_repr>()},
    {Py_tp_iter, slot<record_iter>()},
    {Py_mp_subscript, slot<record_subscript>()},
    {Py_mp_length, slot<record_length>()},
    {Py_sq_item, slot<record_item>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("One record of a Fasta: its length, its text, subscripts and slices, reversal, "
                                  "iteration by lines. Made by the Fasta, which it keeps alive.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"sekva.FastaRecord", sizeof(RecordObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* fasta_record_type() { return cached_type(type_cell, type_spec); }

PyObject* new_fasta_record(PyObject* fasta, PyObject* name, bool is_mutable) {
    PyTypeObject* type = fasta_record_type();
    if (!type) return nullptr;
    std::string_view text;
    if (!utf8_view(name, text)) return nullptr;
    auto* self = reinterpret_cast<RecordObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->name = new_ref(name);
    self->fasta = new_ref(fasta);
    self->is_mutable = is_mutable;
    self->text = text.data();
    self->text_size = static_cast<Py_ssize_t>(text.size());
    self->entry = fasta_engine(fasta).names().find(text);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace sekva::host
