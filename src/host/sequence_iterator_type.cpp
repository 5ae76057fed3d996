// SequenceIterator: one record in line-sized pieces; a failed step can be retried.
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/fasta_type.hpp"
#include "host/ref.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

struct SequenceIteratorObject {
    PyObject_HEAD
    PyObject* name;
    PyObject* fasta;
    std::uint64_t piece;   // bases per step, at least 1
    std::uint64_t length;  // bases in the record
    std::uint64_t next;    // 1-based first base of the next piece; past `length` when exhausted
    const IndexEntry* entry;  // looked up once: the table never changes
    const char* text;         // the name's UTF-8 form, kept by `name`
    Py_ssize_t text_size;
};
SEKVA_FIRST_FIELD_MARKS_BUILT(SequenceIteratorObject, name);

SequenceIteratorObject* as_iterator(PyObject* o) { return reinterpret_cast<SequenceIteratorObject*>(o); }

int iterator_traverse(PyObject* o, visitproc visit, void* arg) {
    return visit_all(visit, arg, {as_iterator(o)->fasta, reinterpret_cast<PyObject*>(Py_TYPE(o))});
}

void release_iterator(PyObject* o) {
    Py_CLEAR(as_iterator(o)->fasta);
    Py_CLEAR(as_iterator(o)->name);
}

PyObject* iterator_next(PyObject* o) {
    auto* self = as_iterator(o);
    if (self->next == 0 || self->next > self->length) return nullptr;
    std::uint64_t last = self->length - self->next < self->piece ? self->length : self->next + self->piece - 1;
    PyObject* piece = fetch_sequence_at(fasta_engine(self->fasta), self->name,
                                        std::string_view(self->text, static_cast<std::size_t>(self->text_size)),
                                        self->entry, self->next, last);
    if (!piece) return nullptr;  // the same piece is asked for again next time
    // 0 marks exhaustion where last + 1 would wrap around.
    self->next = last == UINT64_MAX ? 0 : last + 1;
    return piece;
}

PyTypeObject* type_cell = nullptr;

}  // namespace

PyTypeObject* sequence_iterator_type() {
    return cached_iterator_type(type_cell, "sekva.SequenceIterator",
                                "A record in line-sized pieces, one Sequence each; a failed step can be retried.",
                                sizeof(SequenceIteratorObject), dealloc_entry<release_iterator>,
                                traverse_entry<iterator_traverse>, entry<iterator_next>);
}

PyObject* new_sequence_iterator(PyObject* fasta, PyObject* name, std::uint64_t piece, std::uint64_t length) {
    PyTypeObject* type = sequence_iterator_type();
    if (!type) return nullptr;
    std::string_view text;
    if (!utf8_view(name, text)) return nullptr;
    auto* self = reinterpret_cast<SequenceIteratorObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->name = new_ref(name);
    self->fasta = new_ref(fasta);
    self->piece = piece;
    self->length = length;
    self->next = 1;
    self->text = text.data();
    self->text_size = static_cast<Py_ssize_t>(text.size());
    self->entry = fasta_engine(fasta).names().find(text);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace sekva::host
