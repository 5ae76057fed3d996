// Record text straight from the text of a BED file: each line's region (0-based, half-open) under a
// header made from the line's fields by a template, written a few thousand records at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/array_fill.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/base/error.hpp"
#include "engine/bulk/fasta_text.hpp"

namespace sekva {

// A header template: literal text and the slots {chrom}, {start}, {end}, {name}, {score}, {strand}
// (the first six fields of a line, empty where the line has fewer) and {line} (the whole line);
// {{ and }} stand for braces.
class HeadTemplate {
public:
    // The template, or what is wrong with it.
    static Result<HeadTemplate, std::string> parse(std::string_view text);
    // The header of a line whose first fields are `fields` (six, empty where absent).
    std::size_t size(std::string_view line, const std::string_view* fields) const;
    char* write(char* out, std::string_view line, const std::string_view* fields) const;

private:
    static constexpr std::uint8_t LITERAL = 255, LINE = 254;
    struct Piece {
        std::uint8_t field;  // 0-5: a field; LINE; LITERAL: literals_[at, at + size)
        std::uint32_t at = 0, size = 0;
    };
    std::string literals_;
    std::vector<Piece> pieces_;
};

// A line the strict reading refuses, numbered from 1.
struct BedProblem {
    std::uint64_t line;
    std::string what;
};

// How writing the text ended: a failed read of the FASTA file, or the error number the consumer
// of the pieces returned.
struct BedWriteOutcome {
    std::optional<JobFailure> failure;
    int consumer_error = 0;
};

class BedText {
public:
    // Reads every line of `bed` strictly: blank lines and lines starting with '#', "track" or
    // "browser" are skipped; every other line has the same number (three or more) of non-empty
    // tab-separated fields, a record name of the file, and start < end <= the record's length in
    // plain decimal digits. `stranded`: a line whose sixth field is "-" is reverse-complemented.
    // `split`: a line of twelve fields or more is the join of its BED12 blocks (blockCount, then
    // lists of as many block sizes and starts, each block of one base or more inside the record),
    // reverse-complemented as a whole. The text must outlive the object. Needs no host lock.
    static Result<BedText, BedProblem> read(const Engine& engine, std::string_view bed, HeadTemplate head,
                                            TextLayout layout, bool stranded, bool split = false);
    // Bytes of the whole text.
    std::uint64_t size() const { return size_; }

    // Writes the text a piece at a time on the worker pool: place(n) gives room for the next n
    // bytes (nullptr: out of memory), consume(p, n) takes them and returns 0 or an error number,
    // which stops the writing. Needs no host lock.
    BedWriteOutcome write(const std::function<char*(std::size_t)>& place,
                          const std::function<int(const char*, std::size_t)>& consume) const;

private:
    struct Line {
        std::string_view text;  // without its line break
        const IndexEntry* entry;
        std::uint64_t start, end;
        bool reverse;
        std::uint32_t blocks;     // of a spliced line, else 0
        std::size_t first_block;  // in blocks_
    };
    struct Block {
        std::uint64_t start, size;  // 0-based, in the record
    };
    BedText(const Engine& engine, HeadTemplate head, TextLayout layout)
        : engine_(&engine), head_(std::move(head)), layout_(layout) {}
    std::uint64_t record_size(const Line& line) const;
    std::optional<std::string> read_blocks(Line& line, const std::string_view* fields);

    const Engine* engine_;
    HeadTemplate head_;
    TextLayout layout_;
    std::vector<Line> lines_;
    std::vector<Block> blocks_;
    std::uint64_t size_ = 0;
};

}  // namespace sekva
