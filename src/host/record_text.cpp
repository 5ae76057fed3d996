// Record text in one bytes object, or written to a descriptor piece by piece: the text is made by
// the engine with the interpreter lock released, into memory nobody else can see yet.
#include "host/record_text.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/bed_text.hpp"
#include "engine/fasta_text.hpp"
#include "engine/fs.hpp"
#include "engine/sequence.hpp"
#include "host/args.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/lock_turns.hpp"
#include "host/ref.hpp"
#include "host/regions.hpp"

namespace sekva::host {

namespace {

constexpr const char* FASTA_PARAMS[] = {"regions", "heads", "names", "starts", "ends", "width", "sep", "rc", "table"};
constexpr const char* BED_PARAMS[] = {"bed", "head", "sep", "width", "stranded", "table", "out"};
constexpr std::string_view DEFAULT_HEAD = ">{chrom}:{start}-{end}";

// width, sep and table, each where given: the layout of every record.
bool read_layout(PyObject* width_given, PyObject* sep, PyObject* table, TextLayout& out) {
    std::int64_t width = 0;
    if (width_given && !to_i64(width_given, "width", width)) return false;
    if (width < 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'width': expected 0 (one line) or a positive number of bases");
        return false;
    }
    out.width = static_cast<std::uint64_t>(width);
    out.sep = "\n";
    if (sep && !to_text(sep, "sep", out.sep)) return false;
    // The complement a caller gives as 256 bytes, or the Sequence complement.
    if (!table || table == Py_None) {
        out.complement = COMPLEMENT_TABLE;
        return true;
    }
    if (!PyBytes_Check(table) || PyBytes_GET_SIZE(table) != 256) {
        PyErr_SetString(PyExc_ValueError, "argument 'table': expected 256 bytes, the complement of each byte value");
        return false;
    }
    std::memcpy(out.complement.data(), PyBytes_AS_STRING(table), 256);
    return true;
}

// A bytes object written with the lock released: on CPython its own buffer, which nobody can see
// before it is returned; on PyPy a buffer copied into it at the end.
class BytesOutput {
public:
    char* open(std::uint64_t size) {
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return nullptr;
        }
#ifdef PYPY_VERSION
        buffer_.resize(static_cast<std::size_t>(size));
        return buffer_.data();
#else
        bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        return bytes_ ? PyBytes_AS_STRING(bytes_.get()) : nullptr;
#endif
    }
    PyObject* finish() {
#ifdef PYPY_VERSION
        return PyBytes_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()));
#else
        return bytes_.release();
#endif
    }

private:
#ifdef PYPY_VERSION
    std::string buffer_;
#else
    Ref bytes_;
#endif
};

// out=: None, or a descriptor (an int, or an object with fileno(), whose own buffer is flushed
// first so that its bytes come before ours).
bool read_output(PyObject* out, int& fd) {
    fd = -1;
    if (!out || out == Py_None) return true;
    fd = PyObject_AsFileDescriptor(out);
    if (fd < 0) return fail_argument("out");
    if (PyLong_Check(out)) return true;
    Ref flush = Ref::steal(PyObject_GetAttrString(out, "flush"));
    if (!flush) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    return static_cast<bool>(Ref::steal(PyObject_CallObject(flush.get(), nullptr)));
}

}  // namespace

PyObject* fetch_fasta(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    const Signature sig = {callable, FASTA_PARAMS, 9, 0, 2};
    PyObject* slot[9];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    Regions regions;
    if (!read_regions(engine, slot[0], slot[2], slot[3], slot[4], regions, true) || !read_strands(slot[7], regions))
        return nullptr;
    const std::size_t n = regions.count();
    TextLayout layout;
    if (!read_layout(slot[5], slot[6], slot[8], layout)) return nullptr;
    if (!slot[1] || !check_sequence(slot[1], "heads")) {
        if (!slot[1]) PyErr_Format(PyExc_TypeError, "%s() missing required argument 'heads'", callable);
        return nullptr;
    }
    Ref heads = Ref::steal(PySequence_Fast(slot[1], "expected a sequence"));
    if (!heads) return nullptr;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(heads.get())) != n) {
        PyErr_Format(PyExc_ValueError, "heads has %zd items for %zu regions", PySequence_Fast_GET_SIZE(heads.get()), n);
        return nullptr;
    }
    std::vector<TextRegion> text;
    without_lock([&] { text.resize(n); });
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        if (!to_text(PySequence_Fast_ITEMS(heads.get())[i], "heads", text[i].head)) return nullptr;
        text[i].reverse = regions.windows[i].reverse;
        if (regions.absent[i]) {
            text[i].plan = RegionPlan{RegionPlan::Kind::Empty, nullptr, 0, 0, 0};
            continue;
        }
        auto low = [](std::int64_t v) { return v < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(v); };
        std::uint64_t start = low(regions.starts[i]), end = low(regions.ends[i]);
        text[i].plan = plan_region(engine, regions.windows[i].entry, start, end);
        if (text[i].plan.kind == RegionPlan::Kind::Error) {
            std::string_view name;
            utf8_view(regions.names[i], name);
            bad_region(PyExc_ValueError, i, plan_error(text[i].plan, name, start, end).display());
            return nullptr;
        }
    }
    auto job = std::make_unique<TextJob>(engine, std::move(text), layout);
    std::optional<ArrayFailure> failure = without_lock([&] { return job->read(); });
    if (failure) return raise_fill_failure(*failure);
    BytesOutput out;
    char* at = out.open(job->size());
    if (!at) return nullptr;
    without_lock([&] {
        job->write(at);
        job.reset();
    });
    return out.finish();
}

const char* const FETCH_FASTA_DOC =
    "fetch_fasta($self, regions=None, heads=None, *, names=None, starts=None, ends=None, width=0, sep='\\n', "
    "rc=None, table=None)\n--\n\n"
    "Record text of many regions as one bytes object, ready to write: for region i, heads[i] as given\n"
    "(include '>' for FASTA), then sep, then its bases in lines of width bases (0: one line), each line\n"
    "ended by a line break. A region without bases (or None in regions) gives heads[i] and sep alone.\n\n"
    "Regions are given as for fetch_array (1-based, inclusive; BED starts need + 1) and fetched by the\n"
    "rules of a large fetch_many. rc reverse-complements through table (256 bytes: the complement of\n"
    "each byte value; default: the Sequence complement). The bases are read through a descriptor, not\n"
    "the map, so writing a whole genome's regions in pieces keeps the process small.";

PyObject* fetch_bed(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const Signature sig = {callable, BED_PARAMS, 7, 1, 1};
    PyObject* slot[7];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    // Only bytes: nothing can change them while the engine reads them without the lock.
    if (!PyBytes_Check(slot[0])) {
        PyErr_Format(PyExc_TypeError, "argument 'bed': expected bytes (the text of a BED file), not %.200s",
                     short_type_name(slot[0]));
        return nullptr;
    }
    const std::string_view bed(PyBytes_AS_STRING(slot[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(slot[0])));
    std::string_view head_text = DEFAULT_HEAD;
    if (slot[1] && !to_text(slot[1], "head", head_text)) return nullptr;
    TextLayout layout;
    bool stranded = false;
    int fd = -1;
    if (!read_layout(slot[3], slot[2], slot[5], layout) || !to_optional_bool(slot[4], "stranded", stranded) ||
        !read_output(slot[6], fd))
        return nullptr;
    auto head = HeadTemplate::parse(head_text);
    if (!head.ok()) return raise_text(PyExc_ValueError, "argument 'head': " + head.error());
    auto text = without_lock([&] { return BedText::read(engine, bed, std::move(head.value()), layout, stranded); });
    if (!text.ok())
        return raise_text(PyExc_ValueError, "line " + std::to_string(text.error().line) + ": " + text.error().what);
    const BedText& records = text.value();
    BedWriteOutcome outcome;
    if (fd >= 0) {
        std::string piece;
        outcome = without_lock([&] {
            return records.write(
                [&](std::size_t n) {
                    piece.resize(n);
                    return piece.data();
                },
                [&](const char* p, std::size_t n) { return write_fully(fd, p, n); });
        });
    } else {
        BytesOutput out;
        char* at = out.open(records.size());
        if (!at) return nullptr;
        outcome = without_lock([&] {
            return records.write([&](std::size_t n) { return std::exchange(at, at + n); },
                                 [](const char*, std::size_t) { return 0; });
        });
        if (!outcome.failure) return out.finish();
    }
    if (outcome.failure) return raise_fill_failure(*outcome.failure);
    if (outcome.consumer_error) {
        errno = outcome.consumer_error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

const char* const FETCH_BED_DOC =
    "fetch_bed($self, bed, *, head='>{chrom}:{start}-{end}', sep='\\n', width=0, stranded=False, table=None, "
    "out=None)\n--\n\n"
    "Record text of every line of a BED file (bed: its bytes; 0-based, half-open): for each line, head\n"
    "with {chrom}, {start}, {end}, {name}, {score} and {strand} replaced by the line's first six fields\n"
    "as written (empty where it has fewer) and {line} by the whole line ({{ and }} for braces), then\n"
    "sep, then the bases in lines of width bases (0: one line), each line ended by a line break.\n"
    "stranded reverse-complements lines whose sixth field is '-' through table (as for fetch_fasta).\n\n"
    "Blank lines and lines starting with '#', 'track' or 'browser' are skipped. Every other line must\n"
    "have the same number (3 or more) of non-empty tab-separated fields, a record name of the file and\n"
    "start < end <= the record's length in plain digits; otherwise ValueError names the line and\n"
    "nothing is written. Returns the text as bytes; with out (a file descriptor, or an object with\n"
    "fileno(), flushed first) writes it there a few thousand records at a time and returns None.";

}  // namespace sekva::host
