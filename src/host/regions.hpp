// Reading the caller's regions, for every bulk method: (name, start, end) tuples, (start, end) pairs
// of one record given apart, or names, starts and ends as separate columns (numpy and pandas
// columns read without an object per element); and per-region strands.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "host/args.hpp"
#include "host/ref.hpp"

namespace sekva::host {

// One region as the caller gave it. Int is std::uint64_t where a negative position is refused as
// the integer converts (batches, spliced intervals), std::int64_t where it is checked later (arrays,
// record text).
template <class Int>
struct RegionItem {
    PyObject* name = nullptr;            // borrowed from the reader's snapshot, or the record given apart
    std::string_view text;               // its UTF-8 form; empty where it has none
    const IndexEntry* entry = nullptr;   // its record; nullptr when no record has that name
    Int start = 0, end = 0;
    bool absent = false;                 // None in place of the region
};

// Looks names up once for each run of one name object: regions of one record come in runs (a BED
// file's do).
class NameLookup {
public:
    // A name with no UTF-8 form (a lone surrogate) is refused with the encoder's error where
    // `refuse_unencodable`, else taken as naming no record.
    NameLookup(const Engine& engine, const char* param, bool refuse_unencodable)
        : engine_(engine), param_(param), refuse_unencodable_(refuse_unencodable) {}
    bool find(PyObject* name) { return name == last_ || look_up(name); }
    // Of the name last found.
    std::string_view text() const { return text_; }
    const IndexEntry* entry() const { return entry_; }

private:
    bool look_up(PyObject* name);

    const Engine& engine_;
    const char* param_;
    bool refuse_unencodable_;
    PyObject* last_ = nullptr;
    std::string_view text_;
    const IndexEntry* entry_ = nullptr;
};

// Reads the items of a `regions` argument one at a time, from a tuple of the caller's items taken
// once: an item's __index__, or another thread while the lock is released, may clear the caller's
// list as it is read, and nothing of the snapshot can go meanwhile.
class RegionReader {
public:
    struct Form {
        const char* param = "regions";   // named in conversion errors
        bool refuse_unencodable = false;  // see NameLookup
        bool none_allowed = false;        // None may stand for a region
    };

    RegionReader(const Engine& engine, Form form)
        : names_(engine, form.param, form.refuse_unencodable), param_(form.param), none_allowed_(form.none_allowed) {}

    // (name, start, end) items.
    bool open(PyObject* regions);
    // (start, end) items, all of `record` (a str), or of no record in particular where it is nullptr.
    bool open_pairs(PyObject* pairs, PyObject* record);

    std::size_t count() const { return static_cast<std::size_t>(PyTuple_GET_SIZE(items_.get())); }
    // The snapshot, which owns every name an item refers to.
    const Ref& items() const { return items_; }
    // The record given to open_pairs, when it is in the table.
    const IndexEntry* record_entry() const { return names_.entry(); }
    std::string_view record_text() const { return names_.text(); }

    // Item i, converted; false with the host error set.
    template <class Int>
    bool read(std::size_t i, RegionItem<Int>& out);

private:
    NameLookup names_;
    const char* param_;
    bool none_allowed_;
    Ref items_;
    PyObject* record_ = nullptr;
    Py_ssize_t width_ = 3;
};

// An integer argument as a signed 64-bit value.
bool to_i64(PyObject* o, const char* param, std::int64_t& out);

template <class Int>
bool RegionReader::read(std::size_t i, RegionItem<Int>& out) {
    static_assert(std::is_same_v<Int, std::uint64_t> || std::is_same_v<Int, std::int64_t>);
    PyObject* item = PyTuple_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(i));
    if (none_allowed_ && item == Py_None) {
        out = RegionItem<Int>{};
        out.name = Py_None;
        out.absent = true;
        return true;
    }
    if (!check_tuple(item, width_, param_)) return false;
    PyObject* name = record_;
    if (width_ == 3) {
        name = PyTuple_GET_ITEM(item, 0);
        if (!names_.find(name)) return false;
    }
    out.name = name;
    out.text = names_.text();
    out.entry = names_.entry();
    out.absent = false;
    auto convert = [&](PyObject* o, Int& v) {
        if constexpr (std::is_same_v<Int, std::uint64_t>)
            return to_u64(o, param_, v);
        else
            return to_i64(o, param_, v);
    };
    return convert(PyTuple_GET_ITEM(item, width_ - 2), out.start) && convert(PyTuple_GET_ITEM(item, width_ - 1), out.end);
}

struct Regions {
    std::vector<Window> windows;        // entry and first position; first = start until widths are settled
    std::vector<std::int64_t> starts, ends;
    std::vector<PyObject*> names;       // borrowed from `keep`, for messages
    std::vector<bool> absent;           // None in place of a region (where allowed)
    Ref keep;
    std::size_t count() const { return starts.size(); }
    void resize(std::size_t n) {
        windows.resize(n);
        starts.resize(n);
        ends.resize(n);
        names.resize(n);
        absent.resize(n);
    }
};

// Reads `regions`, or names/starts/ends, checking each in input order: a known record (KeyError) and
// a start no greater than the end (ValueError), naming the region by its position. With
// `allow_absent`, None may stand for a region in `regions`.
bool read_regions(const Engine& engine, PyObject* regions, PyObject* names, PyObject* starts, PyObject* ends,
                  Regions& out, bool allow_absent = false);
// rc: None or False (no region), True (every region), or one item per region: a bool, "+" or "-".
bool read_strands(PyObject* rc, Regions& regions);
// The same for `n` items of another kind (`kind` in messages), each told to `set`.
bool read_strands(PyObject* rc, std::size_t n, const char* kind, const std::function<void(std::size_t, bool)>& set);

// The columns of fetch_variants, read and checked in input order; rows point into the texts the
// column snapshots keep alive.
struct Variants {
    std::vector<VariantRow> rows;
    Ref names;
    class Column {
    public:
        bool open(PyObject* o, const char* param);
        std::size_t size() const;
        bool get(std::size_t i, std::string_view& out) const;
    private:
        const char* param_ = "";
        Ref items_;
    } refs, alts;
    std::size_t count() const { return rows.size(); }
};
// `names` Py_None: the variants' records are the caller's to set (rows[i].entry stays null).
bool read_variants(const Engine& engine, PyObject* names, PyObject* positions, PyObject* refs, PyObject* alts,
                   Variants& out);
// CSR offsets of `items` items into `rows` rows: rows + 1 integers from 0 to `items`, never decreasing.
bool read_offsets(PyObject* o, const char* param, std::size_t rows, std::size_t items, std::vector<std::size_t>& out);
// The items a sequence holds now, as a tuple the caller's code cannot change: an item's __index__,
// or another thread while the lock is released, may clear the caller's list as it is read.
inline Ref snapshot(PyObject* sequence) { return Ref::steal(PySequence_Tuple(sequence)); }
// Raises what a fill on the workers (arrays, record text) failed with; returns nullptr.
[[gnu::cold]] PyObject* raise_fill_failure(JobFailure& failure);
// ValueError (or `type`) "region {i}: {what}".
[[gnu::cold]] bool bad_region(PyObject* type, std::size_t i, const std::string& what);
// `type` "{item} {i}: {what}".
[[gnu::cold]] bool bad_item(PyObject* type, const char* item, std::size_t i, const std::string& what);

}  // namespace sekva::host
