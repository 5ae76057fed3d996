// Record text in one bytes object, or written to a descriptor piece by piece: the text is made by
// the engine with the interpreter lock released, into memory nobody else can see yet.
#include "host/record_text.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/bulk/bed_text.hpp"
#include "engine/bulk/fasta_text.hpp"
#include "engine/fetch/sequence.hpp"
#include "host/args.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/interp.hpp"
#include "host/lock_turns.hpp"
#include "host/qualities.hpp"
#include "host/ref.hpp"
#include "host/regions.hpp"

namespace sekva::host {

namespace {

constexpr const char* FASTA_PARAMS[] = {"regions", "heads", "names", "starts", "ends", "width", "sep", "rc", "table"};
constexpr const char* BED_PARAMS[] = {"bed", "head", "sep", "width", "stranded", "table", "out", "split"};
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

// A bytes object written with the lock released: its own buffer, which nobody can see before it is
// returned, where TEXT_WRITTEN_IN_PLACE; elsewhere a buffer copied into it at the end.
class BytesOutput {
public:
    char* open(std::uint64_t size) {
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return nullptr;
        }
        if constexpr (!TEXT_WRITTEN_IN_PLACE) {
            buffer_.resize(static_cast<std::size_t>(size));
            return buffer_.data();
        }
        char* data = nullptr;
        bytes_ = Ref::steal(new_bytes_to_fill(static_cast<Py_ssize_t>(size), data));
        return bytes_ ? data : nullptr;
    }
    PyObject* finish() {
        if constexpr (!TEXT_WRITTEN_IN_PLACE)
            return PyBytes_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()));
        return bytes_.release();
    }

private:
    std::string buffer_;  // where text is not written in place
    Ref bytes_;
};

// Reads the regions' bases with the lock released and returns the text as one bytes object.
PyObject* run_text_job(const Engine& engine, std::vector<TextRegion> text, const TextLayout& layout) {
    auto job = std::make_unique<TextJob>(engine, std::move(text), layout);
    std::optional<JobFailure> failure = without_lock([&] { return job->read(); });
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

}  // namespace


static bool is_plain_binary_file(PyObject* out, bool& plain) {
    plain = false;
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    auto type_of = [&](const char* name) { return Ref::steal(PyObject_GetAttrString(io.get(), name)); };
    Ref file_io = type_of("FileIO"), writer = type_of("BufferedWriter"), random = type_of("BufferedRandom");
    if (!file_io || !writer || !random) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(out));
    if (type == file_io.get()) {
        plain = true;
        return true;
    }
    if (type != writer.get() && type != random.get()) return true;
    Ref raw = Ref::steal(PyObject_GetAttrString(out, "raw"));
    if (!raw) return false;
    plain = reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == file_io.get();
    return true;
}

bool read_output(PyObject* out, const char* param, Output& to) {
    if (!out || out == Py_None) return true;
    bool plain = PyLong_Check(out);
    if (!plain && !is_plain_binary_file(out, plain)) return false;
    if (plain) {
        // A buffered file's own bytes come before ours.
        if (!PyLong_Check(out) && !Ref::steal(PyObject_CallMethod(out, "flush", nullptr))) return false;
        to.fd = PyObject_AsFileDescriptor(out);
        return to.fd >= 0 || fail_argument(param);
    }
    Ref encoding = Ref::steal(PyObject_GetAttrString(out, "encoding"));
    PyErr_Clear();
    if (encoding || !PyObject_HasAttrString(out, "write")) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a file descriptor or a binary file object with write(), not %.200s%s",
                     param, short_type_name(out), encoding ? " (a text stream: give its .buffer)" : "");
        return false;
    }
    to.writer = out;
    return true;
}

// Writes all n bytes to a descriptor as os.write would, and lets a signal's handler run as the
// interpreter would: when a write is interrupted, and every 50 ms while a reader that is slower
// than us (or gone quiet: a pipe nobody reads) leaves no room. A handler that raises (Ctrl-C)
// stops the writing; other errors return errno.
int write_descriptor(int fd, const char* p, std::size_t n, Released& lock) {
    auto signalled = [&] { return !lock.with_lock([] { return PyErr_CheckSignals() == 0; }); };
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno != EINTR) return errno;
            if (signalled()) return EINTR;
            continue;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
        while (n > 0) {
            struct pollfd room = {fd, POLLOUT, 0};
            int ready = ::poll(&room, 1, 50);
            if (ready > 0) break;
            if (ready < 0 && errno != EINTR) break;  // the write says what is wrong
            if (signalled()) return EINTR;
        }
    }
    return 0;
}

// Hands n bytes to a file object's write(), which may take fewer at a time (a raw stream).
bool write_object(PyObject* writer, const char* param, const char* p, std::size_t n) {
    while (n > 0) {
        Ref piece = Ref::steal(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
        Ref put = piece ? Ref::steal(PyObject_CallMethod(writer, "write", "O", piece.get())) : Ref();
        if (!put) return false;
        std::size_t taken = n;
        if (put.get() != Py_None) {
            Py_ssize_t count = PyNumber_AsSsize_t(put.get(), PyExc_OverflowError);
            if (count == -1 && PyErr_Occurred()) return false;
            if (count <= 0 || static_cast<std::size_t>(count) > n) {
                PyErr_Format(PyExc_OSError, "argument '%s': write() took %zd of %zu bytes", param, count, n);
                return false;
            }
            taken = static_cast<std::size_t>(count);
        }
        p += taken;
        n -= taken;
    }
    return true;
}

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
    // Held until the text is written: the engine reads each head's own bytes without the lock.
    Ref heads = snapshot(slot[1]);
    if (!heads) return nullptr;
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(heads.get())) != n) {
        PyErr_Format(PyExc_ValueError, "heads has %zd items for %zu regions", PyTuple_GET_SIZE(heads.get()), n);
        return nullptr;
    }
    std::vector<TextRegion> text;
    without_lock([&] { text.resize(n); });
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        if (!to_text(PyTuple_GET_ITEM(heads.get(), static_cast<Py_ssize_t>(i)), "heads", text[i].head)) return nullptr;
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
    return run_text_job(engine, std::move(text), layout);
}

PyObject* fetch_fastq(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static const char* const params[] = {"names", "width"};
    const Signature sig = {callable, params, 2, 1, 1};
    PyObject* slot[2];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    if (!require_qualities(engine)) return nullptr;
    TextLayout layout;
    if (!read_layout(slot[1], nullptr, nullptr, layout)) return nullptr;
    if (!slot[1]) layout.width = 60;
    if (!check_sequence(slot[0], "names")) return nullptr;
    Ref names = snapshot(slot[0]);
    if (!names) return nullptr;
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(names.get()));
    std::vector<TextRegion> text;
    std::vector<std::string> heads;
    std::vector<IndexEntry> entries;
    without_lock([&] {
        text.resize(2 * n);
        heads.resize(n);
        entries.resize(n);
    });
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        std::string_view name;
        if (!to_text(PyTuple_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i)), "names", name)) return nullptr;
        const IndexEntry* entry = engine.names().find(name);
        if (!entry) {
            bad_item(PyExc_KeyError, "name", i, "no read named '" + std::string(name) + "'");
            return nullptr;
        }
        heads[i].reserve(name.size() + 1);
        heads[i] += '@';
        heads[i] += name;
        entries[i] = entry->qualities();
        TextRegion& bases = text[2 * i];
        TextRegion& quals = text[2 * i + 1];
        bases.head = heads[i];
        quals.head = "+";
        bases.verbatim = quals.verbatim = true;
        if (entry->rlen == 0) {
            bases.plan = quals.plan = RegionPlan{RegionPlan::Kind::Empty, nullptr, 0, 0, 0};
            continue;
        }
        bases.plan = plan_region(engine, entry, 1, entry->rlen);
        quals.plan = plan_region(engine, &entries[i], 1, entry->rlen);
    }
    return run_text_job(engine, std::move(text), layout);
}

const char* const FETCH_FASTQ_DOC =
    "fetch_fastq($self, names, width=60)\n--\n\n"
    "Whole reads of a FASTQ file as FASTQ text in one bytes object, in the order of names: for each,\n"
    "'@' and its name, its bases, a '+' line and its qualities, bases and qualities in lines of width\n"
    "characters (0: one line), as `samtools fqidx` prints whole reads. Bases and qualities are as in\n"
    "the file (sequence_always_upper does not apply). An unknown name is a KeyError naming its\n"
    "position; on a FASTA file, a ValueError.";

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

// The text of a BED file from what the caller gave: its bytes, a path (str or os.PathLike), or a
// binary file object (read to its end); gzip-compressed text (BGZF included) is told by its first
// bytes and decompressed by Python's own gzip module.
static Ref bed_bytes(PyObject* given) {
    Ref data;
    if (PyBytes_Check(given)) {
        data = Ref::borrow(given);
    } else if (PyObject_HasAttrString(given, "read")) {
        data = Ref::steal(PyObject_CallMethod(given, "read", nullptr));
        if (data && !PyBytes_Check(data.get())) {
            PyErr_Format(PyExc_TypeError, "argument 'bed': a file opened in binary mode was expected; its read() gave %.200s",
                         short_type_name(data.get()));
            return Ref();
        }
    } else if (PyUnicode_Check(given) || PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(given)), "__fspath__")) {
        Ref path;
        if (!to_path(given, "bed", path)) return Ref();
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        Ref file = io ? Ref::steal(PyObject_CallMethod(io.get(), "open", "Os", path.get(), "rb")) : Ref();
        if (!file) return Ref();
        data = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
        if (!data) return Ref();  // the file closes when it is let go
        Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
        if (!closed) return Ref();
    } else {
        PyErr_Format(PyExc_TypeError,
                     "argument 'bed': expected bytes (the text of a BED file), a path or a binary file, not %.200s",
                     short_type_name(given));
        return Ref();
    }
    if (!data) return Ref();
    if (PyBytes_GET_SIZE(data.get()) >= 2 && std::memcmp(PyBytes_AS_STRING(data.get()), "\x1f\x8b", 2) == 0) {
        Ref gzip = Ref::steal(PyImport_ImportModule("gzip"));
        if (!gzip) return Ref();
        return Ref::steal(PyObject_CallMethod(gzip.get(), "decompress", "O", data.get()));
    }
    return data;
}

PyObject* fetch_bed(const Engine& engine, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const Signature sig = {callable, BED_PARAMS, 8, 1, 1};
    PyObject* slot[8];
    if (!bind_fastcall(sig, args, nargs, kwnames, slot)) return nullptr;
    // Read into bytes first: nothing can change them while the engine reads them without the lock.
    Ref bed_text = bed_bytes(slot[0]);
    if (!bed_text) return nullptr;
    const std::string_view bed(PyBytes_AS_STRING(bed_text.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bed_text.get())));
    std::string_view head_text = DEFAULT_HEAD;
    if (slot[1] && !to_text(slot[1], "head", head_text)) return nullptr;
    TextLayout layout;
    bool stranded = false, split = false;
    Output to;
    if (!read_layout(slot[3], slot[2], slot[5], layout) || !to_optional_bool(slot[4], "stranded", stranded) ||
        !read_output(slot[6], "out", to) || !to_optional_bool(slot[7], "split", split))
        return nullptr;
    auto head = HeadTemplate::parse(head_text);
    if (!head.ok()) return raise_text(PyExc_ValueError, "argument 'head': " + head.error());
    auto text = without_lock([&] { return BedText::read(engine, bed, std::move(head.value()), layout, stranded, split); });
    if (!text.ok())
        return raise_text(PyExc_ValueError, "line " + std::to_string(text.error().line) + ": " + text.error().what);
    const BedText& records = text.value();
    BedWriteOutcome outcome;
    if (to.fd >= 0 || to.writer) {
        std::string piece;
        {
            Released lock;
            outcome = records.write(
                [&](std::size_t n) {
                    piece.resize(n);
                    return piece.data();
                },
                [&](const char* p, std::size_t n) {
                    if (to.fd >= 0) return write_descriptor(to.fd, p, n, lock);
                    return lock.with_lock([&] { return write_object(to.writer, "out", p, n); }) ? 0 : EIO;
                });
            if (lock.raised()) outcome.failure.reset();
        }
        if (PyErr_Occurred()) return nullptr;
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
    "out=None, split=False)\n--\n\n"
    "Record text of every line of a BED file (bed: its bytes, a path or a binary file, gzip-compressed\n"
    "or not; 0-based, half-open): for each line, head\n"
    "with {chrom}, {start}, {end}, {name}, {score} and {strand} replaced by the line's first six fields\n"
    "as written (empty where it has fewer) and {line} by the whole line ({{ and }} for braces), then\n"
    "sep, then the bases in lines of width bases (0: one line), each line ended by a line break.\n"
    "stranded reverse-complements lines whose sixth field is '-' through table (as for fetch_fasta).\n"
    "split=True joins the blocks of BED12 lines (twelve fields or more: blockCount, blockSizes and\n"
    "blockStarts) in their order, each block of one base or more inside the record; the join is\n"
    "reverse-complemented as a whole.\n\n"
    "Blank lines and lines starting with '#', 'track' or 'browser' are skipped. Every other line must\n"
    "have the same number (3 or more) of non-empty tab-separated fields, a record name of the file and\n"
    "start < end <= the record's length in plain digits; otherwise ValueError names the line and\n"
    "nothing is written. Returns the text as bytes; with out writes it there a few thousand records\n"
    "at a time and returns None: a file descriptor or a binary file (flushed first) through its\n"
    "descriptor, any other binary stream (gzip.open(..., 'wb'), io.BytesIO) through its write().";

}  // namespace sekva::host
