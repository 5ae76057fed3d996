// Fuzz target for BGZF blocks: block parsing and inflation over any bytes, and BgzfFile reads over
// any compressed bytes with a scanned or an arbitrary block table. Reads either fail cleanly or
// agree with each other, whichever path (cache, cursor, pieces) produced them.
//
// The first input byte picks the mode: 0 inflates the rest as one block; 1 scans the rest as a
// file; 2 reads a block table from the next bytes (a count, then per block a 16-bit compressed
// step and a 17-bit size) and takes the rest as the file.
//
// Built on its own as: clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
//   -DSEKVA_HAVE_LIBDEFLATE -Isrc fuzz/fuzz_bgzf_block.cpp src/engine/*.cpp -ldeflate
// (or -DSEKVA_HAVE_ZLIB ... -lz), and run over fuzz/corpus/fuzz_bgzf_block/.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/bgzf.hpp"

namespace {

using namespace sekva;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_bgzf_block: %s\n", what);
    std::abort();
}

void inflate_one(const std::uint8_t* data, std::size_t size) {
    static char out[BGZF_MAX_BLOCK];
    std::uint32_t isize = 0;
    BlockFault fault = inflate_block(data, size, out, isize);
    if (fault == BlockFault::None) check(isize <= BGZF_MAX_BLOCK, "inflated block larger than 65536 bytes");
    BlockHeader h;
    if (parse_block_header(data, size, h) == BlockFault::None) {
        check(h.size >= h.data_offset + BGZF_FOOTER && h.size <= BGZF_MAX_BLOCK, "header sizes out of range");
        if (h.size <= size) (void)parse_block_footer(data, h.size);
    }
    (void)detect_compression(std::string_view(reinterpret_cast<const char*>(data), size));
}

// Every read of the file agrees with one read of the whole, when that one succeeds.
void read_every_way(const BgzfFile& file, const std::uint8_t* seed, std::size_t seed_size) {
    const std::uint64_t n = file.size();
    std::vector<char> whole(static_cast<std::size_t>(n) + 1), part(static_cast<std::size_t>(n) + 1);
    auto all = file.read(0, n, whole.data());
    bool known = all.ok();
    if (known) check(all.value() == n, "whole read came up short");

    BgzfCursor cursor(file);
    // Ranges from the input's own bytes, so the fuzzer steers them too.
    for (std::size_t k = 0; k + 3 < seed_size && k < 48; k += 4) {
        std::uint64_t off = (static_cast<std::uint64_t>(seed[k]) << 8 | seed[k + 1]) * 257 % (n + 2);
        std::uint64_t len = (static_cast<std::uint64_t>(seed[k + 2]) << 8 | seed[k + 3]) * 131;
        std::uint64_t expect = off >= n ? 0 : std::min(len, n - off);
        auto got = (k / 4) % 2 ? file.read(off, len, part.data()) : cursor.read(off, len, part.data());
        if (known) {
            check(got.ok(), "part read failed where the whole read succeeded");
            check(got.value() == expect, "part read of the wrong length");
            check(!expect || std::memcmp(part.data(), whole.data() + off, expect) == 0, "part read differs");
        }
        auto view = cursor.view(off, len);
        if (known) {
            check(view.ok() && view.value().size() == expect, "view of the wrong length");
            check(!expect || std::memcmp(view.value().data(), whole.data() + off, expect) == 0, "view differs");
        }
    }
    if (file.block_count() <= 8) {
        std::string pieces;
        Status st = for_each_piece(file, 1 + seed_size % 3, [&](std::string_view piece, std::uint64_t at) -> Status {
            check(at == pieces.size(), "piece at the wrong offset");
            pieces.append(piece);
            return std::nullopt;
        });
        if (known) check(!st && pieces == std::string_view(whole.data(), n), "pieces differ from the whole");
    }
}

void scan_and_read(const std::uint8_t* data, std::size_t size) {
    auto bytes = std::make_shared<MemorySource>("fuzz.gz", reinterpret_cast<const char*>(data), size);
    auto table = scan_block_table("fuzz.gz", *bytes);
    if (!table.ok()) return;
    check(table.value().blocks.empty() || table.value().blocks.back().coffset < size, "block past the end");
    auto file = BgzfFile::open("fuzz.gz", bytes, std::move(table.value()));
    check(file.ok(), "a scanned table does not pass its own checks");
    read_every_way(*file.value(), data, size);
}

void table_and_read(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    std::size_t count = data[0] % 9, at = 1;
    BlockTable table;
    std::uint64_t c = 0, u = 0;
    for (std::size_t i = 0; i < count && at + 5 <= size; ++i, at += 5) {
        table.blocks.push_back({c, u});
        c += static_cast<std::uint64_t>(data[at]) << 8 | data[at + 1];
        u += (static_cast<std::uint64_t>(data[at + 2] & 1) << 16 | data[at + 3] << 8 | data[at + 4]);
    }
    table.usize = u;
    auto bytes = std::make_shared<MemorySource>("fuzz.gz", reinterpret_cast<const char*>(data + at), size - at);
    auto file = BgzfFile::open("fuzz.gz", bytes, std::move(table));
    if (!file.ok()) return;
    read_every_way(*file.value(), data, at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 3) {
        case 0: inflate_one(data + 1, size - 1); break;
        case 1: scan_and_read(data + 1, size - 1); break;
        default: table_and_read(data + 1, size - 1); break;
    }
    return 0;
}
