// BGZF, the blocked gzip that bgzip writes: telling compressed files apart, parsing and inflating
// blocks, the table of blocks, and random access to the uncompressed bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/io/byte_source.hpp"

namespace sekva {

// ---- What a file is compressed with, from its first bytes ----

enum class Compression : std::uint8_t { None, Bgzf, Gzip, Xz, Bzip2, Zstd };

// Detection never needs more than this many leading bytes (a BC subfield further into a longer
// extra field is not looked for; bgzip always writes it first).
inline constexpr std::size_t DETECT_BYTES = 64;

// From the first bytes of a file (fewer when the file is shorter). An empty or unrecognised head
// is None: the file is taken as plain text.
Compression detect_compression(std::string_view head);
// "uncompressed", "BGZF", "gzip", "xz", "bzip2", "zstd".
const char* compression_name(Compression c);
// Io "{path} is compressed with {name}, which allows no random access; recompress it with bgzip".
FaidxError no_random_access_error(const std::string& path, Compression c);
// Io "{path} is BGZF-compressed, but sekva was built without a decompressor (libdeflate or zlib)".
FaidxError no_decompressor_error(const std::string& path);
// False when sekva was built with neither libdeflate nor zlib: BGZF files are then refused.
bool can_inflate();

// ---- The compressed bytes ----

// The first DETECT_BYTES bytes (or fewer) of the file.
Result<std::string> file_head(const ByteSource& bytes);
// The compression of the file's first bytes.
Result<Compression> detect_compression(const ByteSource& bytes);
// Whether a head that is not BGZF's still carries the extra field bgzip writes (bytes 10 to 15):
// a BGZF file whose first bytes were damaged. No text file holds those NUL bytes.
bool damaged_bgzf_head(std::string_view head);

// ---- Blocks ----

inline constexpr std::uint32_t BGZF_MAX_BLOCK = 65536;  // largest block, and largest ISIZE
inline constexpr std::uint32_t BGZF_HEADER = 18;        // header with the BC subfield alone
inline constexpr std::uint32_t BGZF_FOOTER = 8;         // CRC32, ISIZE

// What is wrong with a block. Every fault reaches the user as an Io error naming the file and the
// block's compressed offset (block_error).
enum class BlockFault : std::uint8_t {
    None,
    BadMagic,        // no gzip magic or not deflate
    BadFlags,        // FEXTRA missing, or FNAME, FCOMMENT, FHCRC or reserved bits set
    BadExtra,        // subfields that overrun XLEN, or no BC subfield of length 2
    BadSize,         // BSIZE too small for the header and footer
    Truncated,       // the file ends inside the block
    IsizeTooLarge,   // ISIZE above 65536
    BadDeflate,      // the deflate data does not inflate
    TooLong,         // the deflate data holds more than ISIZE bytes
    TooShort,        // the deflate data holds fewer than ISIZE bytes
    CrcMismatch,     // the inflated bytes' CRC32 differs from the footer's
    TableMismatch,   // the block is not what the block table (or .gzi) says is there
    Shrunk,          // the mapped file shrank while it was open
    NoMemory,        // this thread's decompressor could not be allocated
    NoDecompressor,  // built without libdeflate and zlib
};

// "{path}: corrupt BGZF block at compressed offset {n}: CRC mismatch", or the truncation, shrink,
// memory and build messages for those faults.
FaidxError block_error(const std::string& path, std::uint64_t coffset, BlockFault fault);

struct BlockHeader {
    std::uint32_t size;         // the whole block, header to footer: BSIZE + 1
    std::uint32_t data_offset;  // where the deflate data starts: 12 + XLEN
};

// The header at p, of which `avail` bytes can be read. Truncated when the header itself (12 +
// XLEN bytes) does not fit; the block's size is not checked against `avail`.
BlockFault parse_block_header(const unsigned char* p, std::size_t avail, BlockHeader& out);

struct BlockFooter {
    std::uint32_t crc;
    std::uint32_t isize;  // uncompressed bytes in the block
};

// The footer of a whole block (its last 8 bytes) of `size` bytes.
BlockFooter parse_block_footer(const unsigned char* block, std::uint32_t size);

// Checks and inflates the block at p (of which `avail` bytes can be read) into out, which has room
// for BGZF_MAX_BLOCK bytes; `isize` is set to the uncompressed size. The CRC32 and size are
// checked. Uses this thread's decompressor.
BlockFault inflate_block(const unsigned char* p, std::size_t avail, char* out, std::uint32_t& isize);

// Whether the file ends with the empty block bgzip writes last; a file without it was most likely
// cut short at a block boundary.
bool has_eof_marker(const ByteSource& bytes);

// ---- The block table ----

// Where a block starts in the compressed file and in the uncompressed data.
struct BlockStart {
    std::uint64_t coffset;
    std::uint64_t uoffset;
};

// Every block that holds data, in file order; empty blocks (the end-of-file marker, or those left
// between concatenated files) are left out, as htslib leaves them out of the .gzi. A block is only
// taken for empty once it proved it (CRC 0 and deflate data that inflates to nothing). Block i holds
// uncompressed bytes [blocks[i].uoffset, blocks[i + 1].uoffset), the last one up to usize.
struct BlockTable {
    std::vector<BlockStart> blocks;
    std::uint64_t usize = 0;
};

struct BlockExtent {
    std::uint32_t size;   // the whole block
    std::uint32_t isize;  // uncompressed bytes in it
};

// The block at `coffset`, from its header and footer alone: Truncated when it ends past the file.
// `fault`, when given, is set to what is wrong with the block (None for errors of the read itself).
Result<BlockExtent> peek_block(const std::string& path, const ByteSource& bytes, std::uint64_t coffset,
                               BlockFault* fault = nullptr);

// The ISIZE of the block that ends at compressed offset `end` (the 4 bytes before it): the one small
// read per block that checks a .gzi's uncompressed offsets. Nothing when `end` lies outside the
// file or too near its start; errors are those of the read.
Result<std::optional<std::uint32_t>> isize_before(const std::string& path, const ByteSource& bytes, std::uint64_t end);

// Builds the table from the block headers and footers alone (BSIZE and ISIZE), inflating only the
// empty blocks. The whole file must be blocks; a missing end-of-file marker is accepted, as htslib
// accepts it. A damaged ISIZE would shift every later block, so the table is unchecked until every
// block was inflated against it once (check_blocks, or a pass that reads all the data).
Result<BlockTable> scan_block_table(const std::string& path, const ByteSource& bytes);

// Checks a table from elsewhere (a .gzi, a fuzzer) against the file size: the first block at
// uncompressed 0, offsets strictly increasing, every block 1 to 65536 bytes, every compressed
// offset inside the file. Nothing is read from the file.
Status check_block_table(const std::string& path, const BlockTable& table, std::uint64_t file_size);

// ---- Random access ----

// The uncompressed bytes of one BGZF file: a byte source over the source of its compressed bytes.
// The table is only read after construction and the cache has its own lock, so any number of
// threads may read at once.
class BgzfFile final : public ByteSource {
public:
    // Checks the table (check_block_table) and takes it; the compressed bytes are kept alive with it.
    static Result<std::shared_ptr<BgzfFile>> open(std::string path, std::shared_ptr<const ByteSource> compressed,
                                                  BlockTable table);

    const std::string& path() const { return name(); }
    const BlockTable& table() const { return table_; }
    std::uint64_t size() const override { return table_.usize; }
    // Through the shared cache, on this thread.
    Result<std::size_t> read_some(std::uint64_t offset, std::size_t n, char* out) const override;
    // From LONG_READ bytes on, the blocks are inflated on the worker pool.
    Result<std::uint64_t> read_long(std::uint64_t offset, std::uint64_t n, char* out) const override;
    bool ordered_reads() const override { return true; }
    // Over a remote file: the spans' blocks are handed to it, and a block read alone is asked for
    // exactly.
    bool stages_reads() const override { return compressed_->stages_reads(); }
    std::unique_ptr<StagedReads> stage(std::span<const ByteSpan> spans) const override;
    std::unique_ptr<SourceCursor> cursor() const override;
    std::size_t piece_bytes() const override { return 4 << 20; }
    FaidxError nul_error() const override;
    static constexpr std::uint64_t LONG_READ = 1 << 20;
    std::size_t block_count() const { return table_.blocks.size(); }
    std::uint64_t block_begin(std::size_t i) const { return table_.blocks[i].uoffset; }
    std::uint64_t block_end(std::size_t i) const;
    // The block holding uncompressed byte `uoffset` (which must be below size()).
    std::size_t block_at(std::uint64_t uoffset) const;

    // Copies uncompressed bytes [offset, offset + n) to out and returns how many: fewer when the
    // data ends first, 0 from its end on. Blocks read whole go straight into out; blocks read in
    // part go through the cache, so nearby reads inflate them once. Any thread, no pool.
    Result<std::uint64_t> read(std::uint64_t offset, std::uint64_t n, char* out) const;
    // As read, with the blocks it reads whole inflated on the worker pool (the calling thread
    // working on them too): for one long read.
    Result<std::uint64_t> read_parallel(std::uint64_t offset, std::uint64_t n, char* out) const;

    // Inflates block i into out (room for block_end(i) - block_begin(i) bytes) on this thread,
    // bypassing the cache.
    Status inflate(std::size_t i, char* out) const;
    // Inflates blocks [first, last) back to back into out on the worker pool; a failure reports
    // the first failed block in file order.
    Status inflate_parallel(std::size_t first, std::size_t last, char* out) const;
    // Whether the compressed file is now shorter than when it was opened.
    bool shrank() const override;

    BgzfFile(const BgzfFile&) = delete;
    BgzfFile& operator=(const BgzfFile&) = delete;

private:
    BgzfFile(std::string path, std::shared_ptr<const ByteSource> compressed, BlockTable table);
    Status inflate_block_of_table(std::size_t i, char* out) const;
    Status only_empty_blocks(std::uint64_t from, std::uint64_t to) const;
    bool from_cache(std::size_t block, std::uint64_t from, std::uint64_t n, char* out) const;
    void to_cache(std::size_t block, const char* bytes, std::uint32_t size) const;
    Result<std::uint64_t> read_with(std::uint64_t offset, std::uint64_t n, char* out, bool parallel) const;

    struct CacheSlot {
        std::size_t block = SIZE_MAX;
        std::uint64_t used = 0;  // tick of the last use, for least-recently-used eviction
        std::uint32_t size = 0;
        std::unique_ptr<char[]> bytes;
    };
    static constexpr std::size_t CACHE_SLOTS = 8;

    std::shared_ptr<const ByteSource> compressed_;
    BlockTable table_;
    mutable std::mutex cache_mutex_;
    mutable std::array<CacheSlot, CACHE_SLOTS> cache_;
    mutable std::uint64_t tick_ = 0;
};

// A reader for one thread that keeps a window of consecutive inflated blocks, for a worker that
// walks regions in file order: however many regions share a block, it is inflated once. No lock
// and no shared cache; one cursor per worker.
class BgzfCursor final : public SourceCursor {
public:
    explicit BgzfCursor(const BgzfFile& file) : file_(&file) {}

    // Uncompressed bytes [offset, offset + n), cut at the end of the data, as one contiguous view
    // valid until the next call. The window keeps blocks it already holds; it grows to the span
    // asked for, so long spans are better read with read().
    Result<std::string_view> view(std::uint64_t offset, std::uint64_t n) override;
    // As BgzfFile::read, through this cursor's window instead of the shared cache.
    Result<std::uint64_t> read(std::uint64_t offset, std::uint64_t n, char* out);

private:
    const BgzfFile* file_;
    std::vector<char> window_;
    std::size_t first_ = 0, last_ = 0;  // blocks [first_, last_) are in the window
};

// Inflates every block of the table once on the worker pool (into scratch memory, nothing kept),
// which proves each block's size and CRC and so the whole table: what bgzip -r does to build a
// .gzi. `keep_going` is asked between pieces; when it says no, the check fails with `stopped`.
Status check_blocks(const BgzfFile& file, const std::function<bool()>& keep_going, const FaidxError& stopped);

// Hands the uncompressed data to consume() in consecutive pieces of `blocks_per_piece` blocks (the
// last one shorter), in order, with the uncompressed offset of each piece. consume() runs on the
// calling thread, on piece k while the worker pool inflates piece k + 1; it can stop the pass
// (an interruption, say) by returning an error. A piece stays valid for the duration of its call.
// Stops at the first failure, consume's own or a block's.
Status for_each_piece(const BgzfFile& file, std::size_t blocks_per_piece,
                      const std::function<Status(std::string_view piece, std::uint64_t uoffset)>& consume);

}  // namespace sekva
