// Reading, completing and writing .gzi files.
#include "engine/codec/gzi_file.hpp"

#include <fcntl.h>

#include <cerrno>
#include <new>

#include "engine/io/fs.hpp"
#include "engine/io/replace_file.hpp"

namespace sekva {

namespace {

// htslib's count for a file without data: "blocks with data - 1" wrapped around.
constexpr std::uint64_t NO_DATA = UINT64_MAX;

std::uint64_t le64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

void put_le64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

FaidxError not_a_gzi(const std::string& gzi_path, const std::string& reason) {
    return io_error(gzi_path + ": not a valid .gzi index: " + reason);
}

FaidxError does_not_match(const std::string& gzi_path, const std::string& path, const std::string& reason) {
    return io_error(gzi_path + " does not match " + path + ": " + reason);
}

// The block at `from` must hold `step` bytes and reach, behind empty blocks only, the next start
// at `to`. Read from the blocks' headers and footers, for a step whose footer check failed: the
// block before `to` may be an empty one (files joined with cat leave their end-of-file markers).
Status check_step_by_blocks(const std::string& gzi_path, const std::string& path, const ByteSource& bytes,
                            std::uint64_t from, std::uint64_t to, std::uint64_t step) {
    for (std::uint64_t c = from; c < to;) {
        auto block = peek_block(path, bytes, c);
        if (!block.ok()) return block.error();
        if (c == from ? block.value().isize != step : block.value().isize != 0)
            return does_not_match(gzi_path, path, "the block at compressed offset " + std::to_string(c) + " holds " +
                                                      std::to_string(block.value().isize) + " bytes, where it lists " +
                                                      std::to_string(c == from ? step : 0));
        c += block.value().size;
        if (c > to)
            return does_not_match(gzi_path, path, "no block starts at compressed offset " + std::to_string(to) +
                                                      ", where it lists one");
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<BlockStart>> parse_gzi(std::string_view bytes, const std::string& gzi_path) {
    try {
        std::vector<BlockStart> starts;
        if (bytes.size() < 8) return not_a_gzi(gzi_path, "shorter than its 8-byte count");
        std::uint64_t count = le64(bytes.data());
        if (count == NO_DATA) {
            if (bytes.size() != 8) return not_a_gzi(gzi_path, "entries after the count of a file without data");
            return starts;
        }
        std::uint64_t need;
        if (__builtin_mul_overflow(count, 16, &need) || __builtin_add_overflow(need, 8, &need))
            return not_a_gzi(gzi_path, "a count of " + std::to_string(count) + " entries, more than any file holds");
        if (need != bytes.size())
            return not_a_gzi(gzi_path, std::to_string(bytes.size()) + " bytes, where its count of " +
                                           std::to_string(count) + " entries makes " + std::to_string(need));
        starts.reserve(static_cast<std::size_t>(count) + 1);
        starts.push_back({0, 0});
        for (std::uint64_t k = 0; k < count; ++k) {
            const char* p = bytes.data() + 8 + 16 * k;
            BlockStart s{le64(p), le64(p + 8)};
            const BlockStart& prev = starts.back();
            if (s.coffset <= prev.coffset || s.uoffset <= prev.uoffset)
                return not_a_gzi(gzi_path, "offsets do not increase at entry " + std::to_string(k + 1));
            if (s.uoffset - prev.uoffset > BGZF_MAX_BLOCK)
                return not_a_gzi(gzi_path, "entry " + std::to_string(k + 1) + " follows a block of more than 65536 bytes");
            starts.push_back(s);
        }
        return starts;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Result<BlockTable> table_from_gzi_starts(const std::string& gzi_path, const std::string& path,
                                         const ByteSource& bytes, std::vector<BlockStart> starts, bool check_steps) {
    BlockTable table;
    if (starts.empty()) {
        // The .gzi of a file without data: so must the file be.
        std::uint64_t c = 0;
        while (c < bytes.size()) {
            auto block = peek_block(path, bytes, c);
            if (!block.ok()) return block.error();
            if (block.value().isize) return does_not_match(gzi_path, path, "it lists no data, but the file has some");
            c += block.value().size;
        }
        return table;
    }
    if (starts.back().coffset >= bytes.size())
        return does_not_match(gzi_path, path, "a block starts past the end of the file");

    // htslib leaves the first block with data implicit at (0, 0), whatever empty blocks come
    // before it; the table points at the block itself.
    std::uint64_t c = 0, limit = starts.size() > 1 ? starts[1].coffset : bytes.size();
    for (;;) {
        auto block = peek_block(path, bytes, c);
        if (!block.ok()) return block.error();
        if (block.value().isize) break;
        c += block.value().size;
        if (c >= limit) {
            if (starts.size() == 1 && c == bytes.size()) return table;  // count 0 for a file without data
            return does_not_match(gzi_path, path, "no block with data where it lists the first one");
        }
    }
    starts[0].coffset = c;
    if (starts.size() > 1 && starts[0].coffset >= starts[1].coffset)
        return does_not_match(gzi_path, path, "no block with data where it lists the first one");

    // Every listed block's size is the step to the next uncompressed offset: one footer read each,
    // so that offsets shifted by a byte (or a block with a damaged ISIZE) are found before any read
    // returns bases from the wrong place. The last block is checked below.
    for (std::size_t i = 0; check_steps && i + 1 < starts.size(); ++i) {
        const std::uint64_t step = starts[i + 1].uoffset - starts[i].uoffset;
        auto isize = isize_before(path, bytes, starts[i + 1].coffset);
        if (!isize.ok()) return isize.error();
        if (isize.value() == step) continue;
        if (Status err = check_step_by_blocks(gzi_path, path, bytes, starts[i].coffset, starts[i + 1].coffset, step))
            return *err;
    }

    BlockFault fault;
    auto last = peek_block(path, bytes, starts.back().coffset, &fault);
    // No block header where the .gzi lists one: more likely a .gzi of another file than a corrupt file.
    bool no_header = fault == BlockFault::BadMagic || fault == BlockFault::BadFlags ||
                     fault == BlockFault::BadExtra || fault == BlockFault::BadSize;
    if (!last.ok() && no_header)
        return does_not_match(gzi_path, path, "no BGZF block starts at compressed offset " +
                                                  std::to_string(starts.back().coffset) + ", where it lists one");
    if (!last.ok()) return last.error();
    if (last.value().isize == 0) return does_not_match(gzi_path, path, "its last block holds no data");
    // Only empty blocks may follow, or the data would end early.
    for (std::uint64_t c = starts.back().coffset + last.value().size; c < bytes.size();) {
        auto block = peek_block(path, bytes, c);
        if (!block.ok()) return block.error();
        if (block.value().isize)
            return does_not_match(gzi_path, path, "it leaves out the block at compressed offset " + std::to_string(c));
        c += block.value().size;
    }
    if (__builtin_add_overflow(starts.back().uoffset, last.value().isize, &table.usize))
        return does_not_match(gzi_path, path, "offsets past 2^64");
    table.blocks = std::move(starts);
    if (Status err = check_block_table(path, table, bytes.size())) return *err;
    return table;
}

Result<BlockTable> read_gzi(const std::string& gzi_path, const std::string& path, const ByteSource& bytes,
                            bool check_steps) {
    try {
        auto file = open_file(gzi_path, O_RDONLY | O_NONBLOCK);  // never blocks on a FIFO
        if (!file.ok()) return FaidxError{ErrorKind::IndexNotFound, gzi_path};
        auto content = read_all(file.value().get());
        if (!content.ok()) return content.error();
        auto starts = parse_gzi(content.value(), gzi_path);
        if (!starts.ok()) return starts.error();
        return table_from_gzi_starts(gzi_path, path, bytes, std::move(starts.value()), check_steps);
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

std::string format_gzi(const BlockTable& table) {
    std::string out;
    const auto& b = table.blocks;
    out.reserve(8 + 16 * (b.empty() ? 0 : b.size() - 1));
    put_le64(out, b.empty() ? NO_DATA : b.size() - 1);
    for (std::size_t i = 1; i < b.size(); ++i) {
        put_le64(out, b[i].coffset);
        put_le64(out, b[i].uoffset);
    }
    return out;
}

Status write_gzi(const std::string& gzi_path, const BlockTable& table) {
    try {
        return write_file_replacing(gzi_path, format_gzi(table));
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

}  // namespace sekva
