// Transcript text: each output's headers and BED12 lines made here, their bases fetched, spliced
// and reverse-complemented by BedText's split path, proteins through the genetic code's table.
#include "engine/bulk/transcript_text.hpp"

#include <charconv>
#include <utility>

#include "engine/fetch/sequence.hpp"
#include "engine/fetch/translate.hpp"

namespace sekva {

namespace {

// gffread's line width for the sequences it writes.
constexpr std::uint64_t WIDTH = 70;
constexpr std::uint64_t SHORTEST_CDS = 4;  // gffread warns about a CDS shorter than this

void put(std::string& out, std::uint64_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

std::uint64_t length(const Span& s) { return s.last - s.first + 1; }

// "1-40,41-140": where each part lies in their join, in transcript order.
void put_segments(std::string& out, std::span<const Span> spans, bool forward) {
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const Span& s = spans[forward ? k : spans.size() - 1 - k];
        if (k) out += ',';
        put(out, offset + 1);
        out += '-';
        offset += length(s);
        put(out, offset);
    }
}

// The 1-based position within the spliced transcript of a genomic position; 0 for one in no exon,
// as gffread prints it.
std::uint64_t transcript_offset(std::span<const Span> exons, bool forward, std::int64_t position) {
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < exons.size(); ++k) {
        const Span& s = exons[forward ? k : exons.size() - 1 - k];
        if (position >= static_cast<std::int64_t>(s.first) && position <= static_cast<std::int64_t>(s.last)) {
            const auto p = static_cast<std::uint64_t>(position);
            return offset + (forward ? p - s.first + 1 : s.last - p + 1);
        }
        offset += length(s);
    }
    return 0;
}

// A BED12 line on `chrom` whose blocks are `spans` (1-based, ascending), named `head`.
void put_bed12(std::string& out, std::string_view chrom, std::string_view strand, std::string_view head,
               std::span<const Span> spans) {
    const std::uint64_t start = spans.front().first - 1, end = spans.back().last;
    out += chrom;
    out += '\t';
    put(out, start);
    out += '\t';
    put(out, end);
    out += '\t';
    out += head;
    out += "\t0\t";
    out += strand;
    out += '\t';
    put(out, start);
    out += '\t';
    put(out, end);
    out += "\t0\t";
    put(out, static_cast<std::uint64_t>(spans.size()));
    out += '\t';
    for (std::size_t k = 0; k < spans.size(); ++k) {
        if (k) out += ',';
        put(out, length(spans[k]));
    }
    out += '\t';
    for (std::size_t k = 0; k < spans.size(); ++k) {
        if (k) out += ',';
        put(out, spans[k].first - 1 - start);
    }
    out += '\n';
}

}  // namespace

std::optional<UnfetchableTranscript> first_unfetchable(const Engine& engine, const Annotation& annotation) {
    const NameTable& names = engine.names();
    std::string_view chrom;
    const IndexEntry* entry = nullptr;
    for (std::size_t i = 0; i < annotation.transcripts.size(); ++i) {
        const AnnotatedTranscript& t = annotation.transcripts[i];
        if (i == 0 || t.chrom != chrom) {
            chrom = t.chrom;
            entry = names.find(chrom);
        }
        if (!entry) return UnfetchableTranscript{i, std::nullopt};
        if (annotation.exons(t).back().last > entry->rlen) return UnfetchableTranscript{i, entry->rlen};
    }
    return std::nullopt;
}

TranscriptChunk::TranscriptChunk(const Engine& engine, const Annotation& annotation, std::size_t first,
                                 std::size_t last, bool projected, char stop)
    : engine_(&engine), annotation_(&annotation), first_(first), last_(last), projected_(projected), stop_(stop) {
    coding_at_.reserve(last - first + 1);
    coding_at_.push_back(0);
    for (std::size_t i = first; i < last; ++i) {
        const AnnotatedTranscript& t = annotation.transcripts[i];
        const std::span<const Span> cds = annotation.cds(t);
        const std::size_t at = coding_.size();
        coding_.insert(coding_.end(), cds.begin(), cds.end());
        if (t.phase && !cds.empty()) {
            // As in gffread, the phase skips bases of the first part only: a first part no
            // longer than the phase is left out whole.
            const std::size_t k = t.forward() ? at : coding_.size() - 1;
            const auto phase = static_cast<std::uint64_t>(t.phase);
            if (length(coding_[k]) <= phase) {
                coding_.erase(coding_.begin() + static_cast<std::ptrdiff_t>(k));
            } else if (t.forward()) {
                coding_[k].first += phase;
            } else {
                coding_[k].last -= phase;
            }
        }
        coding_at_.push_back(coding_.size());
    }
}

std::vector<std::string> TranscriptChunk::short_cds_warnings() const {
    std::vector<std::string> out;
    for (std::size_t i = first_; i < last_; ++i) {
        const AnnotatedTranscript& t = annotation_->transcripts[i];
        if (t.cds_count != 1) continue;
        const std::size_t from = coding_at_[i - first_], to = coding_at_[i - first_ + 1];
        std::uint64_t bases = 0;
        for (std::size_t k = from; k < to; ++k) bases += length(coding_[k]);
        if (bases >= SHORTEST_CDS) continue;
        // The part the phase leaves, or the part as given where nothing is left.
        const Span named = from < to ? coding_[from] : annotation_->cds(t)[0];
        std::string line = "Warning: CDS ";
        put(line, named.first);
        line += '-';
        put(line, named.last);
        line += " too short for ";
        line += t.id;
        line += ", check your data.";
        out.push_back(std::move(line));
    }
    return out;
}

Result<std::string, TranscriptTextFailure> TranscriptChunk::fetch(const std::string& bed, std::string_view head,
                                                                  std::string_view sep, std::uint64_t width) const {
    TextLayout layout;
    layout.width = width;
    layout.sep = sep;
    layout.complement = COMPLEMENT_TABLE;
    layout.mapped = true;
    auto parsed = HeadTemplate::parse(head);  // the templates here are ours, and good
    auto text = BedText::read(*engine_, bed, std::move(parsed.value()), layout, true, true);
    if (!text.ok()) return TranscriptTextFailure{TranscriptTextFailure::Kind::Bed, std::move(text.error()), {}};
    std::string out;
    out.resize(static_cast<std::size_t>(text.value().size()));
    char* at = out.data();
    BedWriteOutcome outcome = text.value().write([&](std::size_t n) { return std::exchange(at, at + n); },
                                                 [](const char*, std::size_t) { return 0; });
    if (outcome.failure) return TranscriptTextFailure{TranscriptTextFailure::Kind::Job, {}, std::move(*outcome.failure)};
    return out;
}

Result<std::string, TranscriptTextFailure> TranscriptChunk::exons() const {
    std::string bed, head;
    for (std::size_t i = first_; i < last_; ++i) {
        const AnnotatedTranscript& t = annotation_->transcripts[i];
        const std::span<const Span> exons = annotation_->exons(t), cds = annotation_->cds(t);
        const bool forward = t.forward();
        head.assign(t.id);
        if (!cds.empty()) {
            // Where the phase puts the first coding base (0: in no exon), to the last coding base.
            const std::int64_t start = forward ? static_cast<std::int64_t>(cds.front().first) + t.phase
                                               : static_cast<std::int64_t>(cds.back().last) - t.phase;
            const std::int64_t last = static_cast<std::int64_t>(forward ? cds.back().last : cds.front().first);
            head += " CDS=";
            put(head, transcript_offset(exons, forward, start));
            head += '-';
            put(head, transcript_offset(exons, forward, last));
        }
        if (projected_) {
            head += " loc:";
            head += t.chrom;
            head += '|';
            put(head, exons.front().first);
            head += '-';
            put(head, exons.back().last);
            head += '|';
            head += t.strand;
            head += " exons:";
            for (std::size_t k = 0; k < exons.size(); ++k) {
                if (k) head += ',';
                put(head, exons[k].first);
                head += '-';
                put(head, exons[k].last);
            }
            head += " segs:";
            put_segments(head, exons, forward);
        }
        put_bed12(bed, t.chrom, t.strand, head, exons);
    }
    if (bed.empty()) return std::string();
    return fetch(bed, ">{name}", "\n", WIDTH);
}

std::string TranscriptChunk::coding_bed(std::string& heads, std::vector<std::size_t>& head_ends) const {
    std::string bed, head;
    for (std::size_t i = first_; i < last_; ++i) {
        const AnnotatedTranscript& t = annotation_->transcripts[i];
        const std::span<const Span> parts(coding_.data() + coding_at_[i - first_],
                                          coding_at_[i - first_ + 1] - coding_at_[i - first_]);
        if (parts.empty()) continue;
        head.assign(t.id);
        if (projected_) {
            const std::span<const Span> exons = annotation_->exons(t);
            head += " loc:";
            head += t.chrom;
            head += '(';
            head += t.strand;
            head += ')';
            put(head, exons.front().first);
            head += '-';
            put(head, exons.back().last);
            head += " segs:";
            put_segments(head, parts, t.forward());
        }
        put_bed12(bed, t.chrom, t.strand, head, parts);
        heads += head;
        head_ends.push_back(heads.size());
    }
    return bed;
}

Result<CodingText, TranscriptTextFailure> TranscriptChunk::coding(bool cds, bool proteins) const {
    std::string heads;
    std::vector<std::size_t> head_ends;
    const std::string bed = coding_bed(heads, head_ends);
    CodingText out;
    if (bed.empty()) return out;
    // The coding bases of each transcript on a line of their own, under no header: -x cuts them
    // into lines, -y translates them.
    auto fetched = fetch(bed, "", "", 0);
    if (!fetched.ok()) return std::move(fetched.error());
    const std::string& bases = fetched.value();
    const GeneticCode& code = *genetic_code(1);
    if (cds) out.cds.reserve(bases.size() + bases.size() / WIDTH + heads.size() + 2 * head_ends.size());
    std::string protein;
    std::size_t at = 0;
    for (std::size_t k = 0; k < head_ends.size() && at < bases.size(); ++k) {
        std::size_t end = bases.find('\n', at);
        if (end == std::string::npos) end = bases.size();
        const std::string_view line(bases.data() + at, end - at);
        at = end + 1;
        const std::size_t from = k ? head_ends[k - 1] : 0;
        const std::string_view head(heads.data() + from, head_ends[k] - from);
        if (cds) {
            out.cds += '>';
            out.cds += head;
            out.cds += '\n';
            for (std::size_t p = 0; p < line.size(); p += WIDTH) {
                out.cds += line.substr(p, WIDTH);
                out.cds += '\n';
            }
        }
        if (!proteins || out.not_ascii) continue;
        for (char c : line)
            if (static_cast<unsigned char>(c) >= 0x80) out.not_ascii = true;
        if (out.not_ascii) {
            out.proteins.clear();
            continue;
        }
        protein.resize(line.size() / 3);
        std::size_t n = translate_bases(line, code, stop_, protein.data());
        // A trailing stop is left out, as gffread does, and a protein left empty is not written.
        if (n && protein[n - 1] == stop_) --n;
        if (!n) continue;
        out.proteins += '>';
        out.proteins += head;
        out.proteins += '\n';
        for (std::size_t p = 0; p < n; p += WIDTH) {
            out.proteins.append(protein, p, std::min<std::size_t>(WIDTH, n - p));
            out.proteins += '\n';
        }
    }
    return out;
}

}  // namespace sekva
