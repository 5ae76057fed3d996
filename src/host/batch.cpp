// Batch fetches from the host side. Below the threshold, region after region through the checked
// fetch, with its warnings. From the threshold on, one pass reads, plans and gives each region its
// final home while the workers already copy the regions planned before it; then, with the
// interpreter lock released, the calling thread helps finish the copy.
#include "host/batch.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "engine/batch.hpp"
#include "engine/bytes.hpp"
#include "engine/fasta_text.hpp"
#include "engine/sequence.hpp"
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/errors.hpp"
#include "host/regions.hpp"
#include "host/ref.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"

namespace sekva::host {

namespace {

// How many regions are planned before the workers hear of them.
constexpr std::size_t PUBLISH_EVERY = 512;

struct Region {
    PyObject* name;          // borrowed from the reader's tuple
    std::string_view text;   // its UTF-8 form
    const IndexEntry* entry;
    std::uint64_t start, end;
};

// Reads the regions of a call once: a tuple of the caller's items (so nothing the caller does
// meanwhile can free them), each converted in turn.
class RegionReader {
public:
    RegionReader(const Engine& engine, PyObject* fixed_name) : engine_(engine), fixed_name_(fixed_name) {}

    bool open(PyObject* regions) {
        if (fixed_name_) {
            if (!utf8_view(fixed_name_, text_)) return false;
            entry_ = engine_.names().find(text_);
        }
        if (!check_sequence(regions, "regions")) return false;
        items_ = Ref::steal(PySequence_Tuple(regions));
        return static_cast<bool>(items_);
    }

    std::size_t count() const { return static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get())); }
    // The record of the (start, end) form, when it is in the table.
    const IndexEntry* fixed_entry() const { return entry_; }
    std::string_view fixed_text() const { return text_; }

    bool read(std::size_t i, Region& out) {
        PyObject* item = PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(i));
        const Py_ssize_t width = fixed_name_ ? 2 : 3;
        if (!check_tuple(item, width, "regions")) return false;
        PyObject* name = fixed_name_;
        if (!fixed_name_) {
            name = PyTuple_GET_ITEM(item, 0);
            // Regions from a BED file come in runs of one name: each run is looked up once.
            if (name != last_name_) {
                if (!to_text(name, "regions", text_)) return false;
                entry_ = engine_.names().find(text_);
                last_name_ = name;
            }
        }
        out.name = name;
        out.text = text_;
        out.entry = entry_;
        return to_u64(PyTuple_GET_ITEM(item, width - 2), "regions", out.start) &&
               to_u64(PyTuple_GET_ITEM(item, width - 1), "regions", out.end);
    }

    // Reads every region and keeps nothing: for errors that only count when the regions have none.
    bool read_all() {
        Region r;
        for (std::size_t i = 0; i < count(); ++i)
            if (!read(i, r)) return false;
        return true;
    }

private:
    const Engine& engine_;
    PyObject* fixed_name_;
    Ref items_;
    PyObject* last_name_ = nullptr;
    std::string_view text_;
    const IndexEntry* entry_ = nullptr;
};

// Turns a fetched region into its reverse complement in place. Bytes that are not ASCII are
// left alone so that building the host string reports them instead of hiding them as N.
void reverse_complement_region(FetchedRegion& region, char* data) {
    auto length = static_cast<std::size_t>(region.length);
    if (data && (region.ascii || is_ascii(data, length))) {
        reverse_complement_in_place(data, length);
        region.ascii = true;
    }
    region.coords = swapped(region.coords);
}

// Below the threshold: every region read first, then fetched in order, first failure raised.
PyObject* fetch_sequentially(const Engine& engine, RegionReader& reader, bool reverse_complement) {
    const std::size_t count = reader.count();
    std::vector<Region> regions(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!reader.read(i, regions[i])) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const Region& r = regions[i];
        StrOutput out;
        RegionResult result = fetch_into(engine, r.text, r.start, r.end, out);
        if (result.ok() && reverse_complement) reverse_complement_region(result.value(), out.data());
        PyObject* seq = region_to_host(std::move(result), out, r.name, r.text, reverse_complement);
        if (!seq) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), seq);
    }
    return list.release();
}

[[gnu::cold]] PyObject* raise_batch_failure(BatchFailure& failure, PyObject* fixed_name) {
    switch (failure.kind) {
        case BatchFailure::Kind::NoMemory:
            return PyErr_NoMemory();
        case BatchFailure::Kind::Worker:
            return raise_text(PyExc_RuntimeError, "a batch worker failed: " + failure.message);
        case BatchFailure::Kind::Region:
            break;
    }
    std::string message = "Error fetching region " + std::to_string(failure.position);
    if (fixed_name) {
        std::string_view name;
        utf8_view(fixed_name, name);
        message += " from ";
        message.append(name);
    }
    message += ": " + failure.error.display();
    return raise_text(PyExc_RuntimeError, message);
}

// The values of a parallel batch, released unless handed out as a list.
class Values {
public:
    explicit Values(std::size_t count) : items_(count, nullptr) {}
    ~Values() {
        for (PyObject* o : items_) Py_XDECREF(o);
    }
    PyObject*& operator[](std::size_t i) { return items_[i]; }
    PyObject* to_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < items_.size(); ++i)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), std::exchange(items_[i], nullptr));
        return list;
    }

private:
    std::vector<PyObject*> items_;
};

// From the threshold on. Where the host lets bases be written into a new str before anyone sees
// it, each region's str and Sequence are made while it is planned and the workers write straight
// into the str; elsewhere the workers write into one arena and the strings are made afterwards.
PyObject* fetch_in_parallel(const Engine& engine, RegionReader& reader, PyObject* fixed_name,
                            bool reverse_complement) {
    const std::size_t count = reader.count();
    std::vector<Region> regions(count);
    std::vector<BatchItem> items(count);
    Values values(count);
    BatchFetch fetch(engine, items.data(), count, reverse_complement);
    struct Abandon {  // whatever happens, no worker writes into a home that is about to go
        BatchFetch& fetch;
        bool armed = true;
        ~Abandon() {
            if (armed) fetch.abandon();
        }
    } abandon{fetch};
    std::size_t limit = count;  // regions past the first one the plan refuses do not matter
#ifdef PYPY_VERSION
    std::uint64_t total = 0;
#endif
    for (std::size_t i = 0; i < count; ++i) {
        Region& r = regions[i];
        if (!reader.read(i, r)) return nullptr;
        if (i >= limit) continue;
        BatchItem& item = items[i];
        if (!plan_batch_item(engine, fetch.source(), r.entry, r.start, r.end, item)) return PyErr_NoMemory();
        if (item.plan.kind == RegionPlan::Kind::Error) {
            limit = i + 1;
            continue;
        }
        Coords coords = reverse_complement ? swapped(item.coords) : item.coords;
#ifdef PYPY_VERSION
        (void)coords;
        if (__builtin_add_overflow(total, item.capacity, &total)) return PyErr_NoMemory();
#else
        if (item.capacity > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(item.capacity), 127);
        if (!text) return nullptr;
        item.out = static_cast<char*>(PyUnicode_DATA(text));
        if (!(values[i] = new_sequence(r.name, text, coords, reverse_complement))) return nullptr;
        if ((i + 1) % PUBLISH_EVERY == 0) fetch.publish(i + 1);
#endif
    }
#ifdef PYPY_VERSION
    Arena arena;
    if (total > static_cast<std::uint64_t>(PTRDIFF_MAX)) return PyErr_NoMemory();
    arena = Arena(total);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        items[i].out = arena.data() + offset;
        offset += items[i].capacity;
    }
#endif
    if (fixed_name && !reader.fixed_entry()) {  // unknown record: one plain error, before any fetch
        raise_faidx_error(not_found_error(reader.fixed_text()));
        return nullptr;
    }
    std::optional<BatchFailure> failure;
    abandon.armed = false;
    Py_BEGIN_ALLOW_THREADS
    failure = fetch.finish(limit, [&](std::size_t i) { return regions[i].text; },
                           [&](std::size_t i) { return std::pair(regions[i].start, regions[i].end); });
    Py_END_ALLOW_THREADS
    if (failure) return raise_batch_failure(*failure, fixed_name);

    for (std::size_t i = 0; i < count; ++i) {
        BatchItem& item = items[i];
        auto length = static_cast<std::size_t>(item.length);
        if (!item.ascii && !is_ascii(item.out, length)) return fetched_str(item.out, length, regions[i].text);
#ifdef PYPY_VERSION
        Coords coords = reverse_complement ? swapped(item.coords) : item.coords;
        PyObject* text = item.out ? ascii_str(item.out, length) : ascii_str("", 0);
        if (!text || !(values[i] = new_sequence(regions[i].name, text, coords, reverse_complement))) return nullptr;
#else
        // Short files and padding that did not happen leave room unused.
        if (item.length != item.capacity && !shrink_sequence_text(values[i], static_cast<Py_ssize_t>(item.length)))
            return nullptr;
#endif
    }
    return values.to_list();
}

}  // namespace

PyObject* fetch_regions(const Engine& engine, PyObject* regions, PyObject* fixed_name, PyObject* rc_given) {
    RegionReader reader(engine, fixed_name);
    if (!reader.open(regions)) return nullptr;
    bool rc = false;
    if (!to_optional_bool(rc_given, "rc", rc)) {
        // The regions come first in the signature: their errors win.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!reader.read_all()) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            return nullptr;
        }
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (reader.count() == 0) return PyList_New(0);
    if (reader.count() < PARALLEL_THRESHOLD) {
        if (fixed_name && !reader.fixed_entry()) {
            if (!reader.read_all()) return nullptr;
            raise_faidx_error(not_found_error(reader.fixed_text()));
            return nullptr;
        }
        return fetch_sequentially(engine, reader, rc);
    }
    return fetch_in_parallel(engine, reader, fixed_name, rc);
}

namespace {

constexpr const char* FASTA_PARAMS[] = {"regions", "heads", "names", "starts", "ends", "width", "sep", "rc", "table"};

// The complement a caller gives as 256 bytes, or the Sequence complement.
bool read_complement(PyObject* table, std::array<unsigned char, 256>& out) {
    if (!table || table == Py_None) {
        out = COMPLEMENT_TABLE;
        return true;
    }
    if (!PyBytes_Check(table) || PyBytes_GET_SIZE(table) != 256) {
        PyErr_SetString(PyExc_ValueError, "argument 'table': expected 256 bytes, the complement of each byte value");
        return false;
    }
    std::memcpy(out.data(), PyBytes_AS_STRING(table), 256);
    return true;
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
    std::int64_t width = 0;
    if (slot[5] && !to_i64(slot[5], "width", width)) return nullptr;
    if (width < 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'width': expected 0 (one line) or a positive number of bases");
        return nullptr;
    }
    layout.width = static_cast<std::uint64_t>(width);
    layout.sep = "\n";
    if (slot[6] && !to_text(slot[6], "sep", layout.sep)) return nullptr;
    if (!read_complement(slot[8], layout.complement)) return nullptr;
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
    std::vector<TextRegion> text(n);
    for (std::size_t i = 0; i < n; ++i) {
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
    TextJob job(engine, std::move(text), layout);
    std::optional<ArrayFailure> failure;
    Py_BEGIN_ALLOW_THREADS
    failure = job.read();
    Py_END_ALLOW_THREADS
    if (failure) return raise_fill_failure(*failure);
    if (job.size() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
#ifdef PYPY_VERSION
    std::string out(static_cast<std::size_t>(job.size()), '\0');
    Py_BEGIN_ALLOW_THREADS
    job.write(out.data());
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
#else
    // The text goes straight into the bytes object, which nobody can see before it is returned.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(job.size()));
    if (!bytes) return nullptr;
    char* out = PyBytes_AS_STRING(bytes);
    Py_BEGIN_ALLOW_THREADS
    job.write(out);
    Py_END_ALLOW_THREADS
    return bytes;
#endif
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

}  // namespace sekva::host
