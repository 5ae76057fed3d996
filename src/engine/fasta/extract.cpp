// Extraction: the window of a region read from any byte source (straight from a map's memory,
// through a worker's cursor, or in pieces) and copied without its line breaks.
#include "engine/fasta/extract.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "engine/io/bus_guard.hpp"
#include "engine/base/bytes.hpp"
#include "engine/base/memory.hpp"
#include "engine/simd/copy_bases.hpp"

namespace sekva {

namespace {

// Byte offset of base p, or nothing when a bogus entry makes it overflow.
bool first_byte(const IndexEntry& e, std::uint64_t p, std::uint64_t& out) {
    std::uint64_t i = p - 1, line_bytes;
    if (__builtin_mul_overflow(e.lenb, i / e.lenc, &line_bytes)) return false;
    return !__builtin_add_overflow(e.offset, i % e.lenc, &out) && !__builtin_add_overflow(out, line_bytes, &out);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// End of the map window: the n bases, one terminator allowance per line, and one more line.
std::uint64_t window_end(const IndexEntry& e, std::uint64_t begin, std::uint64_t n, std::uint64_t size) {
    std::uint64_t lines = n / e.lenc + (n % e.lenc != 0);
    std::uint64_t terminators = e.lenb >= e.lenc ? e.lenb - e.lenc : UINT64_MAX;
    std::uint64_t allowance;
    if (__builtin_mul_overflow(lines, terminators, &allowance)) return size;
    std::uint64_t end = saturating_add(saturating_add(saturating_add(begin, n), allowance), e.lenb);
    return std::min(end, size);
}

bool empty_request(const IndexEntry& e, std::uint64_t n) { return n == 0 || e.rlen == 0 || e.lenc == 0; }

// The window [begin, end) from memory the source offers: a fault or a NUL is the file shrinking
// under its map.
Status copy_direct(const char* base, std::uint64_t begin, std::uint64_t end,
                   std::uint64_t want, char* out, std::uint64_t& got, unsigned& seen, bool& nul) {
    const char* from = base + begin;
    const char* to = base + end;
    if (!guarded_read([&] { got = copy_bases(from, to, want, out, seen, nul); })) return file_shrank_error();
    return success;
}

// Copies from memory of this many bases or more are split over the worker pool, in pieces of a
// huge page of output each (the first one up to the first huge-page boundary of `out`), so that
// every worker takes the page faults of its own pieces and no two share a page.
constexpr std::uint64_t SPLIT_FROM = std::uint64_t{8} << 20;
constexpr std::uint64_t SPLIT_PIECE = std::uint64_t{2} << 20;

bool is_break(char c) { return c == '\n' || c == '\r'; }

// Whether a break stands at every place where the index puts a line end between base b and base
// b + n; `bytes` holds the file's bytes from offset `from` on, through all of those places.
bool line_ends_are_breaks(const char* bytes, std::uint64_t from, const IndexEntry& e, std::uint64_t b,
                          std::uint64_t n) {
    const std::uint64_t terminators = e.lenb - e.lenc;
    std::uint64_t last, at;  // the last base of the line that holds base b
    if (__builtin_mul_overflow((b - 1) / e.lenc + 1, e.lenc, &last) || last >= b + n || terminators == 0)
        return true;  // no line ends inside the piece
    if (!first_byte(e, last, at)) return false;
    // Each line end lies lenb bytes after the one before it.
    for (at -= from;; at += e.lenb) {
        for (std::uint64_t t = 1; t <= terminators; ++t)
            if (!is_break(bytes[at + t])) return false;
        if (__builtin_add_overflow(last, e.lenc, &last) || last >= b + n) return true;
    }
}

// The window copied in pieces on the pool, each piece from where the index places its first base:
// straight from the source's memory, or through a cursor for each range of pieces (a decoder then
// inflates the blocks of different pieces on different workers). A piece of n bases from base b
// that yields n bytes, and finds a break at every line end the index gives, holds exactly n bytes
// that are no break between first_byte(b) and first_byte(b + n): so the pieces are what the one
// long copy would have written. Nothing when the file is not laid out as its index says, a piece
// fails, or the pool could not run the job: the caller then copies in one go, which meets the same
// bytes and reports the same failure.
bool copy_split_pieces(const Reader& reader, const IndexEntry& e, std::uint64_t p, std::uint64_t begin,
                       std::uint64_t end, std::uint64_t want, char* out, std::uint64_t& got, unsigned& seen,
                       bool& nul) {
    const ByteSource& src = *reader.bytes;
    const char* map = reader.direct;
    // A source that stages its reads (a remote file) is read a round at a time instead, each
    // round's requests at once.
    if (e.lenb < e.lenc || (!map && (!src.ordered_reads() || src.stages_reads()))) return false;
    // Through a cursor, the bytes of a piece must fit one view.
    std::uint64_t span = 0;
    if (!map && (__builtin_mul_overflow(SPLIT_PIECE / e.lenc + 2, e.lenb, &span) || span > src.piece_bytes()))
        return false;
    const std::uint64_t lead = SPLIT_PIECE - reinterpret_cast<std::uintptr_t>(out) % SPLIT_PIECE;
    const std::size_t pieces = static_cast<std::size_t>(1 + (want - lead + SPLIT_PIECE - 1) / SPLIT_PIECE);
    auto piece_start = [&](std::size_t k) {
        return k == 0 ? 0 : k == pieces ? want : lead + (k - 1) * SPLIT_PIECE;
    };
    std::uint64_t last_begin;
    if (!first_byte(e, p + piece_start(pieces - 1), last_begin) || last_begin > end) return false;
    if (!map && end - last_begin > span) return false;
    advise_huge_pages(out, want);
    std::vector<std::uint64_t> copied(pieces);
    std::atomic<bool> failed{false}, any_nul{false};
    std::atomic<unsigned> any_seen{0};
    // One lane a thread, each taking the next piece while any is left: a cursor (and the memory its
    // window takes) is made once a lane, not once a range of pieces.
    std::atomic<std::size_t> next{0};
    JobOutcome outcome = run_parallel(std::min(pieces, job_threads()), [&](std::size_t, std::size_t) {
        std::unique_ptr<SourceCursor> cursor = map ? nullptr : src.cursor();
        if (!map && !cursor) {
            failed.store(true, std::memory_order_relaxed);
            return;
        }
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < pieces &&
                            !failed.load(std::memory_order_relaxed);) {
            const std::uint64_t at = piece_start(k), n = piece_start(k + 1) - at;
            const bool inner = k + 1 < pieces;
            std::uint64_t from = begin, to = end;
            if (k && !first_byte(e, p + at, from)) from = end;  // cannot fail: the last start did not
            if (inner && !first_byte(e, p + at + n, to)) to = from;
            const char* bytes = map ? map + from : nullptr;
            if (!map) {
                auto view = cursor->view(from, to - from);
                if (!view.ok() || view.value().size() != to - from) {
                    failed.store(true, std::memory_order_relaxed);
                    continue;
                }
                bytes = view.value().data();
            }
            unsigned piece_seen = 0;
            bool piece_nul = false, breaks = true;
            if (!guarded_read([&] {
                    copied[k] = copy_bases(bytes, bytes + (to - from), n, out + at, piece_seen, piece_nul);
                    if (inner) breaks = line_ends_are_breaks(bytes, from, e, p + at, n);
                }) ||
                (inner && (copied[k] != n || !breaks))) {
                failed.store(true, std::memory_order_relaxed);
                continue;
            }
            any_seen.fetch_or(piece_seen, std::memory_order_relaxed);
            if (piece_nul) any_nul.store(true, std::memory_order_relaxed);
        }
    });
    if (outcome.status != JobStatus::Done || failed.load()) return false;
    got = piece_start(pieces - 1) + copied[pieces - 1];
    seen |= any_seen.load();
    nul = nul || any_nul.load();
    return true;
}

bool copy_split(const Reader& reader, const IndexEntry& e, std::uint64_t p, std::uint64_t begin, std::uint64_t end,
                std::uint64_t want, char* out, std::uint64_t& got, unsigned& seen, bool& nul) {
    try {
        return copy_split_pieces(reader, e, p, begin, end, want, out, got, seen, nul);
    } catch (const std::bad_alloc&) {
        return false;  // the copy in one go needs no memory of its own
    }
}

// The window read in pieces of the source's size, each copied without its line breaks; the first
// piece is no larger than the window, so a short region costs one small read.
Status copy_pieces(const Reader& from, std::uint64_t begin, std::uint64_t end, std::uint64_t want, char* out,
                   std::uint64_t& got, unsigned& seen, bool& nul) {
    const ByteSource& src = *from.bytes;
    const std::uint64_t piece = std::min<std::uint64_t>(end - begin, src.piece_bytes());
    char small[16384];
    std::unique_ptr<char[]> large;
    char* buffer = piece <= sizeof small ? small : (large = std::make_unique_for_overwrite<char[]>(piece)).get();
    // A remote file's long window is asked for a round at a time, each round's requests at once.
    const bool staging = src.stages_reads() && end - begin > piece;
    std::unique_ptr<StagedReads> staged;
    std::uint64_t staged_to = begin;
    for (std::uint64_t at = begin; got < want && at < end;) {
        if (staging && at >= staged_to) {
            staged.reset();
            staged_to = std::min(end, at + STAGED_ROUND);
            const ByteSpan round{at, staged_to};
            staged = src.stage(std::span<const ByteSpan>(&round, 1));
        }
        const std::uint64_t len = std::min(piece, end - at);
        auto r = from.may_use_pool ? src.read_long(at, len, buffer) : read_at(src, at, len, buffer);
        if (!r.ok()) return std::move(r.error());
        if (r.value() == 0) break;
        got += copy_bases(buffer, buffer + r.value(), want - got, out + got, seen, nul);
        at += r.value();
    }
    return success;
}

}  // namespace

std::uint64_t extraction_capacity(const ByteSource& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    std::uint64_t begin;
    if (empty_request(e, n) || !first_byte(e, p, begin) || begin >= src.size()) return 0;
    return std::min(n, window_end(e, begin, n, src.size()) - begin);
}

Result<std::uint64_t> extract_into(const Reader& from, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                   char* out, std::uint64_t capacity, bool* ascii) {
    const ByteSource& src = *from.bytes;
    unsigned seen = 0;
    bool nul = false;
    std::uint64_t got = 0, begin;
    if (!empty_request(e, n)) {
        const bool placed = first_byte(e, p, begin);
        if ((!placed || begin > from.offset_limit) && from.offset_limit != UINT64_MAX)
            return io_error_from_errno(EINVAL);
        if (placed && capacity && begin < from.size) {
            const std::uint64_t end = window_end(e, begin, n, from.size), want = std::min(n, capacity);
            Status err;
            if (from.may_use_pool && !from.cursor && want >= SPLIT_FROM && !on_pool_worker() &&
                copy_split(from, e, p, begin, end, want, out, got, seen, nul)) {
                // every piece is in place
            } else if (from.direct) {
                err = copy_direct(from.direct, begin, end, want, out, got, seen, nul);
            } else if (from.cursor && end - begin <= src.piece_bytes()) {
                auto view = from.cursor->view(begin, end - begin);
                if (!view.ok()) return std::move(view.error());
                got = copy_bases(view.value().data(), view.value().data() + view.value().size(), want, out, seen, nul);
            } else {
                err = copy_pieces(from, begin, end, want, out, got, seen, nul);
            }
            if (err) return std::move(*err);
        }
    }
    if (nul) return src.nul_error();
    if (ascii) *ascii = !(seen & 0x80);
    return got;
}

std::uint64_t region_position(const IndexEntry& e, std::uint64_t p) {
    std::uint64_t at;
    return e.lenc && p && first_byte(e, p, at) ? at : UINT64_MAX;
}

ByteSpan region_span(const IndexEntry& e, std::uint64_t p, std::uint64_t n, std::uint64_t size) {
    std::uint64_t begin;
    if (empty_request(e, n) || p == 0 || !first_byte(e, p, begin) || begin >= size) return NO_SPAN;
    return ByteSpan{begin, window_end(e, begin, n, size)};
}

namespace {

// Items order[first, last) in rounds whose spans stay within STAGED_ROUND bytes (a round holds one
// item at least), each round's spans handed to the source before its items run.
JobOutcome run_staged(const Reader& from, const std::vector<ByteSpan>& spans, const std::vector<std::size_t>& order,
                      const std::function<void(std::size_t, const Reader&)>& body) {
    std::vector<ByteSpan> round;
    for (std::size_t first = 0; first < order.size();) {
        round.clear();
        std::uint64_t bytes = 0;
        std::size_t last = first;
        for (; last < order.size(); ++last) {
            const ByteSpan s = spans[order[last]];
            if (s.begin >= s.end) continue;
            const bool joins = !round.empty() && s.begin <= round.back().end;
            const std::uint64_t more = joins ? (s.end > round.back().end ? s.end - round.back().end : 0) : s.end - s.begin;
            if (bytes + more > STAGED_ROUND && bytes) break;
            bytes += more;
            if (joins)
                round.back().end = std::max(round.back().end, s.end);
            else
                round.push_back(s);
        }
        std::unique_ptr<StagedReads> staged = from.bytes->stage(round);
        JobOutcome outcome = run_parallel(last - first, [&](std::size_t a, std::size_t b) {
            std::unique_ptr<SourceCursor> cursor = from.bytes->cursor();
            const Reader local(from.bytes, cursor.get(), false);
            for (std::size_t k = a; k < b; ++k) body(order[first + k], local);
        });
        if (outcome.status != JobStatus::Done) return outcome;
        first = last;
    }
    return {};
}

}  // namespace

JobOutcome run_regions(const Reader& from, std::size_t count, const std::function<ByteSpan(std::size_t)>& span,
                       const std::function<void(std::size_t, const Reader&)>& body) {
    if (!from.bytes->ordered_reads())
        return run_parallel(count, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) body(i, from);
        });
    try {
        std::vector<ByteSpan> spans(count);
        std::vector<std::size_t> order(count);
        for (std::size_t i = 0; i < count; ++i) {
            spans[i] = span(i);
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return spans[a].begin < spans[b].begin; });
        if (from.bytes->stages_reads()) return run_staged(from, spans, order, body);
        return run_parallel(count, [&](std::size_t first, std::size_t last) {
            std::unique_ptr<SourceCursor> cursor = from.bytes->cursor();
            const Reader local(from.bytes, cursor.get(), false);
            for (std::size_t k = first; k < last; ++k) body(order[k], local);
        });
    } catch (const std::bad_alloc&) {
        return {JobStatus::NoMemory, {}};
    }
}

void prefetch_region(const Reader& from, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    std::uint64_t begin;
    const char* base = from.direct;
    if (!base || empty_request(e, n) || p == 0 || !first_byte(e, p, begin) || begin >= from.size) return;
    constexpr std::uint64_t most = 4096;
    std::uint64_t bytes = std::min(window_end(e, begin, n, from.size) - begin, most);
    const char* at = base + begin;
    for (std::uint64_t off = 0; off < bytes; off += 64) __builtin_prefetch(at + off);
}

}  // namespace sekva
