// The index scan. One kernel pass per stretch of a record body finds the next header and counts LF
// and CR bytes; a body whose lines all have the first line's length is then proven regular by
// looking only at the bytes where its line breaks must be. Anything else is walked line by line.
#include "engine/fasta/scan.hpp"

#include <cstring>
#include <functional>
#include <iterator>

#include "engine/base/bytes.hpp"
#include "engine/base/memory.hpp"
#include "engine/fasta/hash_slots.hpp"
#include "engine/simd/count_breaks.hpp"

namespace sekva {

namespace {

FaidxError invalid_utf8() { return io_error("stream did not contain valid UTF-8"); }

struct SegmentScan {
    const char* end;  // the ">" of the next header line, or the end of the data
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    bool ascii = true;
};

// Scans [p, end) up to the first line that starts with ">"; `line_start` tells whether p itself
// starts a line. The kernel counts up to a ">" anywhere; whether that ">" starts a line is decided
// here, byte by byte over the block that holds it.
SegmentScan scan_segment(const char* p, const char* end, bool line_start) {
    SegmentScan out{end};
    const char* const from = p;
    unsigned high_bits = 0;
    while (p < end) {
        BreakCount run = count_breaks(p, end, '>');
        out.lf += run.lf;
        out.cr += run.cr;
        if (!run.ascii) high_bits |= 0x80;
        p = run.stop;
        // A block holding ">" (rare inside sequence) or the tail of the data, byte by byte.
        const char* stop = end - p > 16 ? p + 16 : end;
        for (; p < stop; ++p) {
            char c = *p;
            if (c == '>' && (p == from ? line_start : p[-1] == '\n')) {
                out.end = p;
                stop = end = p;
                break;
            }
            out.lf += c == '\n';
            out.cr += c == '\r';
            high_bits |= static_cast<unsigned char>(c);
        }
    }
    out.ascii = !(high_bits & 0x80);
    return out;
}

// Length of the run of CR bytes that ends just before `end`, looking no further back than `begin`.
std::uint64_t cr_run_before(const char* begin, const char* end) {
    const char* p = end;
    while (p > begin && p[-1] == '\r') --p;
    return static_cast<std::uint64_t>(end - p);
}

std::uint64_t count_byte(const char* p, const char* end, char c) {
    std::uint64_t n = 0;
    for (; p < end; ++p) n += *p == c;
    return n;
}

}  // namespace

Status FastaScanner::feed(const char* data, std::size_t size) {
    if (failed_) return io_error("the scan already failed");
    if (format_ == Format::Unknown) {
        std::size_t i = 0;
        while (i < size && (data[i] == '\n' || data[i] == '\r')) ++i;
        if (i == size) {
            lead_.append(data, size);
            return success;
        }
        format_ = data[i] == '@' ? Format::Fastq : Format::Fasta;
        std::string lead = std::move(lead_);
        if (Status err = format_ == Format::Fastq ? feed_fastq(lead.data(), lead.size())
                                                  : feed_fasta(lead.data(), lead.size()))
            return err;
    }
    return format_ == Format::Fastq ? feed_fastq(data, size) : feed_fasta(data, size);
}

Status FastaScanner::feed_fasta(const char* data, std::size_t size) {
    if (failed_) return io_error("the scan already failed");
    const char* p = data;
    const char* const end = data + size;
    Status err;
    while (p < end && !err) {
        if (where_ == Where::Header) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            const char* stop = nl ? nl : end;
            header_.append(p, static_cast<std::size_t>(stop - p));
            p = stop;
            if (nl) {
                ++p;
                ++line_;
                pos_ += static_cast<std::uint64_t>(p - data);
                data = p;
                err = end_header();
            }
            continue;
        }
        // A line that starts with ">" is a header; where p stands, only a line start can tell.
        bool line_start = p == data ? at_line_start_ : p[-1] == '\n';
        if (line_start && *p == '>') {
            close_body();
            where_ = Where::Header;
            saw_header_ = true;
            header_.clear();
            ++p;
            continue;
        }
        SegmentScan seg = scan_segment(p, end, line_start);
        err = body_segment(p, seg.end, seg.end < end, seg.lf, seg.cr, seg.ascii);
        p = seg.end;
    }
    if (size) at_line_start_ = end[-1] == '\n';
    pos_ += static_cast<std::uint64_t>(end - data);
    if (err) failed_ = true;
    return err;
}

Status FastaScanner::finish() {
    if (failed_) return io_error("the scan already failed");
    if (format_ == Format::Unknown) {
        format_ = Format::Fasta;
        std::string lead = std::move(lead_);
        if (Status err = feed_fasta(lead.data(), lead.size())) return err;
    }
    if (format_ == Format::Fastq) {
        Status err;
        if (!carry_.empty()) {
            std::string line = std::move(carry_);
            carry_.clear();
            err = fastq_line(line.data(), line.data() + line.size(), false);
        }
        if (!err && !read_.done)
            err = read_error("the file ends at line " + std::to_string(line_) + ", before the read's " +
                             (fq_ == FqState::InQual ? "qualities are complete" : "'+' line and qualities"));
        if (!err) close_read();
        if (err) failed_ = true;
        if (!err && !leave_repeats_) drop_repeated_reads();
        return err;
    }
    return finish_fasta();
}

std::string_view header_name(std::string_view header) {
    std::string_view name = trim_unicode(header);
    return name.substr(0, find_unicode_space(name));
}

std::string repeated_read_warning(std::string_view name, std::uint64_t offset) {
    return "Ignoring duplicate sequence \"" + std::string(name) + "\" at byte offset " + std::to_string(offset);
}

std::vector<bool> say_repeated_names(const std::vector<NamedEntry>& entries) {
    // An open-addressed set of entry indexes, at most half full: millions of reads are checked in
    // one pass without a node per name. A slot holds the high half of its name's hash beside the
    // entry's index + 1, so that another name's entry is rarely read, and each entry's slot is asked
    // of the cache a few entries before it is probed, so that the misses of a large set overlap.
    const std::size_t n = entries.size();
    const std::size_t size = slots_for(n, 16), mask = size - 1;
    std::vector<std::uint64_t> slots;
    assign_fresh(slots, size, std::uint64_t{0});
    std::vector<std::size_t> hashes;
    assign_fresh(hashes, n, std::size_t{0});
    std::vector<bool> later(n);
    std::vector<std::string> said;
    const std::hash<std::string_view> hash;
    for (std::size_t i = 0; i < n; ++i) hashes[i] = hash(entries[i].name);
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) __builtin_prefetch(&slots[hashes[i + AHEAD] & mask]);
        const RecordName& name = entries[i].name;
        const std::uint64_t h = hashes[i], tag = slot_tag(h);
        for (std::size_t k = h & mask;; k = (k + 1) & mask) {
            const std::uint64_t slot = slots[k];
            if (!slot) {
                slots[k] = tag | (i + 1);
                break;
            }
            const std::size_t at = slot_item(slot);
            if (slot_tag(slot) == tag && hashes[at] == h && entries[at].name == name) {
                later[i] = true;
                said.push_back(repeated_read_warning(name, entries[i].entry.offset));
                break;
            }
        }
    }
    for (const std::string& line : said) write_warning(line);
    return later;
}

// A FASTQ index lists a name once, at its first read, as samtools writes it.
void FastaScanner::drop_repeated_reads() {
    const std::vector<bool> later = say_repeated_names(entries_);
    const std::size_t n = entries_.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (!later[i]) {
            if (kept != i) entries_[kept] = std::move(entries_[i]);
            ++kept;
        }
    entries_.resize(kept);
}

Status FastaScanner::finish_fasta() {
    Status err;
    if (utf8_due_) {
        err = invalid_utf8();
    } else if (where_ == Where::Header) {
        // A header on the last line, without "\n": its record starts at the end of the file.
        err = end_header();
        if (!err) close_body();
    } else {
        Body& b = body_;
        if (b.named && b.part_bytes) err = end_line(b.part_bytes - b.part_cr, b.part_bytes);
        if (!err) close_body();
    }
    if (err) failed_ = true;
    return err;
}

Status FastaScanner::end_header() {
    if (!is_valid_utf8(header_.data(), header_.size())) return invalid_utf8();
    begin_body(header_name(header_));
    return std::nullopt;
}

void FastaScanner::begin_body(RecordName name) {
    where_ = Where::Body;
    at_line_start_ = true;
    body_ = Body{};
    body_.named = !name.empty();
    body_.name = std::move(name);
    body_.offset = pos_;
}

// The body's record is done; the next header's begin_body sets up the body after it.
void FastaScanner::close_body() {
    Body& b = body_;
    if (!b.named) return;
    entries_.push_back(NamedEntry{std::move(b.name), IndexEntry{b.rlen, b.offset, b.lenc, b.lenb}});
    b.named = false;
}

FaidxError FastaScanner::line_error(const char* what, std::uint64_t line) const {
    std::string text = "sequence '" + body_.name + "': line " + std::to_string(line) + " " + what;
    return FaidxError{ErrorKind::Indexing, std::move(text)};
}

Status FastaScanner::end_line(std::uint64_t bases, std::uint64_t bytes) {
    Body& b = body_;
    b.rlen += bases;
    if (!b.first_done) {
        b.first_done = true;
        b.lenc = bases;
        b.lenb = bytes;
        if (bases == 0) b.blank_line = line_;
        return std::nullopt;
    }
    if (bases == 0) {
        if (!b.blank_line) b.blank_line = line_;
        return std::nullopt;
    }
    if (b.blank_line) return line_error("is empty, but sequence lines follow it", b.blank_line);
    if (b.odd_line)
        return line_error("differs in length from the record's first line; only the last line may be shorter",
                          b.odd_line);
    if (bases != b.lenc || bytes != b.lenb) {
        if (bases > b.lenc) return line_error("is longer than the record's first line", line_);
        b.odd_line = line_;
    }
    return std::nullopt;
}

Status FastaScanner::walk_lines(const char* p, const char* q, bool first_line_only, const char** stop) {
    Body& b = body_;
    while (p < q) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(q - p)));
        if (!nl) {
            std::uint64_t run = cr_run_before(p, q);
            b.part_cr = run == static_cast<std::uint64_t>(q - p) ? b.part_cr + run : run;
            b.part_bytes += static_cast<std::uint64_t>(q - p);
            p = q;
            break;
        }
        std::uint64_t bytes = b.part_bytes + static_cast<std::uint64_t>(nl - p) + 1;
        std::uint64_t run = cr_run_before(p, nl);
        if (run == static_cast<std::uint64_t>(nl - p)) run += b.part_cr;
        b.part_bytes = b.part_cr = 0;
        if (Status err = end_line(bytes - 1 - run, bytes)) return err;
        ++line_;
        p = nl + 1;
        if (first_line_only) break;
    }
    *stop = p;
    return std::nullopt;
}

bool FastaScanner::fast_segment(const char* p, const char* q, bool final, std::uint64_t lf) {
    Body& b = body_;
    // Only records with LF lines, all regular so far, and a line in progress that still fits.
    if (b.odd_line || b.blank_line || b.lenb < 2 || b.lenb - b.lenc != 1 || b.part_cr || b.part_bytes >= b.lenb)
        return false;
    const std::uint64_t n = static_cast<std::uint64_t>(q - p), lenb = b.lenb;
    const std::uint64_t first = lenb - 1 - b.part_bytes;  // where the line in progress must end
    auto breaks_below = [&](std::uint64_t limit) { return first < limit ? (limit - 1 - first) / lenb + 1 : 0; };
    for (std::uint64_t x = first; x < n; x += lenb)
        if (p[x] != '\n') return false;
    std::uint64_t expected = breaks_below(n);
    if (lf == expected) {
        // Every line break is where a regular line ends: the lines are all full lines. A line's
        // bases count once it ends, as in the walk.
        b.rlen += expected * b.lenc;
        b.part_bytes = b.part_bytes + n - expected * lenb;
        line_ += lf;
        return true;
    }
    if (!final) return false;
    // The record ends here: a last line that may be shorter, then empty lines.
    std::uint64_t trailing = 0;
    while (trailing < n && p[n - 1 - trailing] == '\n') ++trailing;
    if (trailing == n) return false;
    std::uint64_t content = n - trailing;
    std::uint64_t inside = breaks_below(content);
    if (lf - trailing != inside) return false;
    std::uint64_t last = b.part_bytes + content - inside * lenb;
    if (last == 0 || last > b.lenc) return false;
    b.rlen += inside * b.lenc + last;
    b.part_bytes = 0;
    line_ += lf;
    return true;
}

Status FastaScanner::body_segment(const char* p, const char* q, bool final, std::uint64_t lf, std::uint64_t cr,
                                  bool ascii) {
    if (!ascii || utf8_due_) {
        std::size_t bad = utf8(p, static_cast<std::size_t>(q - p));
        if (bad < static_cast<std::size_t>(q - p)) {
            // The lines before the one that is not text are read first, so that whichever
            // problem comes first in the file is the one reported.
            const char* line = p + bad;
            while (line > p && line[-1] != '\n') --line;
            if (body_.named) {
                const char* stop;
                if (Status err = walk_lines(p, line, false, &stop)) return err;
            }
            return invalid_utf8();
        }
    }
    Body& b = body_;
    if (!b.named) {
        line_ += lf;
        return std::nullopt;
    }
    if (!b.first_done) {
        const char* stop;
        if (Status err = walk_lines(p, q, true, &stop)) return err;
        // The first line holds at most one LF; its CRs are counted only when there are any.
        if (stop > p && stop[-1] == '\n') --lf;
        if (cr) cr -= count_byte(p, stop, '\r');
        p = stop;
        if (p == q) return std::nullopt;
    }
    if (cr == 0 && fast_segment(p, q, final, lf)) return std::nullopt;
    const char* stop;
    return walk_lines(p, q, false, &stop);
}

std::size_t FastaScanner::utf8(const char* p, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned c = s[i];
        if (utf8_due_) {
            if (c < utf8_lo_ || c > utf8_hi_) return i;
            --utf8_due_;
            utf8_lo_ = 0x80;
            utf8_hi_ = 0xBF;
            continue;
        }
        if (c < 0x80) continue;
        unsigned lo, hi;
        if (!utf8_lead(c, utf8_due_, lo, hi)) return i;
        utf8_lo_ = static_cast<unsigned char>(lo);
        utf8_hi_ = static_cast<unsigned char>(hi);
    }
    return n;
}

// ---- Digests of whole lines ----

namespace {

// Body lines of a stretch between headers in more runs than this are no record's (whose lines are
// its first line's length, then a shorter last line, then empty lines): the scan judges them.
constexpr std::size_t MOST_RUNS = 8;

struct Runs {
    std::vector<LineDigest::Item>& items;
    std::size_t added = 0;

    bool add(std::uint64_t bases, std::uint64_t bytes, std::uint64_t count) {
        if (!count) return true;
        if (added && items.back().bases == bases && items.back().bytes == bytes) {
            items.back().count += count;
            return true;
        }
        if (++added > MOST_RUNS) return false;
        LineDigest::Item item;
        item.count = count;
        item.bases = bases;
        item.bytes = bytes;
        items.push_back(std::move(item));
        return true;
    }
    // Line by line over [p, q), whole lines; the CR bytes met are added to `cr`.
    bool walk(const char* p, const char* q, std::uint64_t& lines, std::uint64_t& cr) {
        while (p < q) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(q - p)));
            if (!nl) return false;
            const std::uint64_t bytes = static_cast<std::uint64_t>(nl - p) + 1;
            cr += count_byte(p, nl, '\r');
            if (!add(bytes - 1 - cr_run_before(p, nl), bytes, 1)) return false;
            ++lines;
            p = nl + 1;
        }
        return true;
    }
};

// The body lines [p, q), `lf` and `cr` bytes among them. Lines of the first line's length (with
// LF or CRLF breaks) are proven so by looking only where their breaks must be, as the scan does;
// the lines after them, and any body that fails the proof, are walked one by one.
bool digest_body(const char* p, const char* q, std::uint64_t lf, std::uint64_t cr, std::vector<LineDigest::Item>& items) {
    const std::size_t before = items.size();
    Runs runs{items};
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(q - p)));
    if (!nl) return false;
    const std::uint64_t width = static_cast<std::uint64_t>(nl - p) + 1, n = static_cast<std::uint64_t>(q - p);
    const std::uint64_t first_cr = cr_run_before(p, nl);
    if (first_cr <= 1 && count_byte(p, nl, '\r') == first_cr) {
        std::uint64_t full = 0;
        for (std::uint64_t x = width - 1; x < n && p[x] == '\n' && (!first_cr || p[x - 1] == '\r'); x += width) ++full;
        std::uint64_t lines = 0, rest_cr = 0;
        if (runs.add(width - 1 - first_cr, width, full) && runs.walk(p + full * width, q, lines, rest_cr) &&
            full + lines == lf && full * first_cr + rest_cr == cr)
            return true;
        items.resize(before);
    }
    Runs again{items};
    std::uint64_t lines = 0, seen_cr = 0;
    return again.walk(p, q, lines, seen_cr);
}

}  // namespace

bool digest_lines(const char* p, const char* q, std::uint64_t at, LineDigest& out, const char** header) {
    out.items.clear();
    out.begin = at;
    out.end = at + static_cast<std::uint64_t>(q - p);
    *header = nullptr;
    while (p < q) {
        if (*p == '>') {
            *header = p;
            return false;
        }
        SegmentScan seg = scan_segment(p, q, true);
        if (!seg.ascii || !digest_body(p, seg.end, seg.lf, seg.cr, out.items)) return false;
        p = seg.end;
    }
    return true;
}

bool FastaScanner::takes_digest(std::uint64_t at) const {
    return format_ == Format::Fasta && !failed_ && pos_ == at && at_line_start_ && where_ == Where::Body &&
           !body_.part_bytes && !body_.part_cr && !utf8_due_;
}

Status FastaScanner::end_lines(std::uint64_t bases, std::uint64_t bytes, std::uint64_t count) {
    if (!body_.named) {
        line_ += count;
        return success;
    }
    // After two alike lines a third changes nothing but the length: the first may set the record's
    // geometry or mark a line unlike it, the second fails on such a mark.
    for (std::uint64_t k = 0; k < count && k < 2; ++k) {
        if (Status err = end_line(bases, bytes)) return err;
        ++line_;
    }
    if (count > 2) {
        body_.rlen += (count - 2) * bases;
        line_ += count - 2;
    }
    return success;
}

Status FastaScanner::feed_digest(const LineDigest& digest) {
    if (!takes_digest(digest.begin)) return io_error("the scan cannot take these lines here");
    Status err;
    for (const LineDigest::Item& item : digest.items)
        if ((err = end_lines(item.bases, item.bytes, item.count))) break;
    pos_ = digest.end;
    if (err) failed_ = true;
    return err;
}

FastaScanner FastaScanner::starting_at(Format format, std::uint64_t at) {
    FastaScanner ahead;
    ahead.format_ = format;
    ahead.pos_ = ahead.began_ = at;
    return ahead;
}

FastaScanner FastaScanner::fasta_from(std::uint64_t at) { return starting_at(Format::Fasta, at); }

FastaScanner FastaScanner::fastq_from(std::uint64_t at) { return starting_at(Format::Fastq, at); }

void FastaScanner::append_entries(std::vector<NamedEntry>&& more) {
    if (entries_.empty() && entries_.capacity() < more.size()) {
        entries_ = std::move(more);
    } else {
        entries_.insert(entries_.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
}

// At the start of a body line the next line's '>' closes the record whatever came before: nothing
// else of this scanner's state counts from there on but its offset and line.
bool FastaScanner::take_fasta_ahead(FastaScanner&& ahead) {
    if (!takes_digest(ahead.began_) || ahead.failed_ || ahead.format_ != Format::Fasta) return false;
    close_body();
    append_entries(std::move(ahead.entries_));
    // The line numbers the record in progress keeps count from the first line `ahead` read.
    const std::uint64_t before = line_ - 1;
    body_ = std::move(ahead.body_);
    if (body_.odd_line) body_.odd_line += before;
    if (body_.blank_line) body_.blank_line += before;
    where_ = ahead.where_;
    header_ = std::move(ahead.header_);
    saw_header_ = saw_header_ || ahead.saw_header_;
    at_line_start_ = ahead.at_line_start_;
    utf8_due_ = ahead.utf8_due_;
    utf8_lo_ = ahead.utf8_lo_;
    utf8_hi_ = ahead.utf8_hi_;
    pos_ = ahead.pos_;
    line_ += ahead.line_ - 1;
    return true;
}

Result<std::vector<NamedEntry>> scan_fasta(std::string_view data) {
    FastaScanner scanner;
    if (Status err = scanner.feed(data.data(), data.size())) return *err;
    if (Status err = scanner.finish()) return *err;
    return std::move(scanner.entries());
}

}  // namespace sekva
