// Batch fetches from the host side. Below the threshold, region after region through the checked
// fetch, with its warnings. From the threshold on, one pass reads, plans and gives each region its
// final home while the workers already copy the regions planned before it; then, with the
// interpreter lock released, the calling thread helps finish the copy.
#include "host/batch.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "engine/bulk/batch.hpp"
#include "engine/base/bytes.hpp"
#include "engine/fetch/sequence.hpp"
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/engine_warnings.hpp"
#include "host/entry.hpp"
#include "host/regions.hpp"
#include "host/errors.hpp"
#include "host/exceptions.hpp"
#include "host/interp.hpp"
#include "host/lock_turns.hpp"
#include "host/ref.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"

namespace sekva::host {

namespace {

// How many regions are planned before the workers hear of them.
constexpr std::size_t PUBLISH_EVERY = 512;

using Region = RegionItem<std::uint64_t>;

// Reads every region and keeps nothing: for errors that only count when the regions have none.
bool read_all(RegionReader& reader) {
    Region r;
    for (std::size_t i = 0; i < reader.count(); ++i)
        if (!reader.read(i, r)) return false;
    return true;
}

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
// The warnings of all regions are issued in their order once the fetches are done.
PyObject* fetch_sequentially(const Engine& engine, RegionReader& reader, bool reverse_complement) {
    const std::size_t count = reader.count();
    std::vector<Region> regions(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!reader.read(i, regions[i])) return nullptr;
    PendingList values;
    values.resize(count);
    OneByOneStaging staging(engine, count, [&](std::size_t i) {
        return OneByOneStaging::Request{regions[i].entry, regions[i].start, regions[i].end};
    });
    return with_engine_warnings(engine, [&]() -> PyObject* {
        LockTurns turns(1);  // a region may take a millisecond to copy
        for (std::size_t i = 0; i < count; ++i) {
            turns.step();
            if (staging.starts_round(i)) without_lock([&] { staging.round(i); });
            const Region& r = regions[i];
            StrOutput out;
            RegionResult result = fetch_into(engine, r.text, r.start, r.end, out);
            if (result.ok() && reverse_complement) reverse_complement_region(result.value(), out.data());
            PyObject* seq = region_to_host(std::move(result), out, r.name, r.text, reverse_complement);
            if (!(values[i] = seq)) return nullptr;
        }
        return values.to_list();
    });
}

// "Error fetching region {i}[ from {name}]: {error}" is kept for compatibility (tests pin it).
[[gnu::cold]] PyObject* raise_batch_failure(JobFailure& failure, PyObject* fixed_name) {
    if (failure.kind != JobFailure::Kind::Item) return raise_fill_failure(failure);
    std::string message = "Error fetching region " + std::to_string(failure.index);
    if (fixed_name) {
        std::string_view name;
        utf8_view(fixed_name, name);
        message += " from ";
        message.append(name);
    }
    message += ": " + failure.error.display();
    return raise_caused_by(PyExc_RuntimeError, message, failure.error);
}

// Where text is not written in place: the items [0, planned) get their homes in one arena, each
// its own slice. False when no memory could hold them all.
bool give_arena_homes(BatchItem* items, std::size_t planned, Arena& arena) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < planned; ++i)
        if (__builtin_add_overflow(total, items[i].capacity, &total)) return false;
    if (total > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
    arena = without_lock([&] { return Arena(total); });  // its pages are made present up front
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < planned; ++i) {
        items[i].out = arena.data() + offset;
        offset += items[i].capacity;
    }
    return true;
}

// From the threshold on. Where TEXT_WRITTEN_IN_PLACE, each region's str and Sequence are made while
// it is planned and the workers write straight into the str; elsewhere the workers write into one
// arena and the strings are made afterwards.
PyObject* fetch_in_parallel(const Engine& engine, RegionReader& reader, PyObject* fixed_name,
                            bool reverse_complement) {
    LockTurns turns;
    const std::size_t count = reader.count();
    std::vector<Region> regions;
    std::vector<BatchItem> items;
    PendingList values;
    // Some 120 bytes a region: for a million regions, pages that take milliseconds to make.
    without_lock([&] {
        regions.resize(count);
        items.resize(count);
        values.resize(count);
    });
    BatchFetch fetch(engine, items.data(), count, reverse_complement);
    struct Abandon {  // whatever happens, no worker writes into a home that is about to go
        BatchFetch& fetch;
        bool armed = true;
        ~Abandon() {
            if (armed) without_lock([&] { fetch.abandon(); });
        }
    } abandon{fetch};
    std::size_t limit = count;  // regions past the first one the plan refuses do not matter
    for (std::size_t i = 0; i < count; ++i) {
        turns.step();  // the items before i are planned, and their values made
        Region& r = regions[i];
        if (!reader.read(i, r)) return nullptr;
        if (i >= limit) continue;
        BatchItem& item = items[i];
        if (!plan_batch_item(engine, fetch.source(), r.entry, r.start, r.end, item)) return PyErr_NoMemory();
        if (item.plan.kind == RegionPlan::Kind::Error) {
            limit = i + 1;
            continue;
        }
        if constexpr (TEXT_WRITTEN_IN_PLACE) {
            if (item.capacity > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
            PyObject* text = new_str_to_fill(static_cast<Py_ssize_t>(item.capacity), item.out);
            if (!text) return nullptr;
            Coords coords = reverse_complement ? swapped(item.coords) : item.coords;
            if (!(values[i] = new_sequence(r.name, text, coords, reverse_complement))) return nullptr;
            if ((i + 1) % PUBLISH_EVERY == 0) fetch.publish(i + 1);
        }
    }
    Arena arena;
    if (!TEXT_WRITTEN_IN_PLACE && !give_arena_homes(items.data(), limit, arena)) return PyErr_NoMemory();
    if (fixed_name && !reader.record_entry()) {  // unknown record: one plain error, before any fetch
        raise_faidx_error(not_found_error(reader.record_text()));
        return nullptr;
    }
    abandon.armed = false;
    std::optional<JobFailure> failure = without_lock([&] {
        return fetch.finish(limit, [&](std::size_t i) { return regions[i].text; },
                            [&](std::size_t i) { return std::pair(regions[i].start, regions[i].end); });
    });
    if (failure) return raise_batch_failure(*failure, fixed_name);

    for (std::size_t i = 0; i < count; ++i) {
        turns.step();
        BatchItem& item = items[i];
        auto length = static_cast<std::size_t>(item.length);
        if (!item.ascii && !is_ascii(item.out, length)) return fetched_str(item.out, length, regions[i].text);
        if constexpr (TEXT_WRITTEN_IN_PLACE) {
            // Short files and padding that did not happen leave room unused.
            if (item.length != item.capacity && !shrink_sequence_text(values[i], static_cast<Py_ssize_t>(length)))
                return nullptr;
        } else {
            Coords coords = reverse_complement ? swapped(item.coords) : item.coords;
            PyObject* text = item.out ? ascii_str(item.out, length) : ascii_str("", 0);
            if (!text || !(values[i] = new_sequence(regions[i].name, text, coords, reverse_complement)))
                return nullptr;
        }
    }
    PyObject* list = values.to_list();
    free_without_lock(regions, items);
    return list;
}

}  // namespace

PyObject* fetch_regions(const Engine& engine, PyObject* regions, PyObject* fixed_name, PyObject* rc_given) {
    // A name with no UTF-8 form is refused: the sequential path fetches by the name's text.
    RegionReader reader(engine, {"regions", true, false});
    if (!(fixed_name ? reader.open_pairs(regions, fixed_name) : reader.open(regions))) return nullptr;
    bool rc = false;
    if (!to_optional_bool(rc_given, "rc", rc)) {
        // The regions come first in the signature: their errors win.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (!read_all(reader)) {
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
        if (fixed_name && !reader.record_entry()) {
            if (!read_all(reader)) return nullptr;
            raise_faidx_error(not_found_error(reader.record_text()));
            return nullptr;
        }
        return fetch_sequentially(engine, reader, rc);
    }
    return fetch_in_parallel(engine, reader, fixed_name, rc);
}

}  // namespace sekva::host
