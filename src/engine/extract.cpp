// Extraction through the map (a SIMD scan for CR/LF plus memcpy of the runs between them) and
// through the descriptor (positional reads, so concurrent readers never share a file position).
#include "engine/extract.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/bytes.hpp"

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

// Copies every byte other than CR and LF from [p, end) until `want` bytes are out.
std::uint64_t copy_bases(const char* p, const char* end, std::uint64_t want, char* out) {
    std::uint64_t got = 0;
    while (got < want && p < end) {
        const char* stop = p + std::min<std::uint64_t>(static_cast<std::uint64_t>(end - p), want - got);
        const char* brk = find_line_break(p, stop);
        std::size_t run = static_cast<std::size_t>(brk - p);
        std::memcpy(out + got, p, run);
        got += run;
        p = brk;
        while (p < end && (*p == '\n' || *p == '\r')) ++p;
    }
    return got;
}

bool empty_request(const IndexEntry& e, std::uint64_t n) { return n == 0 || e.rlen == 0 || e.lenc == 0; }

std::uint64_t file_size(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

Result<std::uint64_t> read_into(int fd, std::uint64_t begin, std::uint64_t n, char* out, std::uint64_t capacity) {
    std::uint64_t want = std::min(n, capacity), got = 0, at = begin;
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(READ_CHUNK, std::max<std::uint64_t>(want, 1) * 2 + 4096)), '\0');
    while (got < want) {
        ssize_t r = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
        if (r < 0) return io_error_from_errno(errno);
        if (r == 0) break;
        at += static_cast<std::uint64_t>(r);
        got += copy_bases(buffer.data(), buffer.data() + r, want - got, out + got);
        if (buffer.size() < READ_CHUNK) buffer.resize(READ_CHUNK);
    }
    return got;
}

}  // namespace

std::uint64_t extraction_capacity(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    if (empty_request(e, n)) return 0;
    std::uint64_t begin;
    if (!first_byte(e, p, begin)) return 0;
    if (src.map) {
        if (begin >= src.map->size()) return 0;
        return std::min(n, window_end(e, begin, n, src.map->size()) - begin);
    }
    std::uint64_t size = file_size(src.fd);
    return begin >= size ? 0 : std::min(n, size - begin);
}

Result<std::uint64_t> extract_into(const Source& src, const IndexEntry& e, std::uint64_t p, std::uint64_t n,
                                   char* out, std::uint64_t capacity) {
    if (empty_request(e, n) || capacity == 0) return std::uint64_t{0};
    std::uint64_t begin;
    if (!first_byte(e, p, begin)) return std::uint64_t{0};
    if (src.map) {
        if (begin >= src.map->size()) return std::uint64_t{0};
        std::uint64_t end = window_end(e, begin, n, src.map->size());
        return copy_bases(src.map->data() + begin, src.map->data() + end, std::min(n, capacity), out);
    }
    if (src.fd < 0) return io_error("No file handle available");
    return read_into(src.fd, begin, n, out, capacity);
}

std::string extract_sequence_from_mmap(const MappedFile& map, const IndexEntry& e, std::uint64_t p, std::uint64_t n) {
    Source src{&map, -1};
    std::string out(static_cast<std::size_t>(extraction_capacity(src, e, p, n)), '\0');
    auto got = extract_into(src, e, p, n, out.data(), out.size());
    out.resize(static_cast<std::size_t>(got.value()));
    return out;
}

Result<std::string> extract_sequence_from_file_optimized(int fd, const IndexEntry& e, std::uint64_t p,
                                                         std::uint64_t n) {
    Source src{nullptr, fd};
    std::string out(static_cast<std::size_t>(extraction_capacity(src, e, p, n)), '\0');
    auto got = extract_into(src, e, p, n, out.data(), out.size());
    if (!got.ok()) return got.error();
    out.resize(static_cast<std::size_t>(got.value()));
    return out;
}

}  // namespace sekva
