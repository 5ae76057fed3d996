// Index scans of large plain files on the worker pool: pieces read and digested at once, then taken
// by the one scanner in file order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/error.hpp"
#include "engine/fasta/scan.hpp"
#include "engine/io/byte_source.hpp"

namespace sekva {

// One piece of the text as a thread leaves it for the scanner: its first partial line (ending the
// line the piece starts in), the digest of its whole lines, and its last partial line; or, where
// no digest describes it, its bytes as they are.
struct ScannedPiece {
    std::uint64_t begin = 0;
    bool digested = false;
    std::string head, tail, raw;
    LineDigest digest;

    // Takes the piece's `n` bytes at file offset `at`; `digest_it` false keeps them as they are.
    void take(const char* bytes, std::size_t n, std::uint64_t at, bool digest_it);
    // Feeds the piece to the scanner, after the pieces before it.
    Status feed(FastaScanner& scanner) const;
};

struct PieceSizes {
    std::size_t piece = std::size_t{256} << 10;            // read and digested while in the core's cache
    std::uint64_t smallest_split = std::uint64_t{32} << 20;  // smaller files are read in order
    std::size_t least_threads = 2;
};

// Feeds the first bytes of a regular file of `size` bytes to `scanner`, pieces of it read and
// digested on the worker pool, where the pool has threads to spare, the file is large and its text
// is FASTA. Returns how many bytes it fed: all of them, or fewer where it left the rest to be read
// in order (a FASTQ file, one too small to split, a file that ended early). The entries and errors
// are those of feeding the bytes in order. `between` is asked between rounds, on the calling thread.
Result<std::uint64_t> scan_in_pieces(const DescriptorSource& file, std::uint64_t size, FastaScanner& scanner,
                                     const std::function<Status()>& between, const PieceSizes& sizes = {});

}  // namespace sekva
