// Single-region fetches: the checked fetch with its bounds rules and warnings, the whole-record
// fetch, and the silent fetch that batch workers run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/fasta/engine.hpp"
#include "engine/fetch/sequence.hpp"

namespace sekva {

// Why a fetch produced no Sequence: an engine error, a strict-bounds violation (raised by the
// host as IndexError), or an allocation that could not be made.
struct FetchFailure {
    enum class Kind { Engine, Bounds, NoMemory } kind;
    FaidxError error{ErrorKind::Fetch, {}};
    std::string message;  // for Bounds
};

using FetchResult = Result<Sequence, FetchFailure>;

// Memory for fetched bases, handed out by the caller so that bases land in their final home
// (a host string, say) without an intermediate copy.
class OutputBuffer {
public:
    virtual ~OutputBuffer() = default;
    // Room for `capacity` bytes, or nullptr when it cannot be had. Called at most once.
    virtual char* reserve(std::uint64_t capacity) = 0;
};

// A fetch whose bases are the first `length` bytes of the caller's buffer.
struct FetchedRegion {
    Coords coords;
    std::uint64_t length = 0;
    bool ascii = false;  // true when the bytes are known to be ASCII
};
using RegionResult = Result<FetchedRegion, FetchFailure>;

// 1-based inclusive coordinates, with the strict or lenient bounds rules of the engine's options.
RegionResult fetch_into(const Engine& engine, std::string_view name, std::uint64_t start, std::uint64_t end,
                        OutputBuffer& out);
// The whole record, unchecked: no bounds logic, no warnings, no filling.
RegionResult fetch_entire_into(const Engine& engine, std::string_view name, OutputBuffer& out);

// What nearly every single fetch is: a known record, 1 <= start <= start + n - 1 <= rlen, read from
// memory the source offers (a map). Copies the n bases into `out` (room for n) and returns how many it found; fewer than n
// (a file shorter than its index, or no memory offered) means the caller takes the general path instead,
// which pads and reports. Writes no warning and allocates nothing.
Result<std::uint64_t> fetch_inside(const Engine& engine, const IndexEntry& entry, std::uint64_t start,
                                   std::uint64_t n, char* out, bool& ascii);

// The checked fetch as an owned Sequence value.
FetchResult fetch(const Engine& engine, std::string_view name, std::uint64_t start, std::uint64_t end);

// What the batch workers' fetch decided for one region before any byte is read (first step of
// fetch_planned, run on the calling thread).
struct RegionPlan {
    enum class Kind { Extract, Empty, Error } kind;
    const IndexEntry* entry;
    std::uint64_t s, e;  // clamped 1-based coordinates
    std::uint64_t n;     // bases to extract
};
// Clamps silently (or checks strictly); an Error plan is described by plan_error().
RegionPlan plan_region(const Engine& engine, const IndexEntry* entry, std::uint64_t start, std::uint64_t end);
FaidxError plan_error(const RegionPlan& plan, std::string_view name, std::uint64_t start, std::uint64_t end);
// The bytes a plan reads in a source of `size` bytes (NO_SPAN for a plan that reads nothing): the
// order in which bulk jobs take regions, so that each page or block is read once, and what a
// remote source is asked for ahead.
ByteSpan plan_span(const RegionPlan& plan, std::uint64_t size);
// Room an Extract plan's bases need from `src`, padding included (0 for other plans); false when
// no memory could hold them.
bool plan_capacity(const OpenOptions& opt, const ByteSource& src, const RegionPlan& plan, std::uint64_t& room);

// After extraction: pads a short result with default_seq and upper-cases. `buf` holds `got`
// bytes and has room for padded_capacity() bytes; returns the final length.
std::uint64_t finish_bases(const OpenOptions& opt, char* buf, std::uint64_t got, std::uint64_t n);
// Room a region of n bases needs once padded; false when it does not fit in memory at all.
bool padded_capacity(const OpenOptions& opt, std::uint64_t extract_capacity, std::uint64_t n, std::uint64_t& out);
// Coordinates stored in a fetched Sequence.
Coords result_coords(const OpenOptions& opt, std::uint64_t s, std::uint64_t e);

// The batch workers' single-region fetch, second step: the bases of a region that plan_region
// chose to extract, written to `out` (room for `capacity` bytes), padded and upper-cased.
// Returns the length; `ascii` is set true only when the bytes are certainly ASCII.
Result<std::uint64_t> fetch_planned(const OpenOptions& opt, const RegionPlan& plan, const Reader& src,
                                    char* out, std::uint64_t capacity, bool& ascii);


}  // namespace sekva
