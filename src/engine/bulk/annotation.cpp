// The GTF/GFF3 reader: lines and whitespace as Python's str methods see them, features gathered
// per transcript in one flat list, then each transcript assembled and the whole put in order.
#include "engine/bulk/annotation.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <tuple>
#include <unordered_map>

namespace sekva {

namespace {

// gffread drops a GTF transcript whose exon and CDS lines come before any transcript line and
// make one exon shorter than this.
constexpr std::uint64_t SHORTEST_LONE_EXON = 11;

// The length of the line break at `p` (0: none), as str.splitlines breaks the text decoded as
// UTF-8: \n, \r, \r\n, \v, \f, \x1c-\x1e, U+0085, U+2028 and U+2029. A lead byte is never a
// continuation byte, so a break's bytes are one wherever they stand.
std::size_t line_break(const unsigned char* p, const unsigned char* end) {
    switch (*p) {
    case '\n': case '\v': case '\f': case 0x1c: case 0x1d: case 0x1e:
        return 1;
    case '\r':
        return end - p > 1 && p[1] == '\n' ? 2 : 1;
    case 0xc2:
        return end - p > 1 && p[1] == 0x85 ? 2 : 0;
    case 0xe2:
        return end - p > 2 && p[1] == 0x80 && (p[2] == 0xa8 || p[2] == 0xa9) ? 3 : 0;
    default:
        return 0;
    }
}

bool may_break(unsigned char c) { return c <= 0x1e || c == 0xc2 || c == 0xe2; }

// The length of the whitespace character at s[i] (0: none), as str.isspace sees it.
std::size_t space_at(std::string_view s, std::size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const std::size_t left = s.size() - i;
    const unsigned char c = p[0];
    if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) return 1;
    if (c == 0xc2) return left > 1 && (p[1] == 0x85 || p[1] == 0xa0) ? 2 : 0;
    if (left < 3) return 0;
    if (c == 0xe1) return p[1] == 0x9a && p[2] == 0x80 ? 3 : 0;  // U+1680
    if (c == 0xe2) {
        if (p[1] == 0x80) return p[2] <= 0x8a || p[2] == 0xa8 || p[2] == 0xa9 || p[2] == 0xaf ? 3 : 0;
        return p[1] == 0x81 && p[2] == 0x9f ? 3 : 0;  // U+205F
    }
    if (c == 0xe3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;  // U+3000
    return 0;
}

// The length of the whitespace character that ends s (0: none).
std::size_t space_before(std::string_view s) {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n)
        if (space_at(s, s.size() - n) == n) return n;
    return 0;
}

// `s` without the whitespace around it; `number`: as int() strips a number, which keeps \x1c-\x1f.
std::string_view strip(std::string_view s, bool number = false) {
    auto space = [number](std::string_view t, std::size_t n) {
        const auto c = static_cast<unsigned char>(t[t.size() - n]);
        return !(number && n == 1 && c >= 0x1c && c <= 0x1f);
    };
    while (!s.empty()) {
        std::size_t n = space_at(s, 0);
        if (n && !space(s.substr(0, n), n)) n = 0;
        if (!n) break;
        s.remove_prefix(n);
    }
    while (!s.empty()) {
        std::size_t n = space_before(s);
        if (n && !space(s, n)) n = 0;
        if (!n) break;
        s.remove_suffix(n);
    }
    return s;
}

// A whole number as int() reads ASCII text: spaces around, a sign, digits with single
// underscores between them; at most 18 digits, so that it fits.
std::optional<std::int64_t> whole_number(std::string_view text) {
    if (!text.empty() && text.size() <= 18 && text[0] != '0') {  // plain digits, as nearly always
        std::int64_t value = 0;
        std::size_t i = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
        if (i == text.size()) return value;
    }
    text = strip(text, true);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.back() == '_') return std::nullopt;
    std::int64_t value = 0;
    int digits = 0;
    bool after_digit = false;
    for (char c : text) {
        if (c == '_' && after_digit) {
            after_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        if (value || c != '0') ++digits;
        if (digits > 18) return std::nullopt;
        value = value * 10 + (c - '0');
        after_digit = true;
    }
    return negative ? -value : value;
}

std::string_view lower_ascii(std::string_view kind, std::string& buffer) {
    std::size_t i = 0;
    while (i < kind.size() && !(kind[i] >= 'A' && kind[i] <= 'Z')) ++i;
    if (i == kind.size()) return kind;
    buffer.assign(kind);
    for (char& c : buffer)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return buffer;
}

enum class Part : std::uint8_t { Exon, Cds, Codon, Utr, Transcript, Other };

// What a feature (type lowered) adds to its transcript: exons; coding parts (the stop codon
// counts, as gffread counts it), of which CDS lines give the phase; parts that make up exons
// where there is no exon feature; the transcript's own span.
Part part_of(std::string_view kind) {
    if (kind == "exon") return Part::Exon;
    if (kind == "cds") return Part::Cds;
    if (kind == "start_codon" || kind == "stop_codon") return Part::Codon;
    if (kind == "utr" || kind == "5utr" || kind == "3utr" || kind == "five_prime_utr" || kind == "three_prime_utr" ||
        kind == "utr5" || kind == "utr3")
        return Part::Utr;
    if (kind == "transcript" || kind == "mrna") return Part::Transcript;
    return Part::Other;
}

struct Feature {
    std::uint32_t owner;
    Part part;
    Span span;
    std::string_view phase;
};

struct Owner {
    std::string_view id, chrom, strand;
    std::uint32_t record;
    Span span{0, 0};
    bool has_span = false, is_transcript = false, announced = false;
};

// The transcript_id of a GTF attributes field: 'transcript_id "x"' found directly, anything else
// as the pattern (?:^|;)\s*transcript_id\s+"?([^";]*)"? finds it.
std::optional<std::string_view> transcript_id(std::string_view attributes) {
    constexpr std::string_view KEY = "transcript_id \"";
    const std::size_t at = attributes.find(KEY);
    if (at != std::string_view::npos) {
        const std::size_t close = attributes.find('"', at + KEY.size());
        if (close != std::string_view::npos &&
            (at == 0 || attributes[at - 1] == ' ' || attributes[at - 1] == ';' || attributes[at - 1] == '\t'))
            return attributes.substr(at + KEY.size(), close - at - KEY.size());
    }
    constexpr std::string_view NAME = "transcript_id";
    for (std::size_t from = 0;;) {
        std::size_t i = from;
        while (i < attributes.size()) {
            std::size_t n = space_at(attributes, i);
            if (!n) break;
            i += n;
        }
        if (attributes.substr(i, NAME.size()) == NAME) {
            i += NAME.size();
            std::size_t spaces = 0;
            while (i < attributes.size()) {
                std::size_t n = space_at(attributes, i);
                if (!n) break;
                i += n;
                ++spaces;
            }
            if (spaces) {
                if (i < attributes.size() && attributes[i] == '"') ++i;
                std::size_t stop = attributes.find_first_of("\";", i);
                if (stop == std::string_view::npos) stop = attributes.size();
                return attributes.substr(i, stop - i);
            }
        }
        const std::size_t semicolon = attributes.find(';', from);
        if (semicolon == std::string_view::npos) return std::nullopt;
        from = semicolon + 1;
    }
}

// The values of Parent and ID in GFF3 attributes (the last of each where one repeats).
void gff3_ids(std::string_view attributes, std::optional<std::string_view>& parent, std::optional<std::string_view>& id) {
    for (;;) {
        const std::size_t semicolon = attributes.find(';');
        std::string_view item = strip(attributes.substr(0, semicolon));
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos) {
            std::string_view key = item.substr(0, eq);
            if (key == "Parent") parent = item.substr(eq + 1);
            else if (key == "ID") id = item.substr(eq + 1);
        }
        if (semicolon == std::string_view::npos) return;
        attributes.remove_prefix(semicolon + 1);
    }
}

// Whether any of the 8 bytes of `w` may start a line break: 0x0a-0x0d, 0x1c-0x1e, or a byte of
// 0x80 and up (0xc2 and 0xe2 lead U+0085, U+2028 and U+2029). Tabs and plain text pass.
bool word_may_break(std::uint64_t w) {
    constexpr std::uint64_t ONES = 0x0101010101010101, HIGHS = 0x8080808080808080;
    auto between = [&](std::uint64_t low, std::uint64_t high) {  // bytes b with low < b < high
        return (ONES * (127 + high) - (w & ~HIGHS)) & ~w & ((w & ~HIGHS) + ONES * (127 - low)) & HIGHS;
    };
    return (w & HIGHS) || between(0x09, 0x0e) || between(0x1b, 0x1f);
}

// The lines of the text, one at a time, as str.splitlines splits them.
class LineReader {
public:
    explicit LineReader(std::string_view text)
        : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}
    bool next(std::string_view& line) {
        if (p_ >= end_) return false;
        const unsigned char* start = p_;
        const unsigned char* p = p_;
        for (;;) {
            while (end_ - p >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                if (word_may_break(w)) break;
                p += 8;
            }
            if (p >= end_) break;
            if (may_break(*p)) {
                if (std::size_t n = line_break(p, end_)) {
                    line = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
                    p_ = p + n;
                    return true;
                }
            }
            ++p;
        }
        line = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(end_ - start));
        p_ = end_;
        return true;
    }

private:
    const unsigned char* p_;
    const unsigned char* end_;
};

bool is_gff3(std::string_view text) {
    std::vector<std::string_view> lines;
    LineReader reader(text);
    for (std::string_view line; lines.size() < 1000 && reader.next(line);) lines.push_back(line);
    const std::size_t head = lines.size();
    for (std::size_t i = 0; i < std::min<std::size_t>(head, 50); ++i)
        if (lines[i].starts_with("##gff-version 3")) return true;
    bool ids = false;
    for (std::size_t i = 0; i < head; ++i) {
        if (lines[i].find("transcript_id \"") != std::string_view::npos) return false;
        ids = ids || lines[i].find("Parent=") != std::string_view::npos || lines[i].find("ID=") != std::string_view::npos;
    }
    return ids;
}

void merge(std::vector<Span>& spans) {
    if (spans.size() < 2) return;
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.first != b.first ? a.first < b.first : a.last < b.last; });
    std::size_t out = 0;
    for (std::size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first <= spans[out].last + 1) {
            spans[out].last = std::max(spans[out].last, spans[i].last);
        } else {
            spans[++out] = spans[i];
        }
    }
    spans.resize(out + 1);
}

}  // namespace

Result<Annotation, AnnotationProblem> read_annotation(std::string_view text) {
    const bool gff3 = is_gff3(text);
    std::unordered_map<std::string_view, std::uint32_t> records, owner_of;
    std::vector<Owner> owners;
    std::vector<Feature> features;
    struct Child {
        std::string_view parent;
        Part part;
        Span span;
        std::string_view phase;
    };
    std::vector<Child> children;  // GFF3 lines waiting for their parents
    std::string lowered;
    std::string_view last_chrom;
    std::uint32_t last_record = 0;
    bool any_record = false;
    features.reserve(text.size() / 160);
    owner_of.reserve(text.size() / 1024);
    // Lines of one transcript come together: its ID is looked up once for them all.
    std::string_view last_id;
    std::uint32_t last_owner = 0;
    bool any_owner = false;
    LineReader reader(text);
    std::uint64_t number = 0;
    for (std::string_view line; reader.next(line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::string_view fields[9];
        std::size_t count = 0;
        for (std::size_t pos = 0;;) {
            if (count == 8) {
                fields[count++] = line.substr(pos);
                break;
            }
            const std::size_t tab = line.find('\t', pos);
            fields[count++] = line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos);
            if (tab == std::string_view::npos) break;
            pos = tab + 1;
        }
        if (count < 9) {
            if (!gff3 && !strip(line).empty()) return AnnotationProblem{AnnotationProblem::Kind::Fields, number, count};
            continue;
        }
        const std::string_view chrom = fields[0], strand = fields[6], phase = fields[7], attributes = fields[8];
        const std::string_view kind = lower_ascii(fields[2], lowered);
        const auto first = whole_number(fields[3]), last = whole_number(fields[4]);
        if (!first || !last) {
            AnnotationProblem p{AnnotationProblem::Kind::NotNumber, number};
            p.start_text = fields[3];
            p.end_text = fields[4];
            return p;
        }
        if (*first < 1 || *last < *first) {
            AnnotationProblem p{AnnotationProblem::Kind::NotRange, number};
            p.first = *first;
            p.last = *last;
            return p;
        }
        const Span span{static_cast<std::uint64_t>(*first), static_cast<std::uint64_t>(*last)};
        if (!any_record || chrom != last_chrom) {
            last_record = records.try_emplace(chrom, static_cast<std::uint32_t>(records.size())).first->second;
            last_chrom = chrom;
            any_record = true;
        }
        const Part part = part_of(kind);
        if (gff3) {
            std::optional<std::string_view> parent, id;
            gff3_ids(attributes, parent, id);
            if (part == Part::Exon || part == Part::Cds || part == Part::Codon || part == Part::Utr) {
                std::string_view parents = parent.value_or(std::string_view());
                for (;;) {
                    const std::size_t comma = parents.find(',');
                    std::string_view one = parents.substr(0, comma);
                    if (!one.empty()) children.push_back({one, part, span, phase});
                    if (comma == std::string_view::npos) break;
                    parents.remove_prefix(comma + 1);
                }
                continue;
            }
            if (!id) continue;
            auto [at, added] = owner_of.try_emplace(*id, static_cast<std::uint32_t>(owners.size()));
            if (added) owners.push_back(Owner{*id, chrom, strand, last_record});
            Owner& o = owners[at->second];
            o.span = span;
            o.has_span = true;
            o.is_transcript = kind.ends_with("rna") || kind.ends_with("transcript");
            continue;
        }
        const auto tid = transcript_id(attributes);
        if (!tid) continue;
        if (!any_owner || *tid != last_id) {
            auto [at, added] = owner_of.try_emplace(*tid, static_cast<std::uint32_t>(owners.size()));
            if (added) {
                owners.push_back(Owner{*tid, chrom, strand, last_record});
                owners.back().announced = part == Part::Transcript;
            }
            last_id = *tid;
            last_owner = at->second;
            any_owner = true;
        }
        if (part == Part::Transcript) {
            Owner& o = owners[last_owner];
            o.span = span;
            o.has_span = o.is_transcript = true;
        } else if (part != Part::Other) {
            features.push_back({last_owner, part, span, phase});
        }
    }
    for (const Child& c : children) {
        auto at = owner_of.find(c.parent);
        if (at == owner_of.end()) continue;
        owners[at->second].is_transcript = true;
        features.push_back({at->second, c.part, c.span, c.phase});
    }
    // The features of each owner together, in the order they came (a counting sort).
    std::vector<std::size_t> starts(owners.size() + 1, 0);
    for (const Feature& f : features) ++starts[f.owner + 1];
    for (std::size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
    std::vector<const Feature*> grouped(features.size());
    {
        std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
        for (const Feature& f : features) grouped[next[f.owner]++] = &f;
    }
    Annotation out;
    out.transcripts.reserve(owners.size());
    out.spans.reserve(features.size());
    std::vector<Span> exons, cds, utr;
    for (std::size_t k = 0; k < owners.size(); ++k) {
        const Owner& o = owners[k];
        exons.clear();
        cds.clear();
        utr.clear();
        const Feature* phase_line = nullptr;
        const bool forward = o.strand != "-";
        for (std::size_t i = starts[k]; i < starts[k + 1]; ++i) {
            const Feature& f = *grouped[i];
            if (f.part == Part::Exon) {
                exons.push_back(f.span);
            } else if (f.part == Part::Utr) {
                utr.push_back(f.span);
            } else {
                cds.push_back(f.span);
                if (f.part != Part::Cds) continue;
                // The CDS line that starts the coding sequence in the direction of transcription:
                // the least (first, last, phase) forward, the first of the greatest (last, first)
                // backward.
                const Feature* p = phase_line;
                if (!p) {
                    phase_line = &f;
                } else if (forward) {
                    if (std::tie(f.span.first, f.span.last, f.phase) < std::tie(p->span.first, p->span.last, p->phase))
                        phase_line = &f;
                } else if (std::tie(f.span.last, f.span.first) > std::tie(p->span.last, p->span.first)) {
                    phase_line = &f;
                }
            }
        }
        merge(cds);
        if (!exons.empty()) {
            merge(exons);
        } else if (!cds.empty() || !utr.empty()) {
            // Unmerged coding parts and UTRs, merged together: the same as merging the merged ones.
            exons = cds;
            exons.insert(exons.end(), utr.begin(), utr.end());
            merge(exons);
        } else if (o.has_span && o.is_transcript) {
            exons.push_back(o.span);
        } else {
            continue;
        }
        if (!gff3 && !o.announced && exons.size() == 1 && exons[0].last - exons[0].first + 1 < SHORTEST_LONE_EXON)
            continue;
        AnnotatedTranscript t{o.id, o.chrom, o.strand, o.record, static_cast<std::uint32_t>(exons.size()),
                              static_cast<std::uint32_t>(cds.size()), out.spans.size(), out.spans.size() + exons.size(), 0};
        if (phase_line && phase_line->phase.size() == 1 && phase_line->phase[0] >= '0' && phase_line->phase[0] <= '2')
            t.phase = phase_line->phase[0] - '0';
        out.spans.insert(out.spans.end(), exons.begin(), exons.end());
        out.spans.insert(out.spans.end(), cds.begin(), cds.end());
        out.transcripts.push_back(t);
    }
    const Span* spans = out.spans.data();
    std::sort(out.transcripts.begin(), out.transcripts.end(),
              [spans](const AnnotatedTranscript& a, const AnnotatedTranscript& b) {
                  if (a.record != b.record) return a.record < b.record;
                  const Span &a0 = spans[a.exons_at], &b0 = spans[b.exons_at];
                  if (a0.first != b0.first) return a0.first < b0.first;
                  const std::uint64_t a1 = spans[a.exons_at + a.exon_count - 1].last,
                                      b1 = spans[b.exons_at + b.exon_count - 1].last;
                  if (a1 != b1) return a1 < b1;
                  return a.id < b.id;  // bytes as unsigned char, as Python compares bytes
              });
    return out;
}

}  // namespace sekva
