// Fuzz target for the .gzi reader: any bytes give a block table or an Io error, a table that is
// accepted for a file writes back to the same bytes, and reads through it fail cleanly or agree
// with the file's data.
//
// The file is made here, from stored deflate blocks: three blocks with data, behind an empty
// block in one variant and not in the other, then the end-of-file marker.
//
// Built on its own as: clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
//   -DSEKVA_HAVE_LIBDEFLATE -Isrc fuzz/fuzz_gzi.cpp src/engine/*.cpp -ldeflate
// (or -DSEKVA_HAVE_ZLIB ... -lz), and run over fuzz/corpus/fuzz_gzi/.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec/bgzf.hpp"
#include "engine/codec/gzi_file.hpp"
#include "engine/codec/inflate.hpp"
#include "bgzf_writer.hpp"

namespace {

using namespace sekva;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_gzi: %s\n", what);
    std::abort();
}

// One BGZF block holding `data` in a single stored deflate block (at most 65535 bytes).
std::string stored_block(std::string_view data) { return fuzz::block_around(fuzz::stored_body(data), data); }

struct Sample {
    std::string bytes;
    std::string plain;
};

Sample make_sample(bool leading_empty) {
    Sample s;
    std::string eof = stored_block("");
    if (leading_empty) s.bytes += eof;
    for (std::size_t n : {65280, 65280, 900}) {
        std::string data(n, 'A');
        for (std::size_t i = 0; i < n; ++i) data[i] = "ACGT\n"[(i * 7 + n) % 5];
        s.bytes += stored_block(data);
        s.plain += data;
    }
    s.bytes += eof;
    return s;
}

void try_file(const Sample& sample, std::string_view input) {
    auto bytes = std::make_shared<MemorySource>("fuzz.gz", sample.bytes.data(), sample.bytes.size());
    auto starts = parse_gzi(input, "fuzz.gzi");
    if (!starts.ok()) return;
    auto table = table_from_gzi_starts("fuzz.gzi", "fuzz.gz", *bytes, std::move(starts.value()));
    if (!table.ok()) return;
    check(format_gzi(table.value()) == input, "an accepted .gzi does not write back to the same bytes");
    auto file = BgzfFile::open("fuzz.gz", bytes, std::move(table.value()));
    check(file.ok(), "a table from an accepted .gzi does not pass its own checks");
    const BgzfFile& f = *file.value();
    std::vector<char> out(static_cast<std::size_t>(f.size()) + 1);
    auto got = f.read(0, f.size(), out.data());
    // A .gzi can be wrong in ways only the blocks show; a read that succeeds must be the data.
    if (got.ok()) {
        check(got.value() == sample.plain.size(), "read through the .gzi has the wrong length");
        check(std::memcmp(out.data(), sample.plain.data(), sample.plain.size()) == 0, "read through the .gzi differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Sample plain_start = make_sample(false), empty_start = make_sample(true);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    try_file(plain_start, input);
    try_file(empty_start, input);
    return 0;
}
