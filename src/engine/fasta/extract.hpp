// Region extraction: the bytes of n bases from base p of a record, line terminators dropped.
#pragma once

#include <cstdint>
#include <string>

#include <functional>

#include "engine/codec/bgzf.hpp"
#include "engine/base/error.hpp"
#include "engine/io/fs.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

// Where bases are read from: the uncompressed bytes of a BGZF file, or the shared map of a plain
// file, or else its descriptor.
struct Source {
    const MappedFile* map = nullptr;
    int fd = -1;
    std::uint64_t fd_size = 0;  // file size behind fd, read once per call or batch: an end of file met
                                // before it means the file shrank while it was read
    const BgzfFile* bgzf = nullptr;
    BgzfCursor* cursor = nullptr;  // this worker's window of inflated blocks, when it has one
    bool may_use_pool = false;     // a long read may inflate on the worker pool (not from a worker)
};

// Bytes that extraction can yield at most for this request (n, or fewer when the file ends
// first); what a caller reserves. 0 for n = 0, rlen = 0 or lenc = 0.
std::uint64_t extraction_capacity(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n);

// The two paths. Each writes at most `capacity` bytes (from extraction_capacity) to out and
// returns how many; when `ascii` is given it is set true only if the bytes are certainly ASCII
// (false means: not proven, check them). The map path fails only when the file shrank after it
// was mapped; the descriptor path reads with pread, so workers may share the descriptor, and
// fails only with Io (the file shrank: it ends before `known_size`).
Result<std::uint64_t> extract_from_map(const MappedFile& map, const IndexEntry& e, std::uint64_t p,
                                       std::uint64_t n, char* out, std::uint64_t capacity,
                                       bool* ascii = nullptr);
Result<std::uint64_t> extract_from_descriptor(int fd, std::uint64_t known_size, const IndexEntry& e,
                                              std::uint64_t p, std::uint64_t n, char* out,
                                              std::uint64_t capacity, bool* ascii = nullptr);
// The BGZF bytes, else the map, else the descriptor (Io "No file handle available" without one).
Result<std::uint64_t> extract_into(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                   char* out, std::uint64_t capacity, bool* ascii = nullptr);

std::uint64_t file_size(int fd);

// Where base p of the record lies in the (uncompressed) file, or UINT64_MAX when nowhere.
std::uint64_t region_position(const IndexEntry& e, std::uint64_t p);

// Runs body(i, src) for every item of [0, count) on the worker pool. Over a BGZF file the items go
// in the order of their bytes in the file (`position(i)`), each range of them through a cursor of
// its own, so that a block is inflated once however many items share it; otherwise in input order.
JobOutcome run_regions(const Source& src, std::size_t count, const std::function<std::uint64_t(std::size_t)>& position,
                       const std::function<void(std::size_t, const Source&)>& body);

// Starts loading the mapped bytes of a region into the cache (at most its first few kilobytes), so
// that a loop over scattered regions waits for memory once per region, not once per cache line.
void prefetch_region(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n);

}  // namespace sekva
