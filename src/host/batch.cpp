// Batch fetches from the host side: one conversion pass over `regions`, then either fetches on
// this thread (below the threshold, with warnings) or one parallel job and one pass that builds
// the host objects.
#include "host/batch.hpp"

#include <string>
#include <vector>

#include "engine/batch.hpp"
#include "engine/bytes.hpp"
#include "host/args.hpp"
#include "host/engine_bridge.hpp"
#include "host/errors.hpp"
#include "host/ref.hpp"
#include "host/sequence_type.hpp"
#include "host/text.hpp"

namespace sekva::host {

bool convert_regions(const Engine& engine, PyObject* regions, PyObject* fixed_name, BatchRegions& out) {
    std::string_view fixed_text;
    if (fixed_name && !utf8_view(fixed_name, fixed_text)) return false;
    if (!check_sequence(regions, "regions")) return false;
    out.items = Ref::steal(PySequence_Tuple(regions));
    if (!out.items) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(out.items.get());
    const Py_ssize_t width = fixed_name ? 2 : 3;
    out.requests.resize(static_cast<std::size_t>(count));
    out.names.resize(static_cast<std::size_t>(count));
    PyObject* last_name = nullptr;
    std::string_view text = fixed_text;
    const IndexEntry* entry = fixed_name ? engine.names().find(fixed_text) : nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(out.items.get(), i);
        if (!check_tuple(item, width, "regions")) return false;
        PyObject* name = fixed_name;
        if (!fixed_name) {
            name = PyTuple_GET_ITEM(item, 0);
            // Regions from a BED file come in runs of one name: look each run up once.
            if (name != last_name) {
                if (!to_text(name, "regions", text)) return false;
                entry = engine.names().find(text);
                last_name = name;
            }
        }
        BatchRequest& r = out.requests[static_cast<std::size_t>(i)];
        if (!to_u64(PyTuple_GET_ITEM(item, width - 2), "regions", r.start) ||
            !to_u64(PyTuple_GET_ITEM(item, width - 1), "regions", r.end))
            return false;
        r.name = text;
        r.entry = entry;
        out.names[static_cast<std::size_t>(i)] = name;
    }
    return true;
}

namespace {

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

Coords strand_coords(Coords c, bool reverse_complement) { return reverse_complement ? swapped(c) : c; }

// Below the threshold: region after region through the checked fetch, first failure raised.
PyObject* fetch_sequentially(const Engine& engine, const BatchRegions& regions, bool reverse_complement) {
    const std::size_t count = regions.requests.size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const BatchRequest& r = regions.requests[i];
        StrOutput out;
        RegionResult result = fetch_into(engine, r.name, r.start, r.end, out);
        if (result.ok() && reverse_complement) reverse_complement_region(result.value(), out.data());
        PyObject* seq = region_to_host(std::move(result), out, regions.names[i], r.name, reverse_complement);
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

PyObject* fetch_in_parallel(const Engine& engine, const BatchRegions& regions, PyObject* fixed_name,
                            bool reverse_complement) {
    auto result = fetch_batch(engine, regions.requests, reverse_complement);
    if (!result.ok()) return raise_batch_failure(result.error(), fixed_name);
    BatchOutput& batch = result.value();
    const std::size_t count = batch.slots.size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const BatchSlot& slot = batch.slots[i];
        const char* bytes = batch.arena.data() + slot.offset;
        auto length = static_cast<std::size_t>(slot.length);
        PyObject* seq = slot.ascii ? ascii_str(bytes, length) : fetched_str(bytes, length, regions.requests[i].name);
        if (!seq) return nullptr;
        PyObject* value =
            new_sequence(regions.names[i], seq, strand_coords(slot.coords, reverse_complement), reverse_complement);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

}  // namespace

PyObject* fetch_regions(const Engine& engine, const BatchRegions& regions, PyObject* fixed_name,
                        bool reverse_complement) {
    if (regions.requests.empty()) return PyList_New(0);
    if (fixed_name && !regions.requests.front().entry) {
        raise_faidx_error(not_found_error(regions.requests.front().name));
        return nullptr;
    }
    if (regions.requests.size() < PARALLEL_THRESHOLD) return fetch_sequentially(engine, regions, reverse_complement);
    return fetch_in_parallel(engine, regions, fixed_name, reverse_complement);
}

}  // namespace sekva::host
