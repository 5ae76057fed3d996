// Fuzz target for the index scan. The first byte picks the mode: even, the rest is FASTA (or FASTQ)
// as it comes (no crash, text names, an index that reads back, irregular records refused); odd, the
// rest drives a generator of well-formed FASTA whose five columns must match the line-by-line model.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

#include "engine/fasta/index_file.hpp"
#include "engine/fasta/name_table.hpp"
#include "engine/fasta/scan.hpp"
#include "engine/fasta/scan_pieces.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// The written .fai text must give back, for every name, its last record.
void check_round_trip(const std::vector<NamedEntry>& entries) {
    std::string text = format_index(entries);
    NameTable table;
    Status err = parse_index_text(text, table);
    FUZZ_CHECK(!err, "the scan's index does not read back: " + err->display() + " in " + fuzz::shown(text));
    std::map<std::string_view, const IndexEntry*> last;
    for (const auto& e : entries) last[e.name] = &e.entry;
    FUZZ_CHECK(table.size() == last.size(), "index read back with " + std::to_string(table.size()) + " names, " +
                                                std::to_string(last.size()) + " written: " + fuzz::shown(text));
    for (const auto& [name, entry] : last) {
        const IndexEntry* got = table.find(name);
        FUZZ_CHECK(got && fuzz::same_entry(*got, *entry), "index read back wrong for " + fuzz::shown(name));
    }
}

// The scan's rules, line by line, as plainly as they can be written: the entries of every named
// record, or the first problem in file order (a line that is not UTF-8; a record line after an
// empty one; a line after one unlike the record's first line; a line longer than the first).
struct ModelScan {
    std::vector<NamedEntry> entries;
    std::optional<FaidxError> error;
};

std::string first_word(std::string_view header) {
    std::string_view t = fuzz::trim(header);
    auto points = fuzz::decode_utf8(t);
    for (const auto& p : *points)
        if (fuzz::is_space(p.value)) return std::string(t.substr(0, p.at));
    return std::string(t);
}

ModelScan model_scan(std::string_view d) {
    ModelScan out;
    struct Line {
        std::uint64_t bases, bytes, number;
    };
    bool named = false;
    std::string name;
    std::uint64_t offset = 0, number = 0;
    std::vector<Line> lines;
    auto fail = [&](std::uint64_t line, const char* what) {
        out.error = FaidxError{ErrorKind::Indexing, "sequence '" + name + "': line " + std::to_string(line) + " " + what};
    };
    // Checks the record's lines so far; the last one may still be shorter than the first.
    auto check = [&]() {
        const Line& first = lines.front();
        std::uint64_t blank = first.bases == 0 ? first.number : 0, odd = 0;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const Line& l = lines[i];
            if (l.bases == 0) {
                if (!blank) blank = l.number;
                continue;
            }
            if (blank) return fail(blank, "is empty, but sequence lines follow it");
            if (odd) return fail(odd, "differs in length from the record's first line; only the last line may be shorter");
            if (l.bases != first.bases || l.bytes != first.bytes) {
                if (l.bases > first.bases) return fail(l.number, "is longer than the record's first line");
                odd = l.number;
            }
        }
    };
    auto close = [&]() {
        if (!named) return;
        std::uint64_t rlen = 0;
        for (const Line& l : lines) rlen += l.bases;
        IndexEntry e{rlen, offset, lines.empty() ? 0 : lines.front().bases, lines.empty() ? 0 : lines.front().bytes};
        out.entries.push_back(NamedEntry{name, e});
    };
    std::size_t pos = 0;
    while (pos < d.size()) {
        std::size_t nl = d.find('\n', pos);
        std::size_t next = nl == std::string_view::npos ? d.size() : nl + 1;
        std::string_view line = d.substr(pos, next - pos);
        pos = next;
        ++number;
        if (!fuzz::valid_utf8(line)) {
            out.error = io_error("stream did not contain valid UTF-8");
            return out;
        }
        if (line[0] == '>') {
            close();
            std::string_view header = line.substr(1);
            if (!header.empty() && header.back() == '\n') header.remove_suffix(1);
            name = first_word(header);
            named = !name.empty();
            offset = next;
            lines.clear();
            continue;
        }
        if (!named) continue;
        std::uint64_t bases = line.size();
        while (bases > 0 && (line[bases - 1] == '\n' || line[bases - 1] == '\r')) --bases;
        lines.push_back({bases, line.size(), number});
        check();
        if (out.error) return out;
    }
    close();
    return out;
}

// samtools' FASTQ index build (htslib's fai_build_core) byte by byte, as it is written there, plus
// what sekva refuses beyond it: a read without a name, a name line that is not UTF-8, and a line of
// bases or qualities holding a byte other than printable ASCII (a CR before its LF aside) or of
// the first line's length with another count of bases. Then the later reads of a repeated name go.
std::optional<std::vector<NamedEntry>> model_fastq(std::string_view d) {
    enum { OutRead, InSeq, SeqEnd, InQual } state = OutRead;
    std::size_t i = 0;
    auto get = [&]() -> int { return i < d.size() ? static_cast<unsigned char>(d[i++]) : -1; };
    auto graph = [](int c) { return c > 0x20 && c < 0x7F; };
    std::vector<NamedEntry> reads;
    std::string name;
    bool done = false;
    std::uint64_t seq_offset = 0, qual_offset = 0, seq_len = 0, qual_len = 0, char_len = 0, line_len = 0;
    // A line of bases or qualities from its first byte c: bytes (LF counted, present or not) and bases.
    auto counted = [&](int c, std::uint64_t& ll, std::uint64_t& cl) {
        ll = cl = 0;
        bool odd = false, cr_last = false;
        do {
            ++ll;
            if (graph(c)) ++cl;
            odd = odd || cr_last || (!graph(c) && c != '\r');
            cr_last = !graph(c) && c == '\r';
        } while ((c = get()) >= 0 && c != '\n');
        ++ll;
        return !odd;
    };
    auto begin_read = [&]() {
        if (done) reads.push_back(NamedEntry{name, IndexEntry{seq_len, seq_offset, char_len, line_len, qual_offset}});
        done = false;
        int c;
        const std::size_t line_start = i - 1;  // the '@'
        name.clear();
        if ((c = get()) < 0) return false;
        do {
            if (!std::isspace(c)) name += static_cast<char>(c);
            else if (!name.empty() || c == '\n') break;
        } while ((c = get()) >= 0);
        if (c < 0) return false;
        if (c != '\n')
            while ((c = get()) >= 0 && c != '\n') {
            }
        if (name.empty() || !fuzz::valid_utf8(d.substr(line_start, i - line_start))) return false;
        state = InSeq;
        seq_len = qual_len = char_len = line_len = 0;
        seq_offset = i;
        return true;
    };
    int c;
    while ((c = get()) >= 0) {
        std::uint64_t ll, cl;
        switch (state) {
            case OutRead:
                if (c == '@') {
                    if (!begin_read()) return std::nullopt;
                } else if (c == '\r') {
                    if (get() != '\n') return std::nullopt;
                } else if (c != '\n') {
                    return std::nullopt;
                }
                break;
            case InSeq:
            case SeqEnd:
                if (c == '+') {
                    while ((c = get()) >= 0 && c != '\n') {
                    }
                    qual_offset = i;
                    state = InQual;
                    break;
                }
                if (state == SeqEnd || c == '\n') return std::nullopt;
                if (!counted(c, ll, cl)) return std::nullopt;
                seq_len += cl;
                if (line_len == 0) {
                    line_len = ll;
                    char_len = cl;
                } else if (line_len > ll) {
                    state = SeqEnd;
                } else if (line_len < ll || cl != char_len) {
                    return std::nullopt;
                }
                break;
            case InQual:
                if (c == '\n') {
                    if (!done) return std::nullopt;
                    state = OutRead;
                    break;
                }
                if (c == '@' && done) {
                    if (!begin_read()) return std::nullopt;
                    break;
                }
                if (!counted(c, ll, cl)) return std::nullopt;
                qual_len += cl;
                if (line_len < ll || (line_len == ll && cl != char_len)) return std::nullopt;
                if (qual_len == seq_len) done = true;
                else if (qual_len > seq_len || line_len > ll) return std::nullopt;
                break;
        }
    }
    if (!done) return std::nullopt;
    reads.push_back(NamedEntry{name, IndexEntry{seq_len, seq_offset, char_len, line_len, qual_offset}});
    std::vector<NamedEntry> first;
    std::map<std::string, bool> seen;
    for (NamedEntry& r : reads)
        if (seen.emplace(r.name, true).second) first.push_back(std::move(r));
    return first;
}

bool looks_fastq(std::string_view d) {
    std::size_t at = d.find_first_not_of("\r\n");
    return at != std::string_view::npos && d[at] == '@';
}

// A scan of `d` that `how` ended (with `err` or not) gave what the scan of the whole text gave.
void check_same_scan(const char* how, std::string_view d, Status err, FastaScanner& scanner,
                     Result<std::vector<NamedEntry>>& whole) {
    if (!err) err = scanner.finish();
    FUZZ_CHECK(whole.ok() == !err, std::string(how) + ", the scan " + (err ? "failed: " + err->display() : "succeeded") +
                                       "; in one piece it " + (whole.ok() ? "succeeded" : "failed") + ": " + fuzz::shown(d));
    if (err) {
        FUZZ_CHECK(err->display() == whole.error().display(), std::string(how) + ": " + err->display() + " in " + fuzz::shown(d));
        return;
    }
    const auto& a = scanner.entries();
    const auto& b = whole.value();
    FUZZ_CHECK(a.size() == b.size(), std::string(how) + ": another number of entries for " + fuzz::shown(d));
    for (std::size_t i = 0; i < a.size(); ++i)
        FUZZ_CHECK(a[i].name == b[i].name && fuzz::same_entry(a[i].entry, b[i].entry),
                   std::string(how) + ": entry " + std::to_string(i) + " differs for " + fuzz::shown(d));
}

// The same bytes fed in pieces of any size, down to one byte, give the same entries or error.
void check_pieces(std::string_view d, Result<std::vector<NamedEntry>>& whole, std::uint64_t seed) {
    fuzz::SplitMix rng{seed};
    FastaScanner scanner;
    Status err;
    for (std::size_t at = 0; at < d.size() && !err;) {
        std::size_t n = std::min<std::size_t>(d.size() - at, 1 + rng.next() % (rng.next() % 2 ? 7 : 300));
        err = scanner.feed(d.data() + at, n);
        at += n;
    }
    check_same_scan("fed in pieces", d, err, scanner, whole);
}

// The same bytes cut into pieces whose whole lines are digested (FASTA) or whose reads are scanned
// (FASTQ) apart from the scan, as the threads of a parallel index build do it, give the same
// entries or error.
void check_digested_pieces(std::string_view d, Result<std::vector<NamedEntry>>& whole, std::uint64_t seed) {
    fuzz::SplitMix rng{seed ^ 0x5eed};
    FastaScanner scanner;
    Status err;
    ScannedPiece piece;
    for (std::size_t at = 0; at < d.size() && !err;) {
        std::size_t n = std::min<std::size_t>(d.size() - at, 1 + rng.next() % (rng.next() % 2 ? 9 : 400));
        const PieceWork work = scanner.is_fasta()   ? PieceWork::digest
                               : scanner.is_fastq() ? PieceWork::scan_reads
                                                    : PieceWork::keep;
        piece.take(d.data() + at, n, at, work);
        err = piece.feed(scanner);
        at += n;
    }
    check_same_scan("digested in pieces", d, err, scanner, whole);
}

void arbitrary(std::string_view d, std::uint64_t seed) {
    auto scanned = scan_fasta(d);
    check_pieces(d, scanned, seed);
    check_digested_pieces(d, scanned, seed);
    if (looks_fastq(d)) {
        auto model = model_fastq(d);
        FUZZ_CHECK(scanned.ok() == model.has_value(), std::string("FASTQ scan ") + (scanned.ok() ? "accepted" : "refused") +
                                                          " what samtools' rules " + (model ? "accept" : "refuse") +
                                                          ": " + fuzz::shown(d, 400));
        if (!model) {
            const FaidxError& err = scanned.error();
            FUZZ_CHECK(err.kind == ErrorKind::Indexing || err.payload == "stream did not contain valid UTF-8",
                       "FASTQ refused with " + err.display());
            return;
        }
        FUZZ_CHECK(scanned.value().size() == model->size(), "FASTQ scan has another number of reads: " + fuzz::shown(d, 400));
        for (std::size_t i = 0; i < model->size(); ++i) {
            const NamedEntry& e = scanned.value()[i];
            FUZZ_CHECK(e.name == (*model)[i].name && fuzz::same_entry(e.entry, (*model)[i].entry),
                       "read " + std::to_string(i) + " is " + fuzz::shown(e.name) + " " + fuzz::entry_text(e.entry) +
                           ", samtools' rules give " + fuzz::shown((*model)[i].name) + " " +
                           fuzz::entry_text((*model)[i].entry) + " in " + fuzz::shown(d, 400));
        }
        check_round_trip(scanned.value());
        return;
    }
    ModelScan model = model_scan(d);
    if (!scanned.ok()) {
        const FaidxError& err = scanned.error();
        FUZZ_CHECK(model.error && err.display() == model.error->display(),
                   "scan failed with " + err.display() + "; the line model " +
                       (model.error ? "fails with " + model.error->display() : std::string("accepts it")) + ": " +
                       fuzz::shown(d, 400));
        return;
    }
    FUZZ_CHECK(!model.error, "scan accepted what the line model refuses (" + model.error->display() + "): " +
                                 fuzz::shown(d, 400));
    FUZZ_CHECK(scanned.value().size() == model.entries.size(), "scan has another number of entries than the line model: " +
                                                                    fuzz::shown(d, 400));
    for (std::size_t i = 0; i < model.entries.size(); ++i) {
        const NamedEntry& e = scanned.value()[i];
        FUZZ_CHECK(e.name == model.entries[i].name && fuzz::same_entry(e.entry, model.entries[i].entry),
                   "entry " + std::to_string(i) + " is " + fuzz::shown(e.name) + " " + fuzz::entry_text(e.entry) +
                       ", the line model has " + fuzz::shown(model.entries[i].name) + " " +
                       fuzz::entry_text(model.entries[i].entry) + " in " + fuzz::shown(d, 400));
        FUZZ_CHECK(!fuzz::has_space(e.name), "name holds white space: " + fuzz::shown(e.name));
    }
    check_round_trip(scanned.value());
}

void well_formed(fuzz::Input& in) {
    fuzz::WellFormed w = fuzz::well_formed_fasta(in);
    std::vector<fuzz::ModelRecord> model = fuzz::checked_model(w);
    auto scanned = scan_fasta(w.text);
    check_digested_pieces(w.text, scanned, w.text.size());
    FUZZ_CHECK(scanned.ok(), "well-formed FASTA refused: " + scanned.error().display() + " " + fuzz::shown(w.text));
    const auto& got = scanned.value();
    FUZZ_CHECK(got.size() == model.size(), std::to_string(got.size()) + " entries, model has " +
                                               std::to_string(model.size()) + ": " + fuzz::shown(w.text));
    for (std::size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(got[i].name == model[i].name && fuzz::same_entry(got[i].entry, model[i].entry),
                   "entry " + std::to_string(i) + " is " + fuzz::shown(got[i].name) + " " +
                       fuzz::entry_text(got[i].entry) + ", model has " + fuzz::shown(model[i].name) + " " +
                       fuzz::entry_text(model[i].entry) + " in " + fuzz::shown(w.text, 400));
    check_round_trip(got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // A FASTQ scan reports repeated read names; kept here rather than written for every run.
    std::vector<std::string> warnings;
    WarningRedirect quiet(&warnings);
    if (data[0] & 1) {
        fuzz::Input in(data + 1, size - 1);
        well_formed(in);
    } else {
        arbitrary(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), data[0]);
    }
    return 0;
}
