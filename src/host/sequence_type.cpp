// Sequence: construction, properties, text forms, comparison, subscripts, transforms and GC.
#include "host/sequence_type.hpp"

#include "engine/fetch/sequence.hpp"
#include "engine/fetch/translate.hpp"
#include "host/args.hpp"
#include "host/borrow.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/interp.hpp"
#include "host/ref.hpp"
#include "host/text.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

struct SequenceObject {
    PyObject_HEAD
    PyObject* name;  // exact str; first: set only by the constructor (see entry.hpp)
    PyObject* seq;   // exact str, ASCII only: one byte per base
    Coords coords;
    bool comp;
    BorrowFlag borrow;

    std::string_view bytes() const { return ascii_str_bytes(seq); }
};
SEKVA_FIRST_FIELD_MARKS_BUILT(SequenceObject, name);

// The getset closures of the field pairs: which of the two a getter or setter serves.
enum Field : std::uintptr_t { FIRST = 0, SECOND = 1 };
Field field_of(void* closure) { return static_cast<Field>(reinterpret_cast<std::uintptr_t>(closure)); }
void* closure_of(Field f) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(f)); }

SequenceObject* as_sequence(PyObject* o) { return reinterpret_cast<SequenceObject*>(o); }

PyObject* optional_int(std::optional<std::uint64_t> value) {
    if (!value) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*value);
}

[[gnu::cold]] bool refuse_non_ascii(const char* param) {
    PyErr_Format(PyExc_ValueError, "argument '%s': sequence text must be ASCII, one byte per base", param);
    return false;
}

// Text for `name`: any str that has a UTF-8 form (no lone surrogates), stored as an exact str.
bool convert_name(PyObject* o, const char* param, Ref& out) {
    if (!o) {
        out = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        return static_cast<bool>(out);
    }
    std::string_view text;
    if (!to_text(o, param, text)) return false;
    out = PyUnicode_CheckExact(o) ? Ref::borrow(o) : Ref::steal(PyUnicode_FromObject(o));
    return static_cast<bool>(out);
}

// Text for `seq`: a str of ASCII characters only, so that every byte operation yields valid text.
bool convert_seq(PyObject* o, const char* param, Ref& out) {
    if (!convert_name(o, param, out)) return false;
    if (!str_is_ascii(out.get())) return refuse_non_ascii(param);
    return true;
}

bool convert_coord(PyObject* o, const char* param, std::optional<std::uint64_t>& out) {
    return to_optional_u64(o, param, out);
}

PyObject* allocate(PyObject* name, PyObject* seq, Coords coords, bool comp) {
    PyTypeObject* type = sequence_type();
    if (!type) return nullptr;
    // A name given as a str subclass (to a fetch, say) is stored as a plain str.
    Ref exact_name = PyUnicode_CheckExact(name) ? Ref::borrow(name) : Ref::steal(PyUnicode_FromObject(name));
    if (!exact_name) return nullptr;
    // Every field is set below, and the class is not tracked by the collector.
    auto* self = reinterpret_cast<SequenceObject*>(new_unset_object(type, sizeof(SequenceObject)));
    if (!self) return nullptr;
    self->borrow = 0;
    Py_INCREF(seq);
    self->name = exact_name.release();
    self->seq = seq;
    self->coords = coords;
    self->comp = comp;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* sequence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"name", "seq", "start", "end", "comp"};
    static const Signature sig = {"Sequence.__new__", names, 5, 0};
    if (!check_exact_type(type, sequence_type(), "Sequence")) return nullptr;
    PyObject* slot[5];
    if (!bind_tuple(sig, args, kwargs, slot)) return nullptr;
    Ref name, seq;
    Coords coords;
    bool comp = false;
    if (!convert_name(slot[0], "name", name) || !convert_seq(slot[1], "seq", seq) ||
        !convert_coord(slot[2], "start", coords.start) || !convert_coord(slot[3], "end", coords.end))
        return nullptr;
    if (slot[4] && !to_bool(slot[4], "comp", comp)) return nullptr;
    return allocate(name.get(), seq.get(), coords, comp);
}

void release_sequence(PyObject* o) {
    Py_CLEAR(as_sequence(o)->name);
    Py_CLEAR(as_sequence(o)->seq);
}

// Builds a derived value with the same name: `fill` writes n bytes of the new text.
template <class Fill>
PyObject* derive(SequenceObject* self, std::size_t n, Coords coords, bool comp, Fill fill) {
    AsciiBuilder builder(static_cast<Py_ssize_t>(n));
    if (!builder.data()) return nullptr;
    fill(builder.data());
    Ref seq = Ref::steal(builder.finish());
    if (!seq) return nullptr;
    return allocate(self->name, seq.get(), coords, comp);
}

// --- properties ---------------------------------------------------------------------------

// name (FIRST) and seq (SECOND)
PyObject*& text_field(PyObject* o, void* closure) {
    return field_of(closure) == FIRST ? as_sequence(o)->name : as_sequence(o)->seq;
}

// start (FIRST) and end (SECOND)
std::optional<std::uint64_t>& coord_field(PyObject* o, void* closure) {
    return field_of(closure) == FIRST ? as_sequence(o)->coords.start : as_sequence(o)->coords.end;
}

PyObject* get_text(PyObject* o, void* closure) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? new_ref(text_field(o, closure)) : nullptr;
}

PyObject* get_coord(PyObject* o, void* closure) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? optional_int(coord_field(o, closure)) : nullptr;
}

PyObject* get_comp(PyObject* o, void*) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? PyBool_FromLong(as_sequence(o)->comp) : nullptr;
}

int set_text(PyObject* o, PyObject* value, void* closure) {
    if (!value) return refuse_delete();
    ExclusiveBorrow borrow(as_sequence(o)->borrow);
    if (!borrow.ok()) return -1;
    Ref text;
    bool ok = field_of(closure) == FIRST ? convert_name(value, "name", text) : convert_seq(value, "seq", text);
    if (!ok) return -1;
    replace_ref(text_field(o, closure), text.release());
    return 0;
}

int set_coord(PyObject* o, PyObject* value, void* closure) {
    if (!value) return refuse_delete();
    ExclusiveBorrow borrow(as_sequence(o)->borrow);
    if (!borrow.ok()) return -1;
    std::optional<std::uint64_t> v;
    if (!convert_coord(value, field_of(closure) == FIRST ? "start" : "end", v)) return -1;
    coord_field(o, closure) = v;
    return 0;
}

int set_comp(PyObject* o, PyObject* value, void*) {
    if (!value) return refuse_delete();
    ExclusiveBorrow borrow(as_sequence(o)->borrow);
    if (!borrow.ok()) return -1;
    bool comp;
    if (!to_bool(value, "comp", comp)) return -1;
    as_sequence(o)->comp = comp;
    return 0;
}

PyObject* fancy_name(SequenceObject* self) {
    const char* suffix = self->comp ? " (complement)" : "";
    if (self->coords.both())
        return PyUnicode_FromFormat("%U:%llu-%llu%s", self->name, static_cast<unsigned long long>(*self->coords.start),
                                    static_cast<unsigned long long>(*self->coords.end), suffix);
    return PyUnicode_FromFormat("%U%s", self->name, suffix);
}

PyObject* get_fancy_name(PyObject* o, void*) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? fancy_name(as_sequence(o)) : nullptr;
}

PyObject* get_orientation(PyObject* o, void*) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    if (self->coords.both()) {
        if (*self->coords.start < *self->coords.end && !self->comp) return PyLong_FromLong(1);
        if (*self->coords.start > *self->coords.end && self->comp) return PyLong_FromLong(-1);
    }
    Py_RETURN_NONE;
}

PyObject* get_complement(PyObject* o, void*) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    auto src = self->bytes();
    return derive(self, src.size(), self->coords, !self->comp,
                  [&](char* dst) { complement_bytes(src.data(), src.size(), dst); });
}

PyObject* get_reverse(PyObject* o, void*) { return sequence_reversed(o); }

// gc, gc_strict and gc_iupac, told apart by their closure.
PyObject* get_gc(PyObject* o, void* closure) {
    static double (*const measures[])(std::string_view) = {gc_fraction, gc_strict_fraction, gc_iupac_fraction};
    SharedBorrow borrow(as_sequence(o)->borrow);
    if (!borrow.ok()) return nullptr;
    return PyFloat_FromDouble(measures[reinterpret_cast<std::uintptr_t>(closure)](as_sequence(o)->bytes()));
}

PyGetSetDef getset[] = {
    {"name", entry<get_text>, entry<set_text>, const_cast<char*>("Name of the record the bases come from."), closure_of(FIRST)},
    {"seq", entry<get_text>, entry<set_text>, const_cast<char*>("The bases, one ASCII character each."), closure_of(SECOND)},
    {"start", entry<get_coord>, entry<set_coord>, const_cast<char*>("Position of the first base in the record, or None."), closure_of(FIRST)},
    {"end", entry<get_coord>, entry<set_coord>, const_cast<char*>("Position of the last base in the record, or None."), closure_of(SECOND)},
    {"comp", entry<get_comp>, entry<set_comp>, const_cast<char*>("Whether the bases are the complement of the stored strand."), nullptr},
    {"fancy_name", entry<get_fancy_name>, nullptr, const_cast<char*>("The name with the coordinates, as name:start-end, and ' (complement)' when comp."), nullptr},
    {"long_name", entry<get_fancy_name>, nullptr, const_cast<char*>("The same text as fancy_name."), nullptr},
    {"complement", entry<get_complement>, nullptr, const_cast<char*>("A new Sequence of the complemented bases, in the same order."), nullptr},
    {"reverse", entry<get_reverse>, nullptr, const_cast<char*>("A new Sequence of the bases in reverse order, not complemented."), nullptr},
    {"orientation", entry<get_orientation>, nullptr, const_cast<char*>("1 for a forward stretch, -1 for a reverse-complemented one, else None."), nullptr},
    {"gc", entry<get_gc>, nullptr, const_cast<char*>("Share of C and G (either case) among all bases."), reinterpret_cast<void*>(std::uintptr_t{0})},
    {"gc_strict", entry<get_gc>, nullptr, const_cast<char*>("Share of C and G among the unambiguous bases A, C, G and T."), reinterpret_cast<void*>(std::uintptr_t{1})},
    {"gc_iupac", entry<get_gc>, nullptr, const_cast<char*>("GC content with IUPAC ambiguity codes counted by their share of C and G."), reinterpret_cast<void*>(std::uintptr_t{2})},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- protocols ----------------------------------------------------------------------------

PyObject* sequence_str(PyObject* o) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? new_ref(as_sequence(o)->seq) : nullptr;
}

PyObject* sequence_repr(PyObject* o) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    Ref fancy = Ref::steal(fancy_name(self));
    if (!fancy) return nullptr;
    return PyUnicode_FromFormat(">%U\n%U", fancy.get(), self->seq);
}

Py_ssize_t sequence_length(PyObject* o) {
    SharedBorrow borrow(as_sequence(o)->borrow);
    return borrow.ok() ? static_cast<Py_ssize_t>(as_sequence(o)->bytes().size()) : -1;
}

// Wording kept for compatibility, as is "Index out of range" (tests pin both).
[[gnu::cold]] PyObject* invalid_index_type() {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Invalid index type");
    return nullptr;
}

PyObject* subscript_slice(SequenceObject* self, PyObject* key) {
    Py_ssize_t first, stop, step;
    if (PySlice_Unpack(key, &first, &stop, &step) < 0) return nullptr;
    auto src = self->bytes();
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(src.size()), &first, &stop, step);
    SliceSelection sel = select_slice(src.size(), first, stop, step);
    return derive(self, sel.count, slice_coords(self->coords, sel), self->comp,
                  [&](char* dst) { gather_slice(src.data(), sel, dst); });
}

PyObject* sequence_subscript(PyObject* o, PyObject* key) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    if (PySlice_Check(key)) return subscript_slice(self, key);
    Ref index = Ref::steal(PyNumber_Index(key));
    if (!index) return invalid_index_type();
    long long i = PyLong_AsLongLong(index.get());
    if (i == -1 && PyErr_Occurred()) return invalid_index_type();
    auto src = self->bytes();
    std::size_t offset;
    if (!select_index(src.size(), i, offset)) {
        PyErr_SetString(PyExc_IndexError, "Index out of range");
        return nullptr;
    }
    return derive(self, 1, index_coords(self->coords, offset), self->comp,
                  [&](char* dst) { dst[0] = src[offset]; });
}

// Positional item slot: lets iteration and `in` fall back to the subscript.
PyObject* sequence_item(PyObject* o, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    if (!key) return nullptr;
    return sequence_subscript(o, key.get());
}

bool same_bytes(std::string_view a, PyObject* text) {
    if (!str_is_ascii(text)) return false;
    return a == ascii_str_bytes(text);
}

PyObject* sequence_richcompare(PyObject* o, PyObject* other, int op) {
    if (op == Py_NE) {
        Ref eq = Ref::steal(PyObject_RichCompare(o, other, Py_EQ));
        if (!eq) return nullptr;
        int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    SequenceParts parts;
    if (PyUnicode_Check(other)) return PyBool_FromLong(same_bytes(self->bytes(), other));
    if (sequence_parts(other, parts)) return PyBool_FromLong(self->bytes() == ascii_str_bytes(parts.seq));
    Py_RETURN_FALSE;
}

// Pickles and copies as the value it is: the class and its five fields.
PyObject* sequence_reduce(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_nothing("Sequence.__reduce__", args, nargs, kwnames)) return nullptr;
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    Ref start = Ref::steal(optional_int(self->coords.start)), end = Ref::steal(optional_int(self->coords.end));
    if (!start || !end) return nullptr;
    return Py_BuildValue("O(OOOOO)", reinterpret_cast<PyObject*>(Py_TYPE(o)), self->name, self->seq, start.get(),
                         end.get(), self->comp ? Py_True : Py_False);
}

// The bases translated codon by codon; the value names the same record but, being amino acids,
// no longer covers its coordinates.
PyObject* sequence_translate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"table", "stop"};
    static const Signature sig = {"Sequence.translate", names, 2, 0};
    PyObject* slot[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    std::uint64_t number = 1;
    if (slot[0] && !to_u64(slot[0], "table", number)) return nullptr;
    const GeneticCode* code = number <= 1000 ? genetic_code(static_cast<int>(number)) : nullptr;
    if (!code) {
        PyErr_Format(PyExc_ValueError, "table: no genetic code numbered %llu (known: 1-6, 11)",
                     static_cast<unsigned long long>(number));
        return nullptr;
    }
    char stop = '*';
    if (slot[1]) {
        std::string_view text;
        if (!to_text(slot[1], "stop", text)) return nullptr;
        if (text.size() != 1 || static_cast<unsigned char>(text[0]) >= 0x80) {
            PyErr_SetString(PyExc_ValueError, "stop must be one ASCII character");
            return nullptr;
        }
        stop = text[0];
    }
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    auto src = self->bytes();
    return derive(self, src.size() / 3, Coords{}, false,
                  [&](char* dst) { translate_bases(src, *code, stop, dst); });
}

PyMethodDef methods[] = {
    {"translate", fastcall_method(entry<sequence_translate>), METH_FASTCALL | METH_KEYWORDS,
     "translate($self, /, table=1, stop='*')\n--\n\n"
     "A new Sequence of the amino acids of the bases, codon by codon by NCBI genetic code `table` (1: the "
     "standard code), a trailing partial codon left out. IUPAC codes count when all their bases give one "
     "amino acid (RAY is B, SAR is Z); other codons, and those with other letters (U too), are X. Stops are "
     "`stop`. The name is kept; start, end and comp are not."},
    {"__reduce__", fastcall_method(entry<sequence_reduce>), METH_FASTCALL | METH_KEYWORDS, "__reduce__($self)\n--\n\nPickles and copies as the value it is: the class and its five fields."},
    refuse_subclass_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_entry<sequence_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<release_sequence, false>)},
    {Py_mp_subscript, slot<sequence_subscript>()},
    {Py_sq_item, slot<sequence_item>()},
    {Py_tp_str, slot<sequence_str>()},
    {Py_tp_repr, slot<sequence_repr>()},
    {Py_mp_length, slot<sequence_length>()},
    {Py_nb_negative, slot<sequence_negative>()},
    {Py_tp_richcompare, slot<sequence_richcompare>()},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Sequence(name=..., seq=..., start=None, end=None, comp=False)\n--\n\n"
                                  "A stretch of bases with the name of its record, its coordinates and a strand flag.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {"sekva.Sequence", sizeof(SequenceObject), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* sequence_type() { return cached_type(type_cell, type_spec); }

PyObject* new_sequence(PyObject* name, PyObject* seq, Coords coords, bool comp) {
    Ref owned = Ref::steal(seq);
    if (!owned) return nullptr;
    return allocate(name, owned.get(), coords, comp);
}

bool shrink_sequence_text(PyObject* sequence, Py_ssize_t length) {
    return shrink_filled_str(as_sequence(sequence)->seq, length);
}

bool sequence_parts(PyObject* o, SequenceParts& out) {
    PyTypeObject* type = sequence_type();
    if (!type || Py_TYPE(o) != type || !is_built(o)) {
        PyErr_Clear();
        return false;
    }
    auto* s = as_sequence(o);
    out = {s->name, s->seq, s->coords, s->comp};
    return true;
}

PyObject* sequence_negative(PyObject* o) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    auto src = self->bytes();
    return derive(self, src.size(), swapped(self->coords), !self->comp,
                  [&](char* dst) { reverse_complement_bytes(src.data(), src.size(), dst); });
}

PyObject* sequence_reversed(PyObject* o) {
    auto* self = as_sequence(o);
    SharedBorrow borrow(self->borrow);
    if (!borrow.ok()) return nullptr;
    auto src = self->bytes();
    return derive(self, src.size(), swapped(self->coords), self->comp,
                  [&](char* dst) { reverse_bytes(src.data(), src.size(), dst); });
}

}  // namespace sekva::host
