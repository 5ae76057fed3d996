// Reading the caller's regions (tuples, pairs of one record, columns) and strands, checked in one pass.
#include "host/regions.hpp"

#include <array>
#include <cstring>
#include <utility>

#include "host/args.hpp"
#include "host/entry.hpp"
#include "host/errors.hpp"
#include "host/exceptions.hpp"
#include "host/lock_turns.hpp"

namespace sekva::host {

namespace {

// A column of integers: any buffer of integers (numpy arrays of any integer type), read without an
// object per element; anything numpy can turn into one (a pandas column); or a sequence of ints.
class IntColumn {
public:
    ~IntColumn() {
        if (has_view_) PyBuffer_Release(&view_);
    }

    bool open(PyObject* o, const char* param) {
        param_ = param;
        Ref array;
        if (!PyObject_CheckBuffer(o) && !PyList_Check(o) && !PyTuple_Check(o) && PyObject_HasAttrString(o, "__array__")) {
            Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
            if (!numpy) return false;
            array = Ref::steal(PyObject_CallMethod(numpy.get(), "asarray", "O", o));
            if (!array) return false;
            o = array.get();
        }
        if (PyObject_CheckBuffer(o)) {
            if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) return false;
            has_view_ = true;
            keep_ = std::move(array);
            return check_format();
        }
        if (!check_sequence(o, param)) return false;
        items_ = snapshot(o);
        return static_cast<bool>(items_);
    }

    std::size_t size() const {
        if (has_view_) return static_cast<std::size_t>(view_.shape[0]);
        return static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get()));
    }

    bool get(std::size_t i, std::int64_t& out) const {
        if (!has_view_) return to_i64(PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(i)), param_, out);
        const char* p = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
        switch (kind_) {
            case 'b': out = *reinterpret_cast<const signed char*>(p); return true;
            case 'B': out = *reinterpret_cast<const unsigned char*>(p); return true;
            case 'h': out = load<short>(p); return true;
            case 'H': out = load<unsigned short>(p); return true;
            case 'i': out = load<int>(p); return true;
            case 'I': out = load<unsigned int>(p); return true;
            case 'l': out = load<long>(p); return true;
            case 'q': out = load<long long>(p); return true;
            case 'n': out = load<Py_ssize_t>(p); return true;
            default: {  // unsigned 64-bit
                unsigned long long v = load<unsigned long long>(p);
                if (v > static_cast<unsigned long long>(INT64_MAX)) {
                    PyErr_Format(PyExc_OverflowError, "%s[%zu] is too large", param_, i);
                    return false;
                }
                out = static_cast<std::int64_t>(v);
                return true;
            }
        }
    }

    static bool to_i64(PyObject* o, const char* param, std::int64_t& out) {
        Ref index = Ref::steal(PyNumber_Index(o));
        if (!index) return fail_argument(param);
        long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) return fail_argument(param);
        out = v;
        return true;
    }

private:
    template <class T>
    static T load(const char* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    bool check_format() {
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "argument '%s': expected a one-dimensional array, not one of %d dimensions",
                         param_, view_.ndim);
            return false;
        }
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if ( !*f || f[1] || !std::strchr("bBhHiIlLqQnN", *f)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional array of integers", param_);
            return false;
        }
        kind_ = *f == 'L' || *f == 'Q' || *f == 'N' ? 'Q' : *f;
        return true;
    }

    const char* param_ = "";
    Py_buffer view_{};
    bool has_view_ = false;
    char kind_ = 'q';
    Ref keep_, items_;
};

[[gnu::cold]] bool unknown_record(std::size_t i, PyObject* name, const char* item = "region") {
    Ref message = Ref::steal(PyUnicode_FromFormat("%s %zu: Sequence '%U' not found", item, i, name));
    if (message) PyErr_SetObject(exception_class(ErrorKind::Fetch), message.get());
    return false;
}

}  // namespace

bool bad_region(PyObject* type, std::size_t i, const std::string& what) { return bad_item(type, "region", i, what); }

bool bad_item(PyObject* type, const char* item, std::size_t i, const std::string& what) {
    raise_text(type, std::string(item) + " " + std::to_string(i) + ": " + what);
    return false;
}

PyObject* raise_fill_failure(JobFailure& failure) {
    switch (failure.kind) {
        case JobFailure::Kind::NoMemory:
            return PyErr_NoMemory();
        case JobFailure::Kind::Worker:
            return raise_text(PyExc_RuntimeError, "a batch worker failed: " + failure.message);
        case JobFailure::Kind::Item:
            break;
    }
    raise_faidx_error(failure.error);
    return nullptr;
}

bool to_i64(PyObject* o, const char* param, std::int64_t& out) { return IntColumn::to_i64(o, param, out); }

bool NameLookup::look_up(PyObject* name) {
    if (refuse_unencodable_) {
        if (!to_text(name, param_, text_)) return false;
        entry_ = engine_.names().find(text_);
    } else {
        std::optional<std::string_view> text;
        if (!to_lookup_text(name, param_, text)) return false;
        text_ = text.value_or(std::string_view());
        entry_ = text ? engine_.names().find(*text) : nullptr;
    }
    last_ = name;
    return true;
}

bool RegionReader::open(PyObject* regions) {
    if (!check_sequence(regions, param_)) return false;
    items_ = snapshot(regions);
    return static_cast<bool>(items_);
}

bool RegionReader::open_pairs(PyObject* pairs, PyObject* record) {
    width_ = 2;
    record_ = record;
    if (record && !names_.find(record)) return false;
    return open(pairs);
}


bool read_regions(const Engine& engine, PyObject* regions, PyObject* names, PyObject* starts, PyObject* ends,
                  Regions& out, bool allow_absent) {
    bool columns = names || starts || ends;
    if (regions && regions != Py_None) {
        if (columns) {
            PyErr_SetString(PyExc_TypeError, "give either regions or names=, starts= and ends=, not both");
            return false;
        }
        RegionReader reader(engine, {"regions", false, allow_absent});
        if (!reader.open(regions)) return false;
        out.keep = Ref::borrow(reader.items().get());
        const std::size_t n = reader.count();
        without_lock([&] { out.resize(n); });
        LockTurns turns;
        RegionItem<std::int64_t> r;
        for (std::size_t i = 0; i < n; ++i) {
            turns.step();
            if (!reader.read(i, r)) return false;
            out.names[i] = r.name;
            out.absent[i] = r.absent;
            out.windows[i].entry = r.entry;
            out.starts[i] = r.start;
            out.ends[i] = r.end;
        }
    } else {
        if (!names || !starts || !ends) {
            PyErr_SetString(PyExc_TypeError, "give regions, or all of names=, starts= and ends=");
            return false;
        }
        if (!check_sequence(names, "names")) return false;
        out.keep = snapshot(names);
        IntColumn first, last_col;
        if (!out.keep || !first.open(starts, "starts") || !last_col.open(ends, "ends")) return false;
        const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(out.keep.get()));
        if (first.size() != n || last_col.size() != n) {
            PyErr_Format(PyExc_ValueError, "names, starts and ends have different lengths (%zu, %zu, %zu)", n,
                         first.size(), last_col.size());
            return false;
        }
        without_lock([&] { out.resize(n); });
        NameLookup lookup(engine, "names", false);
        LockTurns turns;
        for (std::size_t i = 0; i < n; ++i) {
            turns.step();
            PyObject* name = PyTuple_GET_ITEM(out.keep.get(), static_cast<Py_ssize_t>(i));
            out.names[i] = name;
            if (!lookup.find(name) || !first.get(i, out.starts[i]) || !last_col.get(i, out.ends[i])) return false;
            out.windows[i].entry = lookup.entry();
        }
    }
    for (std::size_t i = 0; i < out.count(); ++i) {
        if (out.absent[i]) continue;
        if (!out.windows[i].entry) return unknown_record(i, out.names[i]);
        if (out.starts[i] > out.ends[i])
            return bad_region(PyExc_ValueError, i,
                              "start " + std::to_string(out.starts[i]) + " is greater than end " +
                                  std::to_string(out.ends[i]));
        out.windows[i].first = out.starts[i];
    }
    return true;
}

bool read_strands(PyObject* rc, Regions& regions) {
    return read_strands(rc, regions.count(), "regions", [&](std::size_t i, bool reverse) { regions.windows[i].reverse = reverse; });
}

bool read_strands(PyObject* rc, std::size_t n, const char* kind, const std::function<void(std::size_t, bool)>& set) {
    bool every = false;
    if (!rc || rc == Py_None || rc == Py_False || rc == Py_True || is_numpy_bool(rc)) {
        if (rc && rc != Py_None && !to_bool(rc, "rc", every)) return false;
        for (std::size_t i = 0; i < n; ++i) set(i, every);
        return true;
    }
    if (!check_sequence(rc, "rc")) return false;
    Ref items = snapshot(rc);
    if (!items) return false;
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != n) {
        PyErr_Format(PyExc_ValueError, "rc has %zd items for %zu %s", PyTuple_GET_SIZE(items.get()), n, kind);
        return false;
    }
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        PyObject* item = PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        bool reverse = false;
        if (PyUnicode_Check(item)) {
            if (PyUnicode_CompareWithASCIIString(item, "-") == 0) {
                reverse = true;
            } else if (PyUnicode_CompareWithASCIIString(item, "+") != 0 && PyUnicode_CompareWithASCIIString(item, ".") != 0) {
                // '.' is a BED line's "no strand" (narrowPeak writes it): read forward.
                Ref shown = Ref::steal(PyObject_Repr(item));
                PyErr_Format(PyExc_ValueError, "rc[%zu]: expected a bool, '+', '-' or '.', got %S", i, shown.get());
                return false;
            }
        } else if (!to_bool(item, "rc", reverse)) {
            PyErr_Clear();
            Ref shown = Ref::steal(PyObject_Repr(item));
            PyErr_Format(PyExc_ValueError, "rc[%zu]: expected a bool, '+', '-' or '.', got %S", i, shown ? shown.get() : item);
            return false;
        }
        set(i, reverse);
    }
    return true;
}

namespace {

// An allele the windows can hold: IUPAC letters, either case (not '<DEL>', '*', '.', or nothing).
bool sequence_allele(std::string_view allele) {
    static constexpr auto letters = [] {
        std::array<bool, 256> table{};
        for (char c : std::string_view("ACGTURYSWKMBDHVNacgturyswkmbdhvn")) table[static_cast<unsigned char>(c)] = true;
        return table;
    }();
    bool ok = !allele.empty();
    for (char c : allele) ok &= letters[static_cast<unsigned char>(c)];
    return ok;
}

}  // namespace

// A column of texts (str, or bytes): a tuple of its items taken once, which keeps them alive.
bool Variants::Column::open(PyObject* o, const char* param) {
    param_ = param;
    if (!check_sequence(o, param)) return false;
    items_ = snapshot(o);
    return static_cast<bool>(items_);
}

std::size_t Variants::Column::size() const { return static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get())); }

bool Variants::Column::get(std::size_t i, std::string_view& out) const {
    PyObject* item = PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(i));
    if (PyBytes_Check(item)) {
        out = std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
        return true;
    }
    if (PyUnicode_Check(item) && utf8_view(item, out)) return true;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s[%zu]: expected str or bytes, got %.200s", param_, i, Py_TYPE(item)->tp_name);
    return false;
}

bool read_variants(const Engine& engine, PyObject* names, PyObject* positions, PyObject* refs, PyObject* alts,
                   Variants& out) {
    const bool named = names != Py_None;
    if (!names || !positions || !refs || !alts) {
        PyErr_SetString(PyExc_TypeError, named ? "give all of names=, positions=, refs= and alts="
                                               : "give all of variant_offsets=, positions=, refs= and alts=");
        return false;
    }
    IntColumn pos;
    if (!pos.open(positions, "positions") || !out.refs.open(refs, "refs") || !out.alts.open(alts, "alts")) return false;
    const std::size_t n = pos.size();
    if (named) {
        if (!check_sequence(names, "names") || !(out.names = snapshot(names))) return false;
        const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(out.names.get()));
        if (count != n || out.refs.size() != n || out.alts.size() != n) {
            PyErr_Format(PyExc_ValueError, "names, positions, refs and alts have different lengths (%zu, %zu, %zu, %zu)",
                         count, n, out.refs.size(), out.alts.size());
            return false;
        }
    } else if (out.refs.size() != n || out.alts.size() != n) {
        PyErr_Format(PyExc_ValueError, "positions, refs and alts have different lengths (%zu, %zu, %zu)", n,
                     out.refs.size(), out.alts.size());
        return false;
    }
    without_lock([&] { out.rows.resize(n); });
    NameLookup lookup(engine, "names", false);
    LockTurns turns;
    for (std::size_t i = 0; i < n; ++i) {
        turns.step();
        VariantRow& row = out.rows[i];
        if (!pos.get(i, row.pos) || !out.refs.get(i, row.ref) || !out.alts.get(i, row.alt)) return false;
        row.entry = nullptr;
        if (named) {
            PyObject* name = PyTuple_GET_ITEM(out.names.get(), static_cast<Py_ssize_t>(i));
            if (!lookup.find(name)) return false;
            if (!(row.entry = lookup.entry())) return unknown_record(i, name, "variant");
        }
        // Far from the ends of 64-bit positions, so that no window arithmetic overflows.
        if (row.pos < 1 || row.pos > (INT64_C(1) << 62))
            return bad_item(PyExc_ValueError, "variant", i, "position " + std::to_string(row.pos) + " is not a VCF POS (1 or more)");
        if (!sequence_allele(row.ref) || !sequence_allele(row.alt)) [[unlikely]] {
            const bool ref = !sequence_allele(row.ref);
            return bad_item(PyExc_ValueError, "variant", i,
                            std::string(ref ? "REF '" : "ALT '") + std::string(ref ? row.ref : row.alt) +
                                "' is not a sequence of IUPAC letters (symbolic alleles are not applied)");
        }
    }
    return true;
}

bool read_offsets(PyObject* o, const char* param, std::size_t rows, std::size_t items, std::vector<std::size_t>& out) {
    IntColumn column;
    if (!column.open(o, param)) return false;
    if (column.size() != rows + 1) {
        PyErr_Format(PyExc_ValueError, "%s has %zu items for %zu rows; expected %zu (one more than the rows)", param,
                     column.size(), rows, rows + 1);
        return false;
    }
    out.resize(rows + 1);
    std::int64_t previous = 0;
    for (std::size_t i = 0; i <= rows; ++i) {
        std::int64_t v = 0;
        if (!column.get(i, v)) return false;
        if ((i == 0 && v != 0) || v < previous || (i == rows && static_cast<std::uint64_t>(v) != items)) {
            PyErr_Format(PyExc_ValueError,
                         "%s[%zu] is %lld: offsets start at 0, never decrease and end at the number of variants (%zu)",
                         param, i, static_cast<long long>(v), items);
            return false;
        }
        out[i] = static_cast<std::size_t>(v);
        previous = v;
    }
    return true;
}

}  // namespace sekva::host
