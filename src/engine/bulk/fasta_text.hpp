// FASTA text (or any record text) of many regions at once: for each, a header as given, a
// separator, then its bases in lines of a fixed width, written by the worker pool.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"

namespace sekva {

// A stretch of a region's bases that a record shows (offset and length in the region as read).
struct TextPiece {
    std::uint64_t at, size;
};

struct TextRegion {
    RegionPlan plan;        // by the batch workers' rules; anything but Extract has no bases
    std::string_view head;  // written as given, the caller's bytes (valid for the job)
    bool reverse = false;   // reverse-complemented through the layout's table
    // Its bases join those of the record before it (a block of a spliced record: its own head is
    // not written, and `reverse` is the record's). A reversed record's blocks come last first.
    bool continues = false;
    // Only these stretches of its bases, in this order (for a reversed record, mirrored and last
    // first): the blocks of a spliced record read in one go. None: all of them.
    const TextPiece* pieces = nullptr;
    std::uint32_t piece_count = 0;
    // Its bytes as they are in the file, whatever the engine's options say of case and padding
    // (a FASTQ read's qualities, or its bases beside them).
    bool verbatim = false;
};

struct TextLayout {
    std::uint64_t width = 0;  // bases per line; 0: all on one line
    std::string_view sep;     // between the header and the bases
    std::array<unsigned char, 256> complement{};
    // Read through the file's map where it has one, rather than a descriptor of the job's own:
    // for many short regions (a transcript's exons) a system call each costs more than the pages
    // the map keeps in the process.
    bool mapped = false;
};

// Bytes of `length` bases in lines of `width` (0: one line), each line ended by a line break.
std::uint64_t wrapped_size(std::uint64_t length, std::uint64_t width);

class TextJob {
public:
    TextJob(const Engine& engine, std::vector<TextRegion> regions, TextLayout layout)
        : engine_(engine), regions_(std::move(regions)), layout_(layout) {}

    // Reads every region's bases on the workers; then size() is the length of the text. A failure
    // names the first region (not record) in input order whose bases could not be read. Needs no
    // host lock.
    std::optional<JobFailure> read();
    std::uint64_t size() const { return offsets_.empty() ? 0 : offsets_.back(); }
    // Writes the text (size() bytes) on the workers. Needs no host lock.
    void write(char* out) const;

private:
    // The bases of region i that its record shows, as many as were read.
    std::uint64_t shown(std::size_t i) const;

    const Engine& engine_;
    std::vector<TextRegion> regions_;
    TextLayout layout_;
    std::unique_ptr<char[]> bases_;
    std::vector<std::uint64_t> base_at_, lengths_;
    std::vector<std::size_t> firsts_;  // each record's first region, and regions_.size() last
    std::vector<std::uint64_t> offsets_;  // of each record in the text, and its size last
};

}  // namespace sekva
