// Index scans of large plain files on the worker pool: pieces read and digested at once, then taken
// by the one scanner in file order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/base/error.hpp"
#include "engine/fasta/scan.hpp"
#include "engine/io/byte_source.hpp"

namespace sekva {

// What a thread does with a piece: keeps its bytes as they are, scans its records from its first
// header line or else digests its whole lines (FASTA), or scans its reads from the first line that
// starts one (FASTQ).
enum class PieceWork { keep, digest, scan_reads };

// One piece of the text as a thread leaves it for the scanner: its first partial line (ending the
// line the piece starts in), the digest of its whole lines, and its last partial line; or its bytes
// and what a scanner of its records found from the first header or read on; or just its bytes.
struct ScannedPiece {
    std::uint64_t begin = 0;
    bool digested = false;
    std::string head, tail;
    std::string_view raw;  // the piece's bytes, which the caller keeps until feed()
    LineDigest digest;
    std::size_t reads_from = 0;  // where `reads` began, in `raw`: a header line or a read
    std::optional<FastaScanner> reads;

    // Takes the piece's `n` bytes at file offset `at`; they must stay until feed().
    void take(const char* bytes, std::size_t n, std::uint64_t at, PieceWork work);
    // Feeds the piece to the scanner, after the pieces before it.
    Status feed(FastaScanner& scanner);
};

struct PieceSizes {
    std::size_t piece = std::size_t{256} << 10;            // read and digested while in the core's cache
    std::uint64_t smallest_split = std::uint64_t{32} << 20;  // smaller files are read in order
    std::size_t least_threads = 2;
};

// Feeds the first bytes of a regular file of `size` bytes to `scanner`, pieces of it read and
// digested (FASTA) or scanned read by read (FASTQ) on the worker pool, where the pool has threads to
// spare and the file is large. Returns how many bytes it fed: all of them, or fewer where it left
// the rest to be read in order (a file too small to split, one that ended early). The entries and errors
// are those of feeding the bytes in order. `between` is asked between rounds, on the calling thread.
// `after_round`, where given, is called on the calling thread after each round of pieces has been
// fed, and takes the entries so far as they come (the scanner is then not told to make room for all).
Result<std::uint64_t> scan_in_pieces(const DescriptorSource& file, std::uint64_t size, FastaScanner& scanner,
                                     const std::function<Status()>& between, const PieceSizes& sizes = {},
                                     const std::function<Status()>& after_round = {});

}  // namespace sekva
