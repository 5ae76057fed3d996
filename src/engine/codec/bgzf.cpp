// BGZF blocks: detection, header and footer parsing, checked inflation from a map or a descriptor,
// the block table scan, the shared block cache, cursors and the piece-by-piece pass over the data.
#include "engine/codec/bgzf.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "engine/io/bus_guard.hpp"
#include "engine/codec/inflate.hpp"
#include "engine/parallel/first_failure.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

namespace {

constexpr unsigned char GZIP_ID1 = 0x1f, GZIP_ID2 = 0x8b, DEFLATE = 8;
constexpr unsigned char FTEXT = 1, FEXTRA = 4;

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The BSIZE of a BC subfield of length 2 among the subfields in [p, p + xlen); false when there is
// none or a subfield overruns the extra field.
bool find_bsize(const unsigned char* p, std::size_t xlen, std::uint16_t& bsize) {
    std::size_t at = 0;
    while (xlen - at >= 4) {
        std::size_t slen = le16(p + at + 2);
        if (slen > xlen - at - 4) return false;
        if (p[at] == 'B' && p[at + 1] == 'C' && slen == 2) {
            bsize = le16(p + at + 4);
            return true;
        }
        at += 4 + slen;
    }
    return false;
}

// Per-thread room for one block each way: compressed bytes read with pread (into memory aligned
// as read buffers are), and an inflated block on its way into the cache. Made on first use and
// kept, so no block allocates.
struct alignas(64) Scratch {
    unsigned char compressed[BGZF_MAX_BLOCK];
    char inflated[BGZF_MAX_BLOCK];
};

thread_local std::unique_ptr<Scratch> this_thread_scratch;

Scratch* scratch() {
    if (!this_thread_scratch) this_thread_scratch.reset(new (std::nothrow) Scratch);
    return this_thread_scratch.get();
}

BlockFault fault_of(InflateStatus s) {
    switch (s) {
        case InflateStatus::Ok: return BlockFault::None;
        case InflateStatus::BadData: return BlockFault::BadDeflate;
        case InflateStatus::TooLong: return BlockFault::TooLong;
        case InflateStatus::TooShort: return BlockFault::TooShort;
        case InflateStatus::NoMemory: return BlockFault::NoMemory;
        case InflateStatus::NoDecompressor: return BlockFault::NoDecompressor;
    }
    return BlockFault::BadDeflate;
}

// Inflates the deflate data of a parsed block into exactly `isize` bytes and checks their CRC.
// Plain code only: it runs inside guarded_read when the data is mapped.
BlockFault inflate_data(Inflater& inflater, const unsigned char* block, const BlockHeader& h, const BlockFooter& f,
                        char* out) {
    const unsigned char* data = block + h.data_offset;
    std::size_t n = h.size - h.data_offset - BGZF_FOOTER;
    if (BlockFault fault = fault_of(inflater.inflate(data, n, out, f.isize)); fault != BlockFault::None) return fault;
    return crc32_of(out, f.isize) == f.crc ? BlockFault::None : BlockFault::CrcMismatch;
}

// One block of a table: [p, p + avail) runs from the block's start to the next block's start, or
// to the end of the file when `to_file_end`. The block must hold `expect` bytes; `size` is set to
// its compressed size.
BlockFault decode_table_block(Inflater& inflater, const unsigned char* p, std::size_t avail, bool to_file_end,
                              std::uint32_t expect, char* out, std::uint32_t& size) {
    BlockHeader h;
    BlockFault fault = parse_block_header(p, avail, h);
    if (fault == BlockFault::None && h.size > avail) fault = BlockFault::Truncated;
    // Cut short by the next block's start rather than the end of the file: the table is wrong.
    if (fault == BlockFault::Truncated && !to_file_end) return BlockFault::TableMismatch;
    if (fault != BlockFault::None) return fault;
    BlockFooter f = parse_block_footer(p, h.size);
    if (f.isize > BGZF_MAX_BLOCK) return BlockFault::IsizeTooLarge;
    if (f.isize != expect) return BlockFault::TableMismatch;
    size = h.size;
    return inflate_data(inflater, p, h, f, out);
}

// Reads up to n bytes at `offset` into out; `got` falls short of n only where the file ends. A map
// is read without a copy; `coffset` is the block the bytes belong to, for the message when the
// mapped file shrank.
Status read_compressed(const std::string& path, const ByteSource& bytes, std::uint64_t offset, std::size_t n,
                       char* out, std::size_t& got, std::uint64_t coffset) {
    got = 0;
    if (offset >= bytes.size()) return success;
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes.size() - offset));
    if (const char* map = bytes.direct()) {
        const char* from = map + offset;
        if (!guarded_read([&] { std::memcpy(out, from, want); })) return block_error(path, coffset, BlockFault::Shrunk);
        got = want;
        return success;
    }
    auto r = read_at(bytes, offset, want, out);
    if (!r.ok()) return std::move(r.error());
    got = static_cast<std::size_t>(r.value());
    return success;
}

// What a parallel inflation failed with: the pool's own failure, else the block earliest in the file.
Status first_failure(FirstFailure& failed, JobOutcome outcome) {
    if (auto failure = failed.finish(std::move(outcome))) return failure->as_error();
    return std::nullopt;
}

std::string table_message(const std::string& path, const char* reason) {
    return path + ": the BGZF block table does not fit the file: " + reason;
}

// A file that ends inside a header that, as far as it goes, is a BGZF block's: deflate, FEXTRA,
// and the BC subfield where bgzip writes it. It is a truncated BGZF file, not a gzip one, and the
// block scan then says so.
bool cut_bgzf_header(const unsigned char* u, std::size_t n) {
    if (n < 4 || u[2] != DEFLATE || !(u[3] & FEXTRA)) return false;
    if (n >= 12 && n >= 12 + static_cast<std::size_t>(le16(u + 10))) return false;  // the extra field is whole
    static constexpr unsigned char bgzf_extra[] = {6, 0, 'B', 'C', 2, 0};  // XLEN, then the subfield
    for (std::size_t i = 10; i < n && i < 16; ++i)
        if (u[i] != bgzf_extra[i - 10]) return false;
    return true;
}

}  // namespace

// ---- Detection ----

Compression detect_compression(std::string_view head) {
    auto* u = reinterpret_cast<const unsigned char*>(head.data());
    std::size_t n = head.size();
    if (n >= 2 && u[0] == GZIP_ID1 && u[1] == GZIP_ID2) {
        if (n >= 12 && u[2] == DEFLATE && (u[3] & FEXTRA)) {
            std::size_t xlen = std::min<std::size_t>(le16(u + 10), n - 12);
            std::uint16_t bsize;
            if (find_bsize(u + 12, xlen, bsize)) return Compression::Bgzf;
        }
        if (cut_bgzf_header(u, n)) return Compression::Bgzf;
        return Compression::Gzip;
    }
    if (n >= 6 && std::memcmp(u, "\xFD" "7zXZ\0", 6) == 0) return Compression::Xz;
    if (n >= 4 && std::memcmp(u, "BZh", 3) == 0 && u[3] >= '1' && u[3] <= '9') return Compression::Bzip2;
    if (n >= 4 && std::memcmp(u, "\x28\xB5\x2F\xFD", 4) == 0) return Compression::Zstd;
    return Compression::None;
}

Result<std::string> file_head(const ByteSource& bytes) {
    char head[DETECT_BYTES];
    std::size_t got;
    if (Status err = read_compressed({}, bytes, 0, sizeof head, head, got, 0)) {
        // A map that faults at offset 0 belongs to a file that is now empty.
        if (!bytes.direct()) return *err;
        got = 0;
    }
    try {
        return std::string(head, got);
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Result<Compression> detect_compression(const ByteSource& bytes) {
    auto head = file_head(bytes);
    if (!head.ok()) return head.error();
    return detect_compression(head.value());
}

bool damaged_bgzf_head(std::string_view head) {
    return head.size() >= 16 && head.substr(10, 6) == std::string_view("\x06\0BC\x02\0", 6);
}

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::None: return "uncompressed";
        case Compression::Bgzf: return "BGZF";
        case Compression::Gzip: return "gzip";
        case Compression::Xz: return "xz";
        case Compression::Bzip2: return "bzip2";
        case Compression::Zstd: return "zstd";
    }
    return "an unknown format";
}

FaidxError no_random_access_error(const std::string& path, Compression c) {
    return io_error(path + " is compressed with " + compression_name(c) +
                    ", which allows no random access; recompress it with bgzip");
}

FaidxError no_decompressor_error(const std::string& path) {
    return io_error(path + " is BGZF-compressed, but sekva was built without a decompressor (libdeflate or zlib)");
}

bool can_inflate() { return inflate_backend() != nullptr; }

// ---- Blocks ----

FaidxError block_error(const std::string& path, std::uint64_t coffset, BlockFault fault) {
    std::string at = std::to_string(coffset);
    const char* reason = "unknown fault";
    switch (fault) {
        case BlockFault::Truncated:
            return io_error(path + ": truncated BGZF file: the block at compressed offset " + at +
                            " ends past the end of the file");
        case BlockFault::Shrunk: return file_shrank_error();  // as the plain file's reads say it
        case BlockFault::NoMemory: return io_error_from_errno(ENOMEM);
        case BlockFault::NoDecompressor: return no_decompressor_error(path);
        case BlockFault::None: reason = "no fault"; break;
        case BlockFault::BadMagic: reason = "not a gzip member with deflate data"; break;
        case BlockFault::BadFlags: reason = "header flags other than FEXTRA"; break;
        case BlockFault::BadExtra: reason = "no BC subfield in the extra field"; break;
        case BlockFault::BadSize: reason = "BSIZE too small for the header and footer"; break;
        case BlockFault::IsizeTooLarge: reason = "ISIZE above 65536"; break;
        case BlockFault::BadDeflate: reason = "invalid deflate data"; break;
        case BlockFault::TooLong: reason = "deflate data holds more bytes than ISIZE"; break;
        case BlockFault::TooShort: reason = "deflate data holds fewer bytes than ISIZE"; break;
        case BlockFault::CrcMismatch: reason = "CRC mismatch"; break;
        case BlockFault::TableMismatch: reason = "not the block the block index (.gzi) describes"; break;
    }
    return io_error(path + ": corrupt BGZF block at compressed offset " + at + ": " + reason);
}

BlockFault parse_block_header(const unsigned char* p, std::size_t avail, BlockHeader& out) {
    if (avail < 12) {
        // Even a cut-off header must start like one to count as truncated rather than foreign.
        bool prefix = (avail < 1 || p[0] == GZIP_ID1) && (avail < 2 || p[1] == GZIP_ID2) && (avail < 3 || p[2] == DEFLATE);
        return prefix ? BlockFault::Truncated : BlockFault::BadMagic;
    }
    if (p[0] != GZIP_ID1 || p[1] != GZIP_ID2 || p[2] != DEFLATE) return BlockFault::BadMagic;
    // FTEXT is only a hint; every field other than the extra one would move the deflate data.
    if (!(p[3] & FEXTRA) || (p[3] & ~(FTEXT | FEXTRA))) return BlockFault::BadFlags;
    std::size_t xlen = le16(p + 10);
    if (avail - 12 < xlen) return BlockFault::Truncated;
    std::uint16_t bsize;
    if (!find_bsize(p + 12, xlen, bsize)) return BlockFault::BadExtra;
    std::uint32_t size = static_cast<std::uint32_t>(bsize) + 1;
    if (size < 12 + xlen + BGZF_FOOTER) return BlockFault::BadSize;
    out.size = size;
    out.data_offset = static_cast<std::uint32_t>(12 + xlen);
    return BlockFault::None;
}

BlockFooter parse_block_footer(const unsigned char* block, std::uint32_t size) {
    const unsigned char* f = block + size - BGZF_FOOTER;
    return {le32(f), le32(f + 4)};
}

BlockFault inflate_block(const unsigned char* p, std::size_t avail, char* out, std::uint32_t& isize) {
    BlockHeader h;
    if (BlockFault fault = parse_block_header(p, avail, h); fault != BlockFault::None) return fault;
    if (h.size > avail) return BlockFault::Truncated;
    BlockFooter f = parse_block_footer(p, h.size);
    if (f.isize > BGZF_MAX_BLOCK) return BlockFault::IsizeTooLarge;
    InflateStatus status;
    Inflater* inflater = Inflater::for_this_thread(status);
    if (!inflater) return fault_of(status);
    isize = f.isize;
    return inflate_data(*inflater, p, h, f, out);
}

bool has_eof_marker(const ByteSource& bytes) {
    // What bgzip and htslib write last: an empty block, byte for byte.
    static constexpr unsigned char marker[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C',
                                                 2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    char tail[sizeof marker];
    std::size_t got;
    if (bytes.size() < sizeof marker || read_compressed({}, bytes, bytes.size() - sizeof marker, sizeof marker, tail, got, 0))
        return false;
    return got == sizeof marker && std::memcmp(tail, marker, sizeof marker) == 0;
}

// ---- The block table ----

namespace {

// A block whose footer says it holds nothing is skipped by every table, so it must prove it: a CRC
// of 0 and deflate data that inflates to nothing. A zeroed footer on a block with data would
// otherwise drop its bytes from the data without a word. Empty blocks are small (28 bytes from
// bgzip), so reading one whole costs nothing. `block` holds the whole block.
BlockFault check_empty_block(const unsigned char* block, const BlockHeader& h, std::uint32_t crc) {
    if (crc != 0) return BlockFault::CrcMismatch;
    InflateStatus status;
    Inflater* inflater = Inflater::for_this_thread(status);
    if (!inflater) return fault_of(status);
    char nothing;  // room for no byte: a stream that holds one fails as TooLong
    return fault_of(inflater->inflate(block + h.data_offset, h.size - h.data_offset - BGZF_FOOTER, &nothing, 0));
}

}  // namespace

Result<BlockExtent> peek_block(const std::string& path, const ByteSource& bytes, std::uint64_t coffset,
                               BlockFault* fault_out) {
    BlockFault unused;
    BlockFault& fault = fault_out ? *fault_out : unused;
    fault = BlockFault::None;
    unsigned char head[BGZF_HEADER];
    std::size_t got;
    if (Status err = read_compressed(path, bytes, coffset, sizeof head, reinterpret_cast<char*>(head), got, coffset))
        return *err;
    BlockHeader h;
    fault = parse_block_header(head, got, h);
    if (fault == BlockFault::Truncated && got == sizeof head) {
        // A longer extra field than bgzip writes: read the whole header.
        Scratch* s = scratch();
        if (!s) return io_error_from_errno(ENOMEM);
        std::size_t want = 12 + static_cast<std::size_t>(le16(head + 10));
        if (Status err = read_compressed(path, bytes, coffset, want, reinterpret_cast<char*>(s->compressed), got, coffset))
            return *err;
        fault = parse_block_header(s->compressed, got, h);
    }
    if (fault == BlockFault::None && bytes.size() - coffset < h.size) fault = BlockFault::Truncated;
    if (fault != BlockFault::None) return block_error(path, coffset, fault);
    unsigned char foot[BGZF_FOOTER];
    if (Status err = read_compressed(path, bytes, coffset + h.size - BGZF_FOOTER, sizeof foot, reinterpret_cast<char*>(foot),
                             got, coffset))
        return *err;
    if (got < sizeof foot) fault = BlockFault::Truncated;
    else if (le32(foot + 4) > BGZF_MAX_BLOCK) fault = BlockFault::IsizeTooLarge;
    if (fault == BlockFault::None && le32(foot + 4) == 0) {
        Scratch* s = scratch();
        if (!s) return io_error_from_errno(ENOMEM);
        if (Status err = read_compressed(path, bytes, coffset, h.size, reinterpret_cast<char*>(s->compressed), got, coffset))
            return *err;
        fault = got < h.size ? BlockFault::Truncated : check_empty_block(s->compressed, h, le32(foot));
    }
    if (fault != BlockFault::None) return block_error(path, coffset, fault);
    return BlockExtent{h.size, le32(foot + 4)};
}

Result<std::optional<std::uint32_t>> isize_before(const std::string& path, const ByteSource& bytes, std::uint64_t end) {
    if (end < BGZF_FOOTER || end > bytes.size()) return std::optional<std::uint32_t>();
    unsigned char foot[4];
    std::size_t got;
    if (Status err = read_compressed(path, bytes, end - 4, 4, reinterpret_cast<char*>(foot), got, end - 4)) return *err;
    if (got < 4) return std::optional<std::uint32_t>();
    return std::optional<std::uint32_t>(le32(foot));
}

Result<BlockTable> scan_block_table(const std::string& path, const ByteSource& bytes) {
    try {
        BlockTable table;
        std::uint64_t c = 0, u = 0;
        while (c < bytes.size()) {
            auto block = peek_block(path, bytes, c);
            if (!block.ok()) return block.error();
            if (block.value().isize > 0) {
                table.blocks.push_back({c, u});
                if (__builtin_add_overflow(u, block.value().isize, &u))
                    return io_error(path + ": BGZF data larger than 2^64 bytes");
            }
            c += block.value().size;  // no overflow: peek_block checked it ends inside the file
        }
        table.usize = u;
        return table;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Status check_block_table(const std::string& path, const BlockTable& table, std::uint64_t file_size) {
    const auto& b = table.blocks;
    if (b.empty()) {
        if (table.usize != 0) return io_error(table_message(path, "data without blocks"));
        return std::nullopt;
    }
    if (b[0].uoffset != 0) return io_error(table_message(path, "the first block does not start the data"));
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (b[i].coffset >= file_size) return io_error(table_message(path, "a block starts past the end of the file"));
        if (i == 0) continue;
        if (b[i].coffset <= b[i - 1].coffset || b[i].uoffset <= b[i - 1].uoffset)
            return io_error(table_message(path, "offsets do not increase"));
        if (b[i].uoffset - b[i - 1].uoffset > BGZF_MAX_BLOCK)
            return io_error(table_message(path, "a block holds more than 65536 bytes"));
    }
    if (table.usize <= b.back().uoffset || table.usize - b.back().uoffset > BGZF_MAX_BLOCK)
        return io_error(table_message(path, "the last block is empty or holds more than 65536 bytes"));
    return std::nullopt;
}

// ---- BgzfFile ----

BgzfFile::BgzfFile(std::string path, std::shared_ptr<const ByteSource> compressed, BlockTable table)
    : ByteSource(std::move(path)), compressed_(std::move(compressed)), table_(std::move(table)) {}

Result<std::shared_ptr<BgzfFile>> BgzfFile::open(std::string path, std::shared_ptr<const ByteSource> compressed,
                                                 BlockTable table) {
    if (Status err = check_block_table(path, table, compressed->size())) return *err;
    try {
        return std::shared_ptr<BgzfFile>(new BgzfFile(std::move(path), std::move(compressed), std::move(table)));
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

std::uint64_t BgzfFile::block_end(std::size_t i) const {
    return i + 1 < table_.blocks.size() ? table_.blocks[i + 1].uoffset : table_.usize;
}

std::size_t BgzfFile::block_at(std::uint64_t uoffset) const {
    const auto& b = table_.blocks;
    auto it = std::upper_bound(b.begin(), b.end(), uoffset,
                               [](std::uint64_t u, const BlockStart& s) { return u < s.uoffset; });
    return static_cast<std::size_t>(it - b.begin()) - 1;  // block 0 starts at 0, so it is never begin()
}

bool BgzfFile::shrank() const { return compressed_->shrank(); }

Result<std::size_t> BgzfFile::read_some(std::uint64_t offset, std::size_t n, char* out) const {
    auto r = read_with(offset, n, out, false);
    if (!r.ok()) return std::move(r.error());
    return static_cast<std::size_t>(r.value());
}

Result<std::uint64_t> BgzfFile::read_long(std::uint64_t offset, std::uint64_t n, char* out) const {
    return read_with(offset, n, out, n >= LONG_READ);
}

std::unique_ptr<SourceCursor> BgzfFile::cursor() const { return std::make_unique<BgzfCursor>(*this); }

FaidxError BgzfFile::nul_error() const {
    return io_error(name() + ": the decompressed FASTA text holds a NUL byte, which no FASTA file holds");
}

Status BgzfFile::inflate(std::size_t i, char* out) const {
    Status err = inflate_block_of_table(i, out);
    // A file cut after it was opened reads as a block that is not there or not whole (the tail of
    // the last mapped page reads as zeros): that is the file shrinking, not a corrupt block.
    if (err && shrank()) return file_shrank_error();
    return err;
}

Status BgzfFile::inflate_block_of_table(std::size_t i, char* out) const {
    const BlockStart& start = table_.blocks[i];
    bool last = i + 1 == table_.blocks.size();
    std::uint64_t limit = last ? compressed_->size() : table_.blocks[i + 1].coffset;
    auto expect = static_cast<std::uint32_t>(block_end(i) - start.uoffset);
    InflateStatus status;
    Inflater* inflater = Inflater::for_this_thread(status);
    if (!inflater) return block_error(name(), start.coffset, fault_of(status));

    BlockFault fault = BlockFault::None;
    std::uint32_t size = 0;
    if (const char* map = compressed_->direct()) {
        auto* p = reinterpret_cast<const unsigned char*>(map + start.coffset);
        std::size_t avail = static_cast<std::size_t>(limit - start.coffset);
        // The block is read and inflated straight from the map; a fault leaves nothing behind
        // (the decompressor is reset before its next use).
        if (!guarded_read([&] { fault = decode_table_block(*inflater, p, avail, last, expect, out, size); }))
            fault = BlockFault::Shrunk;
    } else {
        Scratch* s = scratch();
        if (!s) return io_error_from_errno(ENOMEM);
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - start.coffset, BGZF_MAX_BLOCK));
        // A remote file is asked for this block alone, unless a job staged it already.
        std::unique_ptr<StagedReads> staged;
        if (compressed_->stages_reads()) {
            const ByteSpan block{start.coffset, start.coffset + want};
            staged = compressed_->stage(std::span<const ByteSpan>(&block, 1));
        }
        std::size_t got;
        if (Status err = read_compressed(name(), *compressed_, start.coffset, want, reinterpret_cast<char*>(s->compressed), got,
                                 start.coffset))
            return err;
        // A read cut short by the end of the file makes a block that does not fit a truncation.
        bool to_file_end = last || got < want;
        fault = decode_table_block(*inflater, s->compressed, got, to_file_end, expect, out, size);
    }
    if (fault != BlockFault::None) return block_error(name(), start.coffset, fault);
    // Only empty blocks may come between two blocks of the table: a table (or .gzi) that leaves a
    // block with data out would otherwise read as data with a piece missing.
    if (!last && limit - start.coffset != size) return only_empty_blocks(start.coffset + size, limit);
    return std::nullopt;
}

std::unique_ptr<StagedReads> BgzfFile::stage(std::span<const ByteSpan> spans) const {
    if (!compressed_->stages_reads()) return nullptr;
    try {
        std::vector<ByteSpan> blocks;
        for (const ByteSpan& s : spans) {
            const std::uint64_t end = std::min(s.end, size());
            if (s.begin >= end) continue;
            const std::size_t first = block_at(s.begin), last = block_at(end - 1) + 1;
            const ByteSpan c{table_.blocks[first].coffset,
                             last < table_.blocks.size() ? table_.blocks[last].coffset : compressed_->size()};
            if (!blocks.empty() && c.begin <= blocks.back().end)
                blocks.back().end = std::max(blocks.back().end, c.end);
            else
                blocks.push_back(c);
        }
        return compressed_->stage(blocks);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Status BgzfFile::only_empty_blocks(std::uint64_t from, std::uint64_t to) const {
    while (from < to) {
        auto block = peek_block(name(), *compressed_, from);
        if (!block.ok()) return block.error();
        if (block.value().isize != 0 || to - from < block.value().size)
            return io_error(name() + ": the BGZF block table (or .gzi) leaves out the block at compressed offset " +
                            std::to_string(from));
        from += block.value().size;
    }
    return std::nullopt;
}

Status BgzfFile::inflate_parallel(std::size_t first, std::size_t last, char* out) const {
    if (last <= first) return std::nullopt;
    if (last - first == 1) return inflate(first, out);
    const std::uint64_t base = block_begin(first);
    FirstFailure failed;
    JobOutcome outcome = run_parallel(last - first, [&](std::size_t a, std::size_t b) {
        for (std::size_t k = a; k < b; ++k) {
            std::size_t i = first + k;
            if (Status err = inflate(i, out + (block_begin(i) - base))) failed.add(i, std::move(*err));
        }
    });
    return first_failure(failed, std::move(outcome));
}

bool BgzfFile::from_cache(std::size_t block, std::uint64_t from, std::uint64_t n, char* out) const {
    std::lock_guard lock(cache_mutex_);
    for (CacheSlot& slot : cache_) {
        if (slot.block != block) continue;
        slot.used = ++tick_;
        std::memcpy(out, slot.bytes.get() + from, static_cast<std::size_t>(n));
        return true;
    }
    return false;
}

void BgzfFile::to_cache(std::size_t block, const char* bytes, std::uint32_t size) const {
    std::lock_guard lock(cache_mutex_);
    CacheSlot* victim = &cache_[0];
    for (CacheSlot& slot : cache_) {
        if (slot.block == block) {  // another thread inflated it meanwhile
            slot.used = ++tick_;
            return;
        }
        if (slot.used < victim->used) victim = &slot;
    }
    // Slots get their memory when first filled; a cache that cannot grow just stays smaller.
    if (!victim->bytes) victim->bytes.reset(new (std::nothrow) char[BGZF_MAX_BLOCK]);
    if (!victim->bytes) return;
    std::memcpy(victim->bytes.get(), bytes, size);
    victim->block = block;
    victim->size = size;
    victim->used = ++tick_;
}

Result<std::uint64_t> BgzfFile::read(std::uint64_t offset, std::uint64_t n, char* out) const {
    return read_with(offset, n, out, false);
}

Result<std::uint64_t> BgzfFile::read_parallel(std::uint64_t offset, std::uint64_t n, char* out) const {
    return read_with(offset, n, out, true);
}

Result<std::uint64_t> BgzfFile::read_with(std::uint64_t offset, std::uint64_t n, char* out, bool parallel) const {
    if (offset >= size() || n == 0) return std::uint64_t{0};
    n = std::min(n, size() - offset);
    const std::uint64_t end = offset + n;
    const std::size_t first = block_at(offset), last = block_at(end - 1) + 1;

    // Only the first and the last block can be read in part.
    auto part = [&](std::size_t i) -> Status {
        std::uint64_t b = block_begin(i), from = std::max(offset, b) - b, to = std::min(end, block_end(i)) - b;
        char* dest = out + (b + from - offset);
        if (from_cache(i, from, to - from, dest)) return std::nullopt;
        Scratch* s = scratch();
        if (!s) return io_error_from_errno(ENOMEM);
        if (Status err = inflate(i, s->inflated)) return err;
        std::memcpy(dest, s->inflated + from, static_cast<std::size_t>(to - from));
        to_cache(i, s->inflated, static_cast<std::uint32_t>(block_end(i) - b));
        return std::nullopt;
    };
    auto whole = [&](std::size_t i) { return block_begin(i) >= offset && block_end(i) <= end; };

    std::size_t mid_first = first, mid_last = last;
    if (!whole(first)) {
        if (Status err = part(first)) return *err;
        ++mid_first;
    }
    if (mid_last > mid_first && !whole(last - 1)) {
        if (Status err = part(last - 1)) return *err;
        --mid_last;
    }
    if (parallel && mid_last - mid_first > 1) {
        if (Status err = inflate_parallel(mid_first, mid_last, out + (block_begin(mid_first) - offset))) return *err;
    } else {
        for (std::size_t i = mid_first; i < mid_last; ++i) {
            char* dest = out + (block_begin(i) - offset);
            if (from_cache(i, 0, block_end(i) - block_begin(i), dest)) continue;
            if (Status err = inflate(i, dest)) return *err;
        }
    }
    return n;
}

// ---- BgzfCursor ----

Result<std::string_view> BgzfCursor::view(std::uint64_t offset, std::uint64_t n) {
    const BgzfFile& f = *file_;
    if (offset >= f.size() || n == 0) return std::string_view();
    n = std::min(n, f.size() - offset);
    const std::size_t a = f.block_at(offset), b = f.block_at(offset + n - 1) + 1;
    if (!(first_ <= a && a < last_)) first_ = last_ = a;  // nothing to keep
    const std::uint64_t base = f.block_begin(a);
    const std::uint64_t kept = last_ > a ? f.block_end(last_ - 1) - base : 0, need = f.block_end(b - 1) - base;
    if (last_ < b) {
        // Keep the blocks from `a` on that the window already holds, at its front.
        try {
            if (need > window_.size()) {
                std::vector<char> grown(static_cast<std::size_t>(std::max<std::uint64_t>(need, window_.size() * 2)));
                if (kept) std::memcpy(grown.data(), window_.data() + (base - f.block_begin(first_)), kept);
                window_.swap(grown);
            } else if (kept && first_ < a) {
                std::memmove(window_.data(), window_.data() + (base - f.block_begin(first_)), kept);
            }
        } catch (const std::bad_alloc&) {
            first_ = last_ = 0;
            return io_error_from_errno(ENOMEM);
        }
        first_ = a;
        for (std::size_t i = last_; i < b; ++i) {
            if (Status err = f.inflate(i, window_.data() + (f.block_begin(i) - base))) {
                last_ = i;  // the blocks before it are good
                return *err;
            }
            last_ = i + 1;
        }
    }
    return std::string_view(window_.data() + (offset - f.block_begin(first_)), static_cast<std::size_t>(n));
}

Result<std::uint64_t> BgzfCursor::read(std::uint64_t offset, std::uint64_t n, char* out) {
    const BgzfFile& f = *file_;
    if (offset >= f.size() || n == 0) return std::uint64_t{0};
    n = std::min(n, f.size() - offset);
    const std::uint64_t end = offset + n;
    for (std::size_t i = f.block_at(offset), last = f.block_at(end - 1); i <= last; ++i) {
        std::uint64_t b = f.block_begin(i), e = f.block_end(i);
        std::uint64_t from = std::max(offset, b), to = std::min(end, e);
        char* dest = out + (from - offset);
        bool held = first_ <= i && i < last_;
        if (from == b && to == e && !held) {
            if (Status err = f.inflate(i, dest)) return *err;
            continue;
        }
        auto bytes = view(from, to - from);
        if (!bytes.ok()) return bytes.error();
        std::memcpy(dest, bytes.value().data(), bytes.value().size());
    }
    return n;
}

// ---- The pass over the data, piece by piece ----

Status for_each_piece(const BgzfFile& file, std::size_t blocks_per_piece,
                      const std::function<Status(std::string_view piece, std::uint64_t uoffset)>& consume) {
    const std::size_t blocks = file.block_count();
    if (blocks == 0) return std::nullopt;
    const std::size_t per = std::max<std::size_t>(1, std::min(blocks_per_piece, blocks));
    const std::size_t pieces = blocks / per + (blocks % per != 0);
    std::size_t room;
    if (__builtin_mul_overflow(per, std::size_t{BGZF_MAX_BLOCK}, &room)) return io_error_from_errno(ENOMEM);
    try {
        std::unique_ptr<char[]> buffers[2];
        for (auto& b : buffers) b.reset(new char[room]);
        auto first_block = [&](std::size_t k) { return k * per; };
        auto last_block = [&](std::size_t k) { return std::min(blocks, (k + 1) * per); };
        auto hand_over = [&](std::size_t k) {
            std::uint64_t b = file.block_begin(first_block(k)), e = file.block_end(last_block(k) - 1);
            return consume(std::string_view(buffers[k % 2].get(), static_cast<std::size_t>(e - b)), b);
        };
        // Piece k is inflated on the pool while this thread hands piece k - 1 over, then helps
        // with what is left of piece k.
        for (std::size_t k = 0; k < pieces; ++k) {
            const std::size_t first = first_block(k);
            const std::uint64_t base = file.block_begin(first);
            char* into = buffers[k % 2].get();
            FirstFailure failed;
            ParallelJob job(last_block(k) - first, [&](std::size_t a, std::size_t b) {
                for (std::size_t i = first + a; i < first + b; ++i)
                    if (Status err = file.inflate(i, into + (file.block_begin(i) - base))) failed.add(i, std::move(*err));
            });
            job.publish(last_block(k) - first);
            Status consumed = k > 0 ? hand_over(k - 1) : std::nullopt;
            Status inflated = first_failure(failed, job.finish());
            if (consumed) return consumed;
            if (inflated) return inflated;
        }
        return hand_over(pieces - 1);
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Status check_blocks(const BgzfFile& file, const std::function<bool()>& keep_going, const FaidxError& stopped) {
    return for_each_piece(file, 64, [&](std::string_view, std::uint64_t) -> Status {
        if (!keep_going()) return stopped;
        return std::nullopt;
    });
}

}  // namespace sekva
