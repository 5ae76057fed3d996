// Qualities of FASTQ reads: the bases' own fetches run on the engine's quality view, whose entries
// point at the quality lines, so coordinates, clamping and errors are the bases' by construction.
#include "host/qualities.hpp"

#include "host/args.hpp"
#include "host/arrays.hpp"
#include "host/engine_bridge.hpp"
#include "host/ref.hpp"

namespace sekva::host {

namespace {

constexpr const char* QUALITIES_PARAMS[] = {"regions", "names", "starts", "ends", "phred"};
// Phred scores are stored as characters from '!' (0) up.
constexpr unsigned char PHRED_OFFSET = 33;

[[gnu::cold]] void no_qualities(const Engine& engine) {
    PyErr_Format(PyExc_ValueError, "%s has no qualities: it is a FASTA file, not FASTQ",
                 engine.options().filename.c_str());
}

// The text of a fetched Sequence, which is what a quality fetch returns.
PyObject* text_of(PyObject* sequence) {
    if (!sequence) return nullptr;
    Ref seq = Ref::steal(sequence);
    return PyObject_GetAttrString(seq.get(), "seq");
}

}  // namespace

bool require_qualities(const Engine& engine) {
    if (!engine.fastq()) no_qualities(engine);
    return engine.fastq();
}

const Engine* quality_engine(const Engine& engine) {
    const Engine* view = engine.qualities();
    if (!view) no_qualities(engine);
    return view;
}

PyObject* fetch_quality_text(const Engine& engine, PyObject* name, std::uint64_t start, std::uint64_t end) {
    const Engine* view = quality_engine(engine);
    std::string_view record;
    if (!view || !utf8_view(name, record)) return nullptr;
    return text_of(fetch_sequence(*view, name, record, start, end));
}

PyObject* read_quality_text(const Engine& engine, PyObject* name) {
    const Engine* view = quality_engine(engine);
    std::string_view record;
    if (!view || !utf8_view(name, record)) return nullptr;
    return text_of(fetch_to_host(name, record, [&](StrOutput& out) { return fetch_entire_into(*view, record, out); }));
}

PyObject* fetch_quality(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const char* const names[] = {"name", "start", "end"};
    const Signature sig = {callable, names, 3, 3};
    PyObject* slot[3];
    std::string_view name;
    std::uint64_t start, end;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || !to_text(slot[0], "name", name) ||
        !to_u64(slot[1], "start", start) || !to_u64(slot[2], "end", end))
        return nullptr;
    return fetch_quality_text(engine, slot[0], start, end);
}

PyObject* fetch_qualities(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const Signature sig = {callable, QUALITIES_PARAMS, 5, 0, 1};
    PyObject* slot[5];
    bool phred = true;
    if (!bind_fastcall(sig, args, nargs, kwnames, slot) || (slot[4] && !to_bool(slot[4], "phred", phred)))
        return nullptr;
    const Engine* view = quality_engine(engine);
    if (!view) return nullptr;
    return ragged_arrays(*view, callable, slot, nullptr, false, phred ? PHRED_OFFSET : 0);
}

const char* const FETCH_QUALITIES_DOC =
    "fetch_qualities($self, regions=None, *, names=None, starts=None, ends=None, phred=True)\n--\n\n"
    "The qualities of many regions of a FASTQ file back to back, as fetch_ragged gives bases:\n"
    "(data, offsets), data a flat numpy uint8 array and offsets an int64 array of n + 1 offsets;\n"
    "region i is data[offsets[i]:offsets[i + 1]]. With phred=True the values are Phred scores (the\n"
    "character's code less 33), else the characters' codes. Regions, clamping and errors are those of\n"
    "fetch_ragged. On a FASTA file, a ValueError.";

}  // namespace sekva::host
