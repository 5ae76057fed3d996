// FASTA text of the transcripts of an annotation, as gffread -w, -x and -y write it: spliced exons,
// spliced CDS and their translation, a chunk of transcripts at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/bulk/annotation.hpp"
#include "engine/bulk/bed_text.hpp"
#include "engine/fasta/engine.hpp"

namespace sekva {

// The first transcript the genome cannot give: on a record it lacks (`size` unset), or past the
// end of its record (`size` bases).
struct UnfetchableTranscript {
    std::size_t index;
    std::optional<std::uint64_t> size;
};
std::optional<UnfetchableTranscript> first_unfetchable(const Engine& engine, const Annotation& annotation);

// Why a chunk's text could not be made: a BED line the fetch refused (as fetch_bed words it) or a
// failed read of the genome.
struct TranscriptTextFailure {
    enum class Kind { Bed, Job };
    Kind kind;
    BedProblem bed;
    JobFailure job;
};

// The -x and -y text of a chunk. `not_ascii`: a transcript's coding bases hold a byte that is not
// ASCII, which no protein is made of (`proteins` is then empty).
struct CodingText {
    std::string cds, proteins;
    bool not_ascii = false;
};

class TranscriptChunk {
public:
    // Transcripts [first, last) of the annotation, whose text and views must outlive the chunk.
    // `projected`: headers carry the exon coordinates (-W); `stop`: the letter of stop codons.
    TranscriptChunk(const Engine& engine, const Annotation& annotation, std::size_t first, std::size_t last,
                    bool projected, char stop);

    // "Warning: CDS a-b too short for ID, check your data." for each transcript of one CDS part
    // whose coding bases (the phase left out) are fewer than 4.
    std::vector<std::string> short_cds_warnings() const;
    // The text of -w, and of -x and -y (where wanted) from one fetch of the coding bases; made
    // with no host lock, the fetch on the pool.
    Result<std::string, TranscriptTextFailure> exons() const;
    Result<CodingText, TranscriptTextFailure> coding(bool cds, bool proteins) const;

private:
    // BED12 lines of the coding parts, named by -x's headers, which `heads` also gets back to back
    // (each ending at head_ends[k]).
    std::string coding_bed(std::string& heads, std::vector<std::size_t>& head_ends) const;
    Result<std::string, TranscriptTextFailure> fetch(const std::string& bed, std::string_view head, std::string_view sep,
                                                     std::uint64_t width) const;

    const Engine* engine_;
    const Annotation* annotation_;
    std::size_t first_, last_;
    bool projected_;
    char stop_;
    // The coding parts of each transcript: the CDS with the phase's bases left out.
    std::vector<Span> coding_;
    std::vector<std::size_t> coding_at_;  // transcript i's parts: coding_[coding_at_[i], coding_at_[i + 1])
};

}  // namespace sekva
