// Fuzz target for the annotation reader and transcript text: GTF/GFF3 bytes from the input, read by
// read_annotation and held to the rules every result keeps (views inside the text, spans 1-based,
// ascending and merged, gffread's order, phases 0-2); then the transcripts a small fixed FASTA file
// can give written as -w, -x and -y text, each -w record's bases held to the spliced genome.
//
// Input layout: a flags byte (bit 0 projected headers, bit 1 '*' for stops), then the annotation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bulk/annotation.hpp"
#include "engine/bulk/transcript_text.hpp"
#include "engine/fasta/engine.hpp"
#include "engine/fetch/sequence.hpp"
#include "fixed_genome.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

const fuzz::Records RECORDS = {
    {"chr1", "ATGAAACCCGGGTTTTAATAGTGAACGTTGCAACACGTTGCAACNNryACGTTGCAAC"},
    {"chr2", "GATTACAGATTACA"},
    {"c", "A"},
};

// The FASTA text of RECORDS, opened once for the whole run.
const Engine& engine() {
    static const std::unique_ptr<Engine> opened = fuzz::open_fixed_genome(RECORDS, "");
    return *opened;
}

bool inside(std::string_view view, std::string_view text) {
    return view.empty() || (view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size());
}

void check_spans(std::span<const Span> spans, const std::string& what) {
    for (std::size_t k = 0; k < spans.size(); ++k) {
        FUZZ_CHECK(spans[k].first >= 1 && spans[k].first <= spans[k].last, what + ": a span that is no range");
        if (k) FUZZ_CHECK(spans[k].first > spans[k - 1].last + 1, what + ": spans out of order or unmerged");
    }
}

// The bases of `spans` on `chrom` joined, reverse-complemented for a minus strand.
std::string spliced(std::string_view chrom, std::span<const Span> spans, bool forward) {
    const std::string& bases = RECORDS.find(chrom)->second;
    std::string out;
    for (const Span& s : spans) out += bases.substr(s.first - 1, s.last - s.first + 1);
    if (!forward) {
        std::reverse(out.begin(), out.end());
        for (char& c : out) c = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(c)]);
    }
    return out;
}

// The records of FASTA text: (header line without '>', bases with the line breaks taken out).
std::vector<std::pair<std::string, std::string>> records_of(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        FUZZ_CHECK(end != std::string_view::npos, "text that does not end a line: " + fuzz::shown(text));
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line[0] == '>') {
            out.emplace_back(std::string(line.substr(1)), std::string());
        } else {
            FUZZ_CHECK(!out.empty(), "bases before any header: " + fuzz::shown(text));
            FUZZ_CHECK(line.size() <= 70 && !line.empty(), "a line of bases of another width: " + fuzz::shown(text));
            out.back().second += line;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t flags = in.byte();
    const bool projected = flags & 1;
    const char stop = flags & 2 ? '*' : '.';
    const std::string text = in.text(in.left());
    auto read = read_annotation(text);
    if (!read.ok()) {
        FUZZ_CHECK(read.error().line >= 1, "a refusal names no line");
        return 0;
    }
    const Annotation& a = read.value();
    bool plain = true;  // every ID and strand makes a BED field of its own
    for (std::size_t i = 0; i < a.transcripts.size(); ++i) {
        const AnnotatedTranscript& t = a.transcripts[i];
        FUZZ_CHECK(inside(t.id, text) && inside(t.chrom, text) && inside(t.strand, text), "a view outside the text");
        FUZZ_CHECK(t.exon_count >= 1 && t.phase >= 0 && t.phase <= 2, "a transcript without exons or phase 0-2");
        FUZZ_CHECK(t.exons_at + t.exon_count <= a.spans.size() && t.cds_at + t.cds_count <= a.spans.size(),
                   "spans past the list");
        check_spans(a.exons(t), "exons of " + fuzz::shown(t.id));
        check_spans(a.cds(t), "CDS of " + fuzz::shown(t.id));
        if (i) {
            const AnnotatedTranscript& p = a.transcripts[i - 1];
            auto key = [&](const AnnotatedTranscript& x) {
                return std::make_tuple(x.record, a.exons(x).front().first, a.exons(x).back().last, x.id);
            };
            FUZZ_CHECK(key(p) < key(t), "transcripts out of gffread's order");
        }
        plain = plain && !t.id.empty() && !t.strand.empty() && t.id.find('\t') == std::string_view::npos;
    }
    const auto unfetchable = first_unfetchable(engine(), a);
    const std::size_t count = unfetchable ? unfetchable->index : a.transcripts.size();
    for (std::size_t i = 0; i < count; ++i) {
        const AnnotatedTranscript& t = a.transcripts[i];
        auto record = RECORDS.find(t.chrom);
        FUZZ_CHECK(record != RECORDS.end() && a.exons(t).back().last <= record->second.size(),
                   "a transcript the genome cannot give before the first one found");
        // A CDS past the end of the record (beyond the exons) is refused by the fetch.
        if (t.cds_count) plain = plain && a.cds(t).back().last <= record->second.size();
    }
    if (unfetchable && !unfetchable->size)
        FUZZ_CHECK(!RECORDS.contains(a.transcripts[count].chrom), "a record the genome has called missing");
    if (!count) return 0;
    TranscriptChunk chunk(engine(), a, 0, count, projected, stop);
    (void)chunk.short_cds_warnings();
    auto exons = chunk.exons();
    auto coding = chunk.coding(true, true);
    FUZZ_CHECK(!plain || (exons.ok() && coding.ok()), "transcripts of plain IDs whose text failed");
    // An ID with tabs spreads over BED fields of its own, which the text then reads as BED reads them.
    if (!plain || !exons.ok() || !coding.ok()) return 0;
    const auto records = records_of(exons.value());
    FUZZ_CHECK(records.size() == count, "not one -w record per transcript: " + fuzz::shown(exons.value()));
    for (std::size_t i = 0; i < count; ++i) {
        const AnnotatedTranscript& t = a.transcripts[i];
        FUZZ_CHECK(records[i].first.starts_with(t.id), "a -w header that is not its ID's");
        FUZZ_CHECK(records[i].second == spliced(t.chrom, a.exons(t), t.forward()),
                   "-w bases of " + fuzz::shown(t.id) + " that are not its spliced exons: " + fuzz::shown(records[i].second));
    }
    const auto cds = records_of(coding.value().cds);
    const auto proteins = records_of(coding.value().proteins);
    FUZZ_CHECK(cds.size() <= count && proteins.size() <= cds.size(), "more -x or -y records than transcripts");
    for (const auto& [head, protein] : proteins) {
        FUZZ_CHECK(!protein.empty(), "an empty protein written");
        FUZZ_CHECK(protein.find_first_not_of("ACDEFGHIKLMNPQRSTVWYBZX*.") == std::string::npos,
                   "a protein letter outside the code: " + fuzz::shown(protein));
    }
    return 0;
}
