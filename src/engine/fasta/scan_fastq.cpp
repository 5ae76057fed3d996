// The index scan of FASTQ text: samtools' read rules applied a whole line at a time.
#include <cstring>
#include <iterator>
#include <new>

#include "engine/base/bytes.hpp"
#include "engine/base/memory.hpp"
#include "engine/fasta/scan.hpp"

namespace sekva {

namespace {

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether [b, e) holds a byte outside printable ASCII ('!' to '~'); written so that it vectorises
// over whole vectors of bytes (a count would widen every byte to a 64-bit lane).
bool any_unprintable(const char* b, const char* e) {
    unsigned char bad = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(b);
    const std::size_t n = static_cast<std::size_t>(e - b);
    for (std::size_t i = 0; i < n; ++i) bad |= static_cast<unsigned char>(s[i] - 0x21) > 0x5D;
    return bad;
}

std::string shown(char c) {
    if (c >= '!' && c <= '~') return std::string("'") + c + "'";
    char buf[8];
    static constexpr char hex[] = "0123456789abcdef";
    const auto u = static_cast<unsigned char>(c);
    buf[0] = '0', buf[1] = 'x', buf[2] = hex[u >> 4], buf[3] = hex[u & 15], buf[4] = 0;
    return buf;
}

}  // namespace

FaidxError FastaScanner::read_error(const std::string& what) const {
    std::string text = have_read_ ? "read '" + read_.name + "': " + what : what;
    return FaidxError{ErrorKind::Indexing, std::move(text)};
}

void FastaScanner::close_read() {
    if (!have_read_) return;
    const Read& r = read_;
    entries_.push_back(NamedEntry{std::move(read_.name), IndexEntry{r.bases, r.offset, r.lenc, r.lenb, r.qual}});
    have_read_ = false;
    read_ = Read{};
}

// Between two reads, the next line's '@' starts a read whatever came before: the read before it
// closes, and nothing else of this scanner's state counts from there on but its offset and line.
bool FastaScanner::take_ahead(FastaScanner&& ahead) {
    if (format_ == Format::Fasta) return take_fasta_ahead(std::move(ahead));
    const bool between_reads = fq_ == FqState::OutRead || (fq_ == FqState::InQual && read_.done);
    if (failed_ || ahead.failed_ || format_ != Format::Fastq || ahead.format_ != Format::Fastq ||
        pos_ != ahead.began_ || !carry_.empty() || !between_reads)
        return false;
    close_read();
    append_entries(std::move(ahead.entries_));
    fq_ = ahead.fq_;
    read_ = std::move(ahead.read_);
    have_read_ = ahead.have_read_;
    carry_ = std::move(ahead.carry_);
    pos_ = ahead.pos_;
    line_ += ahead.line_ - 1;
    return true;
}

std::size_t FastaScanner::expected_entries(std::uint64_t size) const {
    if (pos_ <= began_ || size <= pos_ || entries_.empty()) return entries_.size();
    const double per_byte = static_cast<double>(entries_.size()) / static_cast<double>(pos_ - began_);
    const double expected = per_byte * static_cast<double>(size - began_) * 1.05 + 16;
    return expected < 1e9 ? static_cast<std::size_t>(expected) : entries_.size();
}

void FastaScanner::expect_size(std::uint64_t size) {
    const std::size_t expected = expected_entries(size);
    if (expected > entries_.capacity()) {
        try {
            std::vector<NamedEntry> room;
            reserve_fresh(room, expected);
            room.insert(room.end(), std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()));
            entries_.swap(room);
        } catch (const std::bad_alloc&) {  // only a guess: the entries grow as they come instead
        }
    }
}

Status FastaScanner::feed_fastq(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    Status err;
    if (!carry_.empty()) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size));
        if (!nl) {
            carry_.append(p, size);
            pos_ += size;
            return success;
        }
        carry_.append(p, static_cast<std::size_t>(nl - p));
        std::string line = std::move(carry_);
        carry_.clear();
        pos_ += static_cast<std::uint64_t>(nl + 1 - p);
        p = nl + 1;
        err = fastq_line(line.data(), line.data() + line.size(), true);
    }
    while (!err && p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!nl) {
            carry_.assign(p, static_cast<std::size_t>(end - p));
            pos_ += static_cast<std::uint64_t>(end - p);
            break;
        }
        pos_ += static_cast<std::uint64_t>(nl + 1 - p);
        err = fastq_line(p, nl, true);
        p = nl + 1;
    }
    if (err) failed_ = true;
    return err;
}

// The bases (or qualities) of a line: its bytes, less a CR at its end. Anything else that is not
// printable would be counted by samtools' index as a byte of the line but not as a base, which
// puts every later base of the read at the wrong place.
Status FastaScanner::fastq_count(const char* b, const char* e, std::uint64_t line, std::uint64_t& bases) {
    const bool cr = e > b && e[-1] == '\r';
    if (any_unprintable(b, e - cr)) {
        const char* q = b;
        while (static_cast<unsigned char>(*q - 0x21) <= 0x5D) ++q;
        return read_error("line " + std::to_string(line) + " holds the byte " + shown(*q) + " at column " +
                          std::to_string(q - b + 1) + ", which is neither a base nor a quality");
    }
    bases = static_cast<std::uint64_t>(e - b) - cr;
    return success;
}

// An '@' line: the read before it is complete; the name is its first word. `after` is the offset
// of the byte past the line.
Status FastaScanner::fastq_name(const char* b, const char* e, bool lf, std::uint64_t after) {
    close_read();
    if (!is_valid_utf8(b, static_cast<std::size_t>(e - b))) return io_error("stream did not contain valid UTF-8");
    const char* n = b + 1;
    while (n < e && is_c_space(*n)) ++n;
    const char* m = n;
    while (m < e && !is_c_space(*m)) ++m;
    if (m == n) return read_error("line " + std::to_string(line_) + " is a read's '@' line without a name");
    have_read_ = true;
    read_.name.assign(n, static_cast<std::size_t>(m - n));
    if (!lf) return read_error("the file ends at line " + std::to_string(line_) + ", after the read's name");
    read_.offset = after;
    fq_ = FqState::InSeq;
    return success;
}

Status FastaScanner::fastq_line(const char* b, const char* e, bool lf) {
    const std::uint64_t after = pos_;  // the caller has counted this line's bytes
    const std::uint64_t line = line_;
    line_ += lf;
    Read& r = read_;
    const char first = b < e ? *b : '\n';
    auto at = [line] { return "line " + std::to_string(line); };
    switch (fq_) {
        case FqState::OutRead:
            if (first == '\n') return success;
            if (first == '@') return fastq_name(b, e, lf, after);
            if (first == '\r') {
                if (e - b == 1 && lf) return success;
                return read_error(at() + " holds a carriage return not followed by a line break");
            }
            if (first == '>')
                return read_error(at() + " starts with '>', a FASTA header, in a FASTQ file");
            return read_error(at() + " starts with " + shown(first) + " where a read's '@' line should start");
        case FqState::InSeq:
        case FqState::SeqEnd: {
            if (first == '+') {
                fq_ = FqState::InQual;
                r.qual = after;
                return success;
            }
            if (fq_ == FqState::SeqEnd)
                return read_error(at() + " starts with " + (first == '\n' ? std::string("a line break") : shown(first)) +
                                  " where the '+' line should follow a shorter last line of bases");
            if (first == '\n') return read_error(at() + " is empty, inside the read's bases");
            std::uint64_t bases;
            if (Status err = fastq_count(b, e, line, bases)) return err;
            const std::uint64_t bytes = static_cast<std::uint64_t>(e - b) + 1;
            r.bases += bases;
            if (r.lenb == 0) {
                r.lenb = bytes;
                r.lenc = bases;
            } else if (bytes < r.lenb) {
                fq_ = FqState::SeqEnd;
            } else if (bytes > r.lenb) {
                return read_error(at() + " is longer than the read's first line of bases");
            } else if (bases != r.lenc) {
                return read_error(at() + " ends its line differently from the read's first line (CR LF and LF mixed)");
            }
            return success;
        }
        case FqState::InQual: {
            if (first == '\n') {
                if (!r.done) return read_error(at() + " is empty, inside the read's qualities");
                fq_ = FqState::OutRead;
                return success;
            }
            if (first == '@' && r.done) return fastq_name(b, e, lf, after);
            std::uint64_t quals;
            if (Status err = fastq_count(b, e, line, quals)) return err;
            const std::uint64_t bytes = static_cast<std::uint64_t>(e - b) + 1;
            r.quals += quals;
            if (bytes > r.lenb) return read_error(at() + " is a line of qualities longer than the read's lines");
            if (bytes == r.lenb && quals != r.lenc)
                return read_error(at() + " ends its line differently from the read's first line (CR LF and LF mixed)");
            if (r.quals == r.bases) {
                r.done = true;
            } else if (r.quals > r.bases) {
                return read_error(at() + " brings the read's qualities to " + std::to_string(r.quals) + ", more than its " +
                                  std::to_string(r.bases) + " bases");
            } else if (bytes < r.lenb) {
                return read_error(at() + " is a line of qualities shorter than the read's lines, before its last");
            }
            return success;
        }
    }
    return success;
}

}  // namespace sekva
