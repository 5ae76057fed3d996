// Transcripts of the text of a GTF or GFF3 annotation: exons and CDS gathered per transcript as
// gffread gathers them, in gffread's order, read in one pass without a host lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"

namespace sekva {

struct Span {
    std::uint64_t first, last;  // 1-based, inclusive
};

// One transcript. The views point into the annotation's text, which must outlive them; the spans
// are ascending and merged where they touch.
struct AnnotatedTranscript {
    std::string_view id, chrom, strand;
    std::uint32_t record;  // where the file first names chrom, counted from 0
    std::uint32_t exon_count, cds_count;
    std::size_t exons_at, cds_at;  // into Annotation::spans
    int phase;                     // of the first coding base, in the direction of transcription
    bool forward() const { return strand != "-"; }
};

struct Annotation {
    std::vector<AnnotatedTranscript> transcripts;  // by record, start, end, then ID bytes
    std::vector<Span> spans;
    std::span<const Span> exons(const AnnotatedTranscript& t) const { return {spans.data() + t.exons_at, t.exon_count}; }
    std::span<const Span> cds(const AnnotatedTranscript& t) const { return {spans.data() + t.cds_at, t.cds_count}; }
};

// A line that cannot be read, numbered from 1 as Python's str.splitlines counts lines.
struct AnnotationProblem {
    enum class Kind {
        Fields,     // a GTF line of fewer than 9 tab-separated fields: `fields` of them
        NotNumber,  // start or end (`start_text`, `end_text`) is not a whole number
        NotRange,   // first < 1 or last < first
    };
    Kind kind;
    std::uint64_t line;
    std::size_t fields = 0;
    std::string_view start_text = {}, end_text = {};
    std::int64_t first = 0, last = 0;
};

// Reads a GTF or GFF3 file as gffread does. GFF3 is told by a "##gff-version 3" line among the
// first 50, or by no 'transcript_id "' and some "Parent=" or "ID=" among the first 1000. A GTF
// line belongs to the transcript of its transcript_id; a GFF3 exon, CDS, codon or UTR line to each
// transcript its Parent names. Lines are split where Python's str.splitlines splits the text
// decoded as UTF-8, and whitespace is what str.isspace calls whitespace, so that line numbers and
// IDs are those of the Python reader of the same rules. Coordinates are decimal numbers as int()
// reads ASCII text (signs, underscores between digits, spaces around), at most 18 digits.
Result<Annotation, AnnotationProblem> read_annotation(std::string_view text);

}  // namespace sekva
