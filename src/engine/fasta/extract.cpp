// Extraction through the map (a SIMD scan for CR/LF plus memcpy of the runs between them) and
// through the descriptor (positional reads, so concurrent readers never share a file position).
#include "engine/fasta/extract.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/io/bus_guard.hpp"
#include "engine/base/bytes.hpp"
#include "engine/simd/copy_bases.hpp"

namespace sekva {

namespace {

constexpr std::uint64_t READ_CHUNK = 1 << 20;

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

Result<std::uint64_t> read_into(int fd, std::uint64_t known_size, const IndexEntry& e, std::uint64_t begin, std::uint64_t n, char* out,
                                std::uint64_t capacity, unsigned& seen, bool& nul) {
    std::uint64_t want = std::min(n, capacity), got = 0, at = begin;
    // The first read asks for the bytes the index says the region spans (so a short region costs
    // one small read); whatever is still missing then comes in 1 MiB pieces.
    std::uint64_t span = window_end(e, begin, n, UINT64_MAX) - begin;
    char small[16384];
    std::unique_ptr<char[]> large;
    char* buffer = small;
    std::size_t ask = static_cast<std::size_t>(std::clamp<std::uint64_t>(span, 1, READ_CHUNK));
    while (got < want) {
        if (ask > sizeof small && !large) buffer = (large = std::make_unique_for_overwrite<char[]>(READ_CHUNK)).get();
        ssize_t r = ::pread(fd, buffer, ask, static_cast<off_t>(at));
        if (r < 0) {
            if (errno == EINTR) continue;
            return io_error_from_errno(errno);
        }
        if (r == 0) {
            if (at < known_size) return file_shrank_error();
            break;
        }
        at += static_cast<std::uint64_t>(r);
        got += copy_bases(buffer, buffer + r, want - got, out + got, seen, nul);
        ask = READ_CHUNK;
    }
    return got;
}

}  // namespace

// Through the uncompressed bytes of a BGZF file: the same window as the map path, read through this
// worker's cursor (short windows) or in pieces (long ones, inflated on the pool where allowed).
Result<std::uint64_t> extract_from_bgzf(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                        char* out, std::uint64_t capacity, bool* ascii) {
    const BgzfFile& file = *src.bgzf;
    unsigned seen = 0;
    bool nul = false;
    std::uint64_t got = 0, begin;
    if (!empty_request(e, n) && capacity && first_byte(e, p, begin) && begin < file.size()) {
        const std::uint64_t end = window_end(e, begin, n, file.size()), want = std::min(n, capacity);
        constexpr std::uint64_t PIECE = 4 << 20;
        if (src.cursor && end - begin <= PIECE) {
            auto view = src.cursor->view(begin, end - begin);
            if (!view.ok()) return std::move(view.error());
            got = copy_bases(view.value().data(), view.value().data() + view.value().size(), want, out, seen, nul);
        } else {
            const std::uint64_t piece = std::min(end - begin, PIECE);
            char small[16384];
            std::unique_ptr<char[]> large;
            char* buffer = piece <= sizeof small ? small : (large = std::make_unique_for_overwrite<char[]>(piece)).get();
            for (std::uint64_t at = begin; got < want && at < end;) {
                std::uint64_t len = std::min(piece, end - at);
                auto r = src.may_use_pool && len >= (1 << 20) ? file.read_parallel(at, len, buffer) : file.read(at, len, buffer);
                if (!r.ok()) return std::move(r.error());
                if (r.value() == 0) break;
                got += copy_bases(buffer, buffer + r.value(), want - got, out + got, seen, nul);
                at += r.value();
            }
        }
    }
    // Inflated text holding a NUL is no FASTA text.
    if (nul) return io_error(file.path() + ": the decompressed FASTA text holds a NUL byte, which no FASTA file holds");
    if (ascii) *ascii = !(seen & 0x80);
    return got;
}

std::uint64_t extraction_capacity(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    if (empty_request(e, n)) return 0;
    std::uint64_t begin;
    if (!first_byte(e, p, begin)) return 0;
    if (src.bgzf) {
        if (begin >= src.bgzf->size()) return 0;
        return std::min(n, window_end(e, begin, n, src.bgzf->size()) - begin);
    }
    if (src.map) {
        if (begin >= src.map->size()) return 0;
        return std::min(n, window_end(e, begin, n, src.map->size()) - begin);
    }
    return begin >= src.fd_size ? 0 : std::min(n, src.fd_size - begin);
}

Result<std::uint64_t> extract_from_map(const MappedFile& map, const IndexEntry& e, std::uint64_t p,
                                       std::uint64_t n, char* out, std::uint64_t capacity, bool* ascii) {
    unsigned seen = 0;
    bool nul = false;
    std::uint64_t got = 0, begin;
    if (!empty_request(e, n) && capacity && first_byte(e, p, begin) && begin < map.size()) {
        std::uint64_t end = window_end(e, begin, n, map.size());
        const char* from = map.data() + begin;
        const char* to = map.data() + end;
        std::uint64_t want = std::min(n, capacity);
        if (!guarded_read([&] { got = copy_bases(from, to, want, out, seen, nul); }) || nul)
            return file_shrank_error();
    }
    if (ascii) *ascii = !(seen & 0x80);
    return got;
}

Result<std::uint64_t> extract_from_descriptor(int fd, std::uint64_t known_size, const IndexEntry& e,
                                              std::uint64_t p, std::uint64_t n, char* out,
                                              std::uint64_t capacity, bool* ascii) {
    unsigned seen = 0;
    bool nul = false;
    std::uint64_t begin;
    Result<std::uint64_t> got = std::uint64_t{0};
    if (!empty_request(e, n)) {
        // No file offset reaches 2^63: the seek to such a start fails, as lseek does.
        if (!first_byte(e, p, begin) || begin > static_cast<std::uint64_t>(INT64_MAX)) return io_error_from_errno(EINVAL);
        if (capacity) got = read_into(fd, known_size, e, begin, n, out, capacity, seen, nul);
    }
    if (got.ok() && nul) return file_shrank_error();
    if (ascii) *ascii = !(seen & 0x80);
    return got;
}

Result<std::uint64_t> extract_into(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                   char* out, std::uint64_t capacity, bool* ascii) {
    if (src.bgzf) return extract_from_bgzf(src, e, p, n, out, capacity, ascii);
    if (src.map) return extract_from_map(*src.map, e, p, n, out, capacity, ascii);
    if (src.fd < 0) return io_error("No file handle available");
    return extract_from_descriptor(src.fd, src.fd_size, e, p, n, out, capacity, ascii);
}

std::uint64_t region_position(const IndexEntry& e, std::uint64_t p) {
    std::uint64_t at;
    return e.lenc && p && first_byte(e, p, at) ? at : UINT64_MAX;
}

JobOutcome run_regions(const Source& src, std::size_t count, const std::function<std::uint64_t(std::size_t)>& position,
                       const std::function<void(std::size_t, const Source&)>& body) {
    if (!src.bgzf)
        return run_parallel(count, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) body(i, src);
        });
    try {
        std::vector<std::uint64_t> where(count);
        std::vector<std::size_t> order(count);
        for (std::size_t i = 0; i < count; ++i) {
            where[i] = position(i);
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return where[a] < where[b]; });
        return run_parallel(count, [&](std::size_t first, std::size_t last) {
            BgzfCursor cursor(*src.bgzf);
            Source local = src;
            local.cursor = &cursor;
            local.may_use_pool = false;
            for (std::size_t k = first; k < last; ++k) body(order[k], local);
        });
    } catch (const std::bad_alloc&) {
        return {JobStatus::NoMemory, {}};
    }
}

void prefetch_region(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    std::uint64_t begin;
    if (!src.map || empty_request(e, n) || p == 0 || !first_byte(e, p, begin) || begin >= src.map->size()) return;
    constexpr std::uint64_t most = 4096;
    std::uint64_t bytes = std::min(window_end(e, begin, n, src.map->size()) - begin, most);
    const char* at = src.map->data() + begin;
    for (std::uint64_t off = 0; off < bytes; off += 64) __builtin_prefetch(at + off);
}

std::uint64_t file_size(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace sekva
