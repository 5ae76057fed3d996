// Region extraction: the bytes of n bases from base p of a record, line terminators dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/error.hpp"
#include "engine/io/byte_source.hpp"
#include "engine/fasta/index_file.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

// How one thread reads a byte source: the source, this thread's cursor when the source reads
// through cursors, and whether a long read may fan out on the worker pool (never from a worker).
// What every region asks of the source is asked once here, not once per region.
struct Reader {
    Reader(const ByteSource* source, SourceCursor* cursor_, bool pool)
        : bytes(source), cursor(cursor_), may_use_pool(pool), direct(source->direct()), size(source->size()),
          offset_limit(source->offset_limit()) {}
    const ByteSource* bytes;
    SourceCursor* cursor;
    bool may_use_pool;
    const char* direct;          // bytes->direct()
    std::uint64_t size;          // bytes->size()
    std::uint64_t offset_limit;  // bytes->offset_limit()
};

// Bytes that extraction can yield at most for this request (n, or fewer when the file ends
// first); what a caller reserves. 0 for n = 0, rlen = 0 or lenc = 0.
std::uint64_t extraction_capacity(const ByteSource& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n);

// The n bases from base p of the record, line breaks dropped: at most `capacity` bytes (from
// extraction_capacity) written to out, and how many. The bytes are read from the window the index
// gives the region: from the source's own memory when it offers it, through the reader's cursor
// when it has one, else in pieces. When `ascii` is given it is set true only if the bytes are
// certainly ASCII (false means: not proven, check them). Fails with the source's errors, with
// "the file shrank" when a mapped file lost the bytes, and with the source's nul_error() when the
// bytes hold a NUL.
Result<std::uint64_t> extract_into(const Reader& from, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                   char* out, std::uint64_t capacity, bool* ascii = nullptr);

// Where base p of the record lies in the (uncompressed) file, or UINT64_MAX when nowhere.
std::uint64_t region_position(const IndexEntry& e, std::uint64_t p);
// The bytes extract_into reads for the n bases from base p, in a source of `size` bytes; an empty
// span at UINT64_MAX when it reads none.
ByteSpan region_span(const IndexEntry& e, std::uint64_t p, std::uint64_t n, std::uint64_t size);
inline constexpr ByteSpan NO_SPAN{UINT64_MAX, UINT64_MAX};
// The most bytes one round of a staged read takes (the spans of a job's items, or a piece of one
// long window), so that a job over a whole genome never holds it all.
inline constexpr std::uint64_t STAGED_ROUND = 64 << 20;

// Runs body(i, reader) for every item of [0, count) on the worker pool. Over a source read in file
// order (BGZF, remote files) the items go in the order of their bytes in the file (`span(i)`), each
// range of them through a cursor of its own, so that a block is inflated once however many items
// share it; a source that stages its reads is handed the spans of the items first, a bounded
// number of bytes at a time. Otherwise the items go in input order.
JobOutcome run_regions(const Reader& from, std::size_t count, const std::function<ByteSpan(std::size_t)>& span,
                       const std::function<void(std::size_t, const Reader&)>& body);

// Starts loading the mapped bytes of a region into the cache (at most its first few kilobytes), so
// that a loop over scattered regions waits for memory once per region, not once per cache line.
void prefetch_region(const Reader& from, const IndexEntry& e, std::uint64_t p, std::uint64_t n);

}  // namespace sekva
