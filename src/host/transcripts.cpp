// The module's transcript functions behind `sekva transcripts` and sekva_ml: an annotation read by
// the engine into an opaque handle, its transcripts as tuples, and their FASTA text written to files.
#include "host/transcripts.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "engine/bulk/annotation.hpp"
#include "engine/bulk/transcript_text.hpp"
#include "engine/parallel/worker_pool.hpp"
#include "host/args.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/fasta_type.hpp"
#include "host/record_text.hpp"
#include "host/ref.hpp"
#include "host/regions.hpp"
#include "host/types.hpp"

namespace sekva::host {

namespace {

constexpr const char* HANDLE_NAME = "sekva.annotation";
// Transcripts per chunk: bounds the text in flight; each chunk's bases are one job on the pool.
constexpr std::size_t CHUNK = 8192;

// The annotation and the bytes its views point into.
struct HeldAnnotation {
    Ref text;
    Annotation annotation;
};

void free_handle(PyObject* capsule) {
    delete static_cast<HeldAnnotation*>(PyCapsule_GetPointer(capsule, HANDLE_NAME));
}

const HeldAnnotation* held_annotation(PyObject* o) {
    if (!PyCapsule_IsValid(o, HANDLE_NAME)) {
        PyErr_Format(PyExc_TypeError, "argument 'annotation': expected what sekva._read_annotation returns, not %.200s",
                     short_type_name(o));
        return nullptr;
    }
    return static_cast<const HeldAnnotation*>(PyCapsule_GetPointer(o, HANDLE_NAME));
}

// Text of the annotation (bytes of any encoding) as Python holds it: UTF-8, other bytes escaped.
PyObject* decoded(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

[[gnu::cold]] PyObject* raise_problem(const AnnotationProblem& p) {
    std::string message = "line " + std::to_string(p.line) + ": ";
    switch (p.kind) {
    case AnnotationProblem::Kind::Fields:
        message += std::to_string(p.fields) + " tab-separated fields where GTF has 9";
        break;
    case AnnotationProblem::Kind::NotNumber: {
        // The texts as repr() shows them.
        std::string shown[2];
        const std::string_view texts[2] = {p.start_text, p.end_text};
        for (int k = 0; k < 2; ++k) {
            Ref text = Ref::steal(decoded(texts[k]));
            Ref repr = text ? Ref::steal(PyObject_Repr(text.get())) : Ref();
            if (!repr) return nullptr;
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size);
            if (!utf8) return nullptr;
            shown[k].assign(utf8, static_cast<std::size_t>(size));
        }
        message += "start " + shown[0] + " or end " + shown[1] + " is not a number";
        break;
    }
    case AnnotationProblem::Kind::NotRange:
        message += std::to_string(p.first) + "-" + std::to_string(p.last) + " is not a range of 1-based positions";
        break;
    }
    return raise_text(PyExc_ValueError, message);
}

[[gnu::cold]] PyObject* raise_text_failure(TranscriptTextFailure& failure) {
    switch (failure.kind) {
    case TranscriptTextFailure::Kind::Bed:
        return raise_text(PyExc_ValueError, "line " + std::to_string(failure.bed.line) + ": " + failure.bed.what);
    case TranscriptTextFailure::Kind::Job:
        break;
    }
    return raise_fill_failure(failure.job);
}

PyObject* span_list(std::span<const Span> spans) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(spans[k].first),
                                       static_cast<unsigned long long>(spans[k].last));
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair);
    }
    return list.release();
}

// Writes one output's text: through the descriptor with the lock released, or to write().
bool write_text(const Output& to, const char* param, const std::string& text) {
    if (text.empty()) return true;
    if (to.writer) return write_object(to.writer, param, text.data(), text.size());
    int err = 0;
    {
        Released lock;
        err = write_descriptor(to.fd, text.data(), text.size(), lock);
        if (lock.raised()) err = 0;
    }
    if (PyErr_Occurred()) return false;
    if (err) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    return true;
}

}  // namespace

PyObject* read_annotation_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"text"};
    static const Signature sig = {"_read_annotation", params, 1, 1};
    PyObject* slot[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    if (!PyBytes_Check(slot[0])) {
        PyErr_Format(PyExc_TypeError, "argument 'text': expected bytes (the text of a GTF or GFF3 file), not %.200s",
                     short_type_name(slot[0]));
        return nullptr;
    }
    auto held = std::make_unique<HeldAnnotation>();
    held->text = Ref::borrow(slot[0]);  // bytes never change: the engine reads them without the lock
    const std::string_view text(PyBytes_AS_STRING(slot[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(slot[0])));
    auto read = without_lock([&] { return read_annotation(text); });
    if (!read.ok()) return raise_problem(read.error());
    without_lock([&] { held->annotation = std::move(read.value()); });
    PyObject* capsule = PyCapsule_New(held.get(), HANDLE_NAME, free_handle);
    if (capsule) held.release();
    return capsule;
}

PyObject* annotation_transcripts_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"annotation"};
    static const Signature sig = {"_annotation_transcripts", params, 1, 1};
    PyObject* slot[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    const HeldAnnotation* held = held_annotation(slot[0]);
    if (!held) return nullptr;
    const Annotation& a = held->annotation;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(a.transcripts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < a.transcripts.size(); ++i) {
        const AnnotatedTranscript& t = a.transcripts[i];
        Ref id = Ref::steal(decoded(t.id)), chrom = Ref::steal(decoded(t.chrom)), strand = Ref::steal(decoded(t.strand));
        Ref exons = Ref::steal(span_list(a.exons(t))), cds = Ref::steal(span_list(a.cds(t)));
        if (!id || !chrom || !strand || !exons || !cds) return nullptr;
        PyObject* item = Py_BuildValue("(OOOOOi)", id.get(), chrom.get(), strand.get(), exons.get(), cds.get(), t.phase);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* write_transcripts_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"fasta", "annotation", "exons", "cds", "proteins", "projected", "stop", "warn"};
    static const Signature sig = {"_write_transcripts", params, 8, 2};
    PyObject* slot[8];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    PyObject* fasta = slot[0];
    if (Py_TYPE(fasta) != fasta_type() || !is_built(fasta)) {
        PyErr_Format(PyExc_TypeError, "argument 'fasta': expected a sekva.Fasta, not %.200s", short_type_name(fasta));
        return nullptr;
    }
    const HeldAnnotation* held = held_annotation(slot[1]);
    if (!held) return nullptr;
    static const char* const OUTPUTS[] = {"exons", "cds", "proteins"};
    Output to[3];
    for (int k = 0; k < 3; ++k)
        if (!read_output(slot[2 + k], OUTPUTS[k], to[k])) return nullptr;
    bool projected = false;
    if (!to_optional_bool(slot[5], "projected", projected)) return nullptr;
    char stop = '.';
    if (slot[6]) {
        std::string_view text;
        if (!to_text(slot[6], "stop", text)) return nullptr;
        if (text.size() != 1 || static_cast<unsigned char>(text[0]) >= 0x80) {
            PyErr_SetString(PyExc_ValueError, "stop must be one ASCII character");
            return nullptr;
        }
        stop = text[0];
    }
    PyObject* warn = slot[7] && slot[7] != Py_None ? slot[7] : nullptr;
    if (warn && !PyCallable_Check(warn)) {
        PyErr_Format(PyExc_TypeError, "argument 'warn': expected a callable, not %.200s", short_type_name(warn));
        return nullptr;
    }
    const bool wanted[3] = {to[0].fd >= 0 || to[0].writer, to[1].fd >= 0 || to[1].writer,
                            to[2].fd >= 0 || to[2].writer};
    const Engine& engine = fasta_engine(fasta);
    const Annotation& annotation = held->annotation;
    const auto unfetchable = without_lock([&] { return first_unfetchable(engine, annotation); });
    const std::size_t count = unfetchable ? unfetchable->index : annotation.transcripts.size();
    for (std::size_t first = 0; first < count; first += CHUNK) {
        const std::size_t last = std::min(count, first + CHUNK);
        auto chunk = without_lock([&] { return std::make_unique<TranscriptChunk>(engine, annotation, first, last, projected, stop); });
        if (warn && (wanted[1] || wanted[2])) {
            const std::vector<std::string> lines = without_lock([&] { return chunk->short_cds_warnings(); });
            for (const std::string& line : lines) {
                Ref text = Ref::steal(PyBytes_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
                if (!text || !Ref::steal(PyObject_CallFunctionObjArgs(warn, text.get(), nullptr))) return nullptr;
            }
        }
        // The -w text and the -x/-y text side by side on the pool, then written in that order.
        std::optional<Result<std::string, TranscriptTextFailure>> exons;
        std::optional<Result<CodingText, TranscriptTextFailure>> coding;
        const JobOutcome made = without_lock([&] {
            return run_parallel(2, [&](std::size_t first_item, std::size_t last_item) {
                for (std::size_t item = first_item; item < last_item; ++item) {
                    if (item == 0 && wanted[0]) exons.emplace(chunk->exons());
                    if (item == 1 && (wanted[1] || wanted[2])) coding.emplace(chunk->coding(wanted[1], wanted[2]));
                }
            });
        });
        if (auto failure = JobFailure::of(made)) return raise_fill_failure(*failure);
        if (exons) {
            if (!exons->ok()) return raise_text_failure(exons->error());
            if (!write_text(to[0], OUTPUTS[0], exons->value())) return nullptr;
        }
        if (coding) {
            if (!coding->ok()) return raise_text_failure(coding->error());
            const CodingText& text = coding->value();
            if (wanted[1] && !write_text(to[1], OUTPUTS[1], text.cds)) return nullptr;
            // A protein of bytes that are not bases: Sequence's own refusal, as where one is made.
            if (text.not_ascii) {
                PyErr_SetString(PyExc_ValueError, "argument 'seq': sequence text must be ASCII, one byte per base");
                return nullptr;
            }
            if (wanted[2] && !write_text(to[2], OUTPUTS[2], text.proteins)) return nullptr;
        }
        without_lock([&] {
            exons.reset();
            coding.reset();
            chunk.reset();
        });
    }
    if (!unfetchable) Py_RETURN_NONE;
    // (chrom, its length or None where the genome lacks it, ID, start, end) of the transcript
    // that stopped the writing.
    const AnnotatedTranscript& t = annotation.transcripts[unfetchable->index];
    Ref chrom = Ref::steal(decoded(t.chrom)), id = Ref::steal(decoded(t.id));
    Ref size = unfetchable->size ? Ref::steal(PyLong_FromUnsignedLongLong(*unfetchable->size)) : Ref::borrow(Py_None);
    if (!chrom || !id || !size) return nullptr;
    const auto exons = annotation.exons(t);
    return Py_BuildValue("(OOOKK)", chrom.get(), size.get(), id.get(), static_cast<unsigned long long>(exons.front().first),
                         static_cast<unsigned long long>(exons.back().last));
}

}  // namespace sekva::host
