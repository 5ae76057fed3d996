// Index scans in pieces: each thread reads a piece into memory of its own and digests its whole
// lines; the calling thread then feeds the scanner each piece's first partial line, its digest and
// its last partial line, so lines cut by a piece's edges are joined by the scanner itself.
#include "engine/fasta/scan_pieces.hpp"

#include <string.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "engine/parallel/first_failure.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

namespace {

// The offset of the first line of [b, b + n) that starts a read as four-line FASTQ lays it out: an
// '@' line whose next line but one starts with '+' (a line of qualities may start with '@', but the
// line after the next then holds bases). n where no line does. The scan in order confirms it.
std::size_t first_read(const char* b, std::size_t n) {
    const char* const end = b + n;
    auto next_line = [end](const char* p) -> const char* {  // past the line break after p, or null
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        return nl && nl + 1 < end ? nl + 1 : nullptr;
    };
    for (const char* line = next_line(b); line; line = next_line(line)) {
        if (*line != '@') continue;
        const char* bases = next_line(line);
        const char* plus = bases ? next_line(bases) : nullptr;
        if (!plus) break;
        if (*plus == '+') return static_cast<std::size_t>(line - b);
    }
    return n;
}

}  // namespace

void ScannedPiece::take(const char* bytes, std::size_t n, std::uint64_t at, PieceWork work) {
    begin = at;
    digested = false;
    head.clear();
    tail.clear();
    reads.reset();
    const auto* first = static_cast<const char*>(std::memchr(bytes, '\n', n));
    raw = std::string_view(bytes, n);
    if (first && work == PieceWork::digest) {
        const auto* last = static_cast<const char*>(::memrchr(bytes, '\n', n));
        const char* header = nullptr;
        digested = digest_lines(first + 1, last + 1, at + static_cast<std::uint64_t>(first + 1 - bytes), digest, &header);
        if (digested) {
            head.assign(bytes, first + 1);
            tail.assign(last + 1, bytes + n);
            return;
        }
        // A piece that holds a header is scanned from it on, its records made here rather than by
        // the scan in order.
        if (header) {
            reads_from = static_cast<std::size_t>(header - bytes);
            reads = FastaScanner::fasta_from(at + reads_from);
            if (reads->feed(header, n - reads_from)) reads.reset();
            return;
        }
    }
    if (work == PieceWork::scan_reads && (reads_from = first_read(bytes, n)) < n) {
        reads = FastaScanner::fastq_from(at + reads_from);
        if (reads->feed(bytes + reads_from, n - reads_from)) reads.reset();
    }
}

Status ScannedPiece::feed(FastaScanner& scanner) {
    if (digested) {
        if (Status err = scanner.feed(head.data(), head.size())) return err;
        if (Status err = scanner.feed_digest(digest)) return err;
        return scanner.feed(tail.data(), tail.size());
    }
    if (!reads) return scanner.feed(raw.data(), raw.size());
    if (Status err = scanner.feed(raw.data(), reads_from)) return err;
    if (scanner.take_ahead(std::move(*reads))) return success;
    return scanner.feed(raw.data() + reads_from, raw.size() - reads_from);
}

namespace {

struct Piece {
    std::size_t want = 0, got = 0;
    std::optional<FaidxError> error;
    ScannedPiece scanned;

    void read(const DescriptorSource& file, std::uint64_t at, char* buffer, PieceWork work) {
        got = 0;
        error.reset();
        while (got < want) {
            auto read = file.read_some_elsewhere(at + got, want - got, buffer + got);
            if (!read.ok()) {
                error = std::move(read.error());
                return;
            }
            if (!read.value()) break;
            got += read.value();
        }
        scanned.take(buffer, got, at, work);
    }
};

}  // namespace

Result<std::uint64_t> scan_in_pieces(const DescriptorSource& file, std::uint64_t size, FastaScanner& scanner,
                                     const std::function<Status()>& between, const PieceSizes& sizes,
                                     const std::function<Status()>& after_round) {
    const std::size_t threads = job_threads();
    if (threads < sizes.least_threads || on_pool_worker() || size < sizes.smallest_split || !sizes.piece)
        return std::uint64_t{0};
    // Pieces per thread in one round: enough that threads rarely wait for one another at its end.
    constexpr std::size_t PIECES_PER_THREAD = 64;
    const std::uint64_t piece = sizes.piece;
    try {
        std::vector<Piece> pieces(threads * PIECES_PER_THREAD);
        // Each piece of a round is read into memory of its own, where the scanner may read it again
        // after the round; the same memory for every round. Pieces of a multiple of 64 bytes keep
        // every piece as aligned as the first.
        ReadBuffer buffers = read_buffer(pieces.size() * sizes.piece);
        std::uint64_t fed = 0;
        // One piece at a time, kept as it is, until the text says which format it is.
        PieceWork work = PieceWork::keep;
        bool sized = false;  // the scanner has been told how large the text is
        while (fed < size) {
            if (Status stop = between()) return std::move(*stop);
            const std::uint64_t left = (size - fed + piece - 1) / piece;
            const std::size_t count = work == PieceWork::keep
                                          ? 1
                                          : static_cast<std::size_t>(std::min<std::uint64_t>(pieces.size(), left));
            for (std::size_t i = 0; i < count; ++i)
                pieces[i].want = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - fed - i * piece));
            JobOutcome outcome = run_parallel(count, [&](std::size_t from, std::size_t to) {
                for (std::size_t i = from; i < to; ++i)
                    pieces[i].read(file, fed + i * piece, buffers.get() + i * sizes.piece, work);
            });
            if (auto failure = JobFailure::of(std::move(outcome))) return failure->as_error();
            for (std::size_t i = 0; i < count; ++i) {
                Piece& p = pieces[i];
                if (p.error) return *p.error;
                if (Status err = p.scanned.feed(scanner)) return std::move(*err);
                fed += p.got;
                if (p.got < p.want) return fed;
            }
            if (after_round)
                if (Status err = after_round()) return std::move(*err);
            // Room for the entries, judged from the first round of pieces (a caller that takes the
            // records as they come judges for itself).
            if (!sized && !after_round && work != PieceWork::keep) {
                scanner.expect_size(size);
                sized = true;
            }
            work = scanner.is_fasta() ? PieceWork::digest : scanner.is_fastq() ? PieceWork::scan_reads : PieceWork::keep;
        }
        return fed;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

}  // namespace sekva
