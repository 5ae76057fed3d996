// Reading and writing .fai files.
#include "engine/fasta/index_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "engine/base/bytes.hpp"
#include "engine/base/memory.hpp"
#include "engine/fasta/name_table.hpp"
#include "engine/io/fs.hpp"
#include "engine/io/replace_file.hpp"
#include "engine/parallel/first_failure.hpp"
#include "engine/parallel/worker_pool.hpp"

namespace sekva {

namespace {

// An optional "+", then one or more ASCII digits, at most 2^64 - 1.
bool parse_u64(std::string_view s, std::uint64_t& out) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, static_cast<std::uint64_t>(c - '0'), &v))
            return false;
    }
    out = v;
    return true;
}

// The columns of the index's lines: not yet known (0), five (FASTA) or six (FASTQ).
using Layout = int;

// The names whose entries a parse keeps. Most lines of a large index name none of them: two bits
// of a bit set (sixteen bits a name, small enough to stay in the core's cache), drawn from the
// name's hash, turn nearly all of them away before the table itself is read.
class WantedNames {
public:
    explicit WantedNames(const NameTable& table) : table_(table) {
        std::size_t bits = 64;
        while (bits < 16 * table.size()) bits *= 2;
        bits_.assign(bits / 64, 0);
        mask_ = bits - 1;
        for (std::string_view name : table.keys()) {
            const std::uint64_t h = table.hash(name);
            set(h >> 20 & mask_);
            set(h >> 42 & mask_);
        }
    }
    bool holds(std::string_view name) const {
        const std::uint64_t h = table_.hash(name);
        return is_set(h >> 20 & mask_) && is_set(h >> 42 & mask_) && table_.find_hashed(name, h);
    }

private:
    void set(std::uint64_t bit) { bits_[bit / 64] |= std::uint64_t{1} << bit % 64; }
    bool is_set(std::uint64_t bit) const { return bits_[bit / 64] >> bit % 64 & 1; }

    const NameTable& table_;
    std::vector<std::uint64_t> bits_;
    std::uint64_t mask_;
};

bool printable(char c) { return c > 0x20 && c < 0x7F; }

// The columns of a line (up to six; a seventh makes it no entry), or false where it has seven or more.
bool split_columns(std::string_view line, std::string_view (&cols)[6], std::size_t& count) {
    std::size_t from = 0;
    count = 0;
    for (;;) {
        std::size_t tab = line.find('\t', from);
        std::string_view col = line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from);
        if (count == 6) return false;
        cols[count++] = col;
        if (tab == std::string_view::npos) return true;
        from = tab + 1;
    }
}

// The same for a line of ASCII whose ends are printable (nearly every index line), in one pass and
// with nothing to trim; false where the line is not such a line, or has seven or more columns.
bool split_plain_columns(std::string_view line, std::string_view (&cols)[6], std::size_t& count) {
    const char* p = line.data();
    const std::size_t n = line.size();
    count = 0;
    if (!n || !printable(p[0]) || !printable(p[n - 1])) return false;
    unsigned high = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        high |= c;
        if (c == '\t') {
            if (count == 5) return false;  // seven or more columns: the full rules decide
            cols[count++] = std::string_view(p + start, i - start);
            start = i + 1;
        }
    }
    if (high & 0x80) return false;
    cols[count++] = std::string_view(p + start, n - start);
    return true;
}

// One line of the index, already without its "\n". Lines of other than five or six columns are
// skipped; six columns are a FASTQ read, the last being where its qualities start. The first
// entry sets the layout every later one must have; an entry is kept where `wanted` (if any) holds
// its name.
Status parse_line(std::string_view line, Layout& layout, const WantedNames* wanted, std::vector<NamedEntry>& records) {
    std::string_view cols[6];
    std::size_t count;
    if (!split_plain_columns(line, cols, count)) {
        if (!is_valid_utf8(line.data(), line.size())) return io_error("stream did not contain valid UTF-8");
        if (!split_columns(trim_unicode(line), cols, count)) return std::nullopt;  // seven or more columns
    }
    if (count != 5 && count != 6) return std::nullopt;
    static constexpr const char* invalid[] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};
    std::uint64_t v[5] = {0, 0, 0, 0, IndexEntry::NO_QUALITIES};
    // A sixth column that is no offset makes a line of neither layout, skipped like the others.
    if (count == 6 && (!parse_u64(cols[5], v[4]) || v[4] == IndexEntry::NO_QUALITIES)) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i)
        if (!parse_u64(cols[i + 1], v[i])) return FaidxError{ErrorKind::Indexing, invalid[i]};
    const IndexEntry entry{v[0], v[1], v[2], v[3], v[4]};
    const Layout columns = entry.has_qualities() ? 6 : 5;
    if (layout && layout != columns)
        return FaidxError{ErrorKind::Indexing, "the index mixes five-column (FASTA) and six-column (FASTQ) lines, "
                                               "at record '" + std::string(cols[0]) + "'"};
    layout = columns;
    if (!wanted || wanted->holds(cols[0])) records.push_back(NamedEntry{RecordName(cols[0]), entry});
    return std::nullopt;
}

// Parses the lines of `text` (whole lines, the last one perhaps without its "\n") until the first
// error, or until the layout is known when `until_layout`; returns the bytes it read.
std::size_t parse_lines(std::string_view text, Layout& layout, const WantedNames* wanted, bool until_layout,
                        std::vector<NamedEntry>& records, Status& err) {
    const std::size_t size = text.size();
    while (!text.empty() && !(until_layout && layout)) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if ((err = parse_line(line, layout, wanted, records))) break;
    }
    return size - text.size();
}

// The text after its first entry, parsed in pieces on the pool where only some names are kept:
// every line is still checked, in the order errors would be met, but few entries are made.
Status parse_wanted_in_pieces(std::string_view text, Layout layout, const WantedNames& wanted,
                              std::vector<NamedEntry>& records) {
    const std::size_t pieces = std::max<std::size_t>(1, std::min<std::size_t>(text.size() >> 20, 64));
    std::vector<std::size_t> starts{0};
    for (std::size_t k = 1; k < pieces; ++k) {
        std::size_t at = text.find('\n', std::max(starts.back(), text.size() / pieces * k));
        if (at == std::string_view::npos) break;
        if (at + 1 > starts.back()) starts.push_back(at + 1);
    }
    starts.push_back(text.size());
    const std::size_t count = starts.size() - 1;
    std::vector<std::vector<NamedEntry>> found(count);
    std::vector<Status> errors(count);
    JobOutcome parsed = run_parallel(count, [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            Layout same = layout;
            parse_lines(text.substr(starts[k], starts[k + 1] - starts[k]), same, &wanted, false, found[k], errors[k]);
        }
    });
    if (auto failure = JobFailure::of(std::move(parsed))) return failure->as_error();
    for (std::size_t k = 0; k < count; ++k) {
        records.insert(records.end(), std::make_move_iterator(found[k].begin()), std::make_move_iterator(found[k].end()));
        if (errors[k]) return errors[k];
    }
    return success;
}

// Whole lines of an index of which only the entries of `wanted` are kept: up to the first entry,
// which sets the layout, in order; the rest on the pool where there is much of it.
Status parse_wanted(std::string_view text, Layout& layout, const WantedNames& wanted, std::vector<NamedEntry>& records) {
    Status err;
    const std::size_t read = layout ? 0 : parse_lines(text, layout, &wanted, true, records, err);
    if (err || read == text.size()) return err;
    if (on_pool_worker() || text.size() - read < (std::size_t{4} << 20)) {
        parse_lines(text.substr(read), layout, &wanted, false, records, err);
        return err;
    }
    return parse_wanted_in_pieces(text.substr(read), layout, wanted, records);
}

// The index in a regular file, read a few megabytes at a time into memory reused for each, and
// parsed as it comes; only the entries of `wanted` are kept.
Status read_wanted(int fd, const WantedNames& wanted, Layout& layout, std::vector<NamedEntry>& records) {
    std::string buffer(std::size_t{16} << 20, '\0');
    std::size_t have = 0;
    for (bool end = false; !end;) {
        while (have < buffer.size()) {
            const ssize_t got = ::read(fd, buffer.data() + have, buffer.size() - have);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return io_error_from_errno(errno);
            if (got == 0) {
                end = true;
                break;
            }
            have += static_cast<std::size_t>(got);
        }
        const std::string_view text(buffer.data(), have);
        const std::size_t last = text.rfind('\n');
        if (!end && last == std::string_view::npos) {  // a line longer than the buffer
            buffer.resize(buffer.size() * 2);
            continue;
        }
        const std::size_t whole = end ? have : last + 1;
        if (Status err = parse_wanted(text.substr(0, whole), layout, wanted, records)) return err;
        std::memmove(buffer.data(), buffer.data() + whole, have - whole);
        have -= whole;
    }
    return success;
}

std::size_t digits(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 10000; v /= 10000) n += 4;
    return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// The bytes of an entry's line, line break included.
std::size_t line_size(const NamedEntry& r) {
    const IndexEntry& e = r.entry;
    std::size_t n = r.name.size() + 5 + digits(e.rlen) + digits(e.offset) + digits(e.lenc) + digits(e.lenb);
    if (e.has_qualities()) n += 1 + digits(e.qual);
    return n;
}

// Two digits at a time: the numbers of millions of index lines are most of the text.
constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* put_u64(char* p, std::uint64_t v) {
    char* const end = p + digits(v);
    char* q = end;
    for (; v >= 100; v /= 100) {
        q -= 2;
        std::memcpy(q, DIGIT_PAIRS + 2 * (v % 100), 2);
    }
    if (v >= 10) {
        q -= 2;
        std::memcpy(q, DIGIT_PAIRS + 2 * v, 2);
    } else {
        *--q = static_cast<char>('0' + v);
    }
    return end;
}

// Writes an entry's line of line_size(r) bytes at p.
char* put_line(char* p, const NamedEntry& r) {
    const IndexEntry& e = r.entry;
    std::memcpy(p, r.name.data(), r.name.size());
    p += r.name.size();
    for (std::uint64_t v : {e.rlen, e.offset, e.lenc, e.lenb}) {
        *p++ = '\t';
        p = put_u64(p, v);
    }
    if (e.has_qualities()) {
        *p++ = '\t';
        p = put_u64(p, e.qual);
    }
    *p++ = '\n';
    return p;
}

}  // namespace

Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records, IndexParse& how) {
    Layout layout = records.empty() ? 0 : records.front().entry.has_qualities() ? 6 : 5;
    Status err;
    if (how.wanted) {
        err = parse_wanted(text, layout, WantedNames(*how.wanted), records);
        how.six_columns = layout == 6;
        return err;
    }
    // One entry a line: room for them all at once, rather than the list copied each time it grows
    // (the index of millions of reads). Lines too short to be entries (a file of line breaks) are
    // not counted on, and room that cannot be had is only a guess missed.
    std::size_t lines = 0;
    const char* const end = text.data() + text.size();
    for (const char* p = text.data(); (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))));
         ++p)
        ++lines;
    try {
        const std::size_t room = records.size() + std::min(lines, text.size() / 10) + 1;
        if (records.empty())
            reserve_fresh(records, room);
        else
            records.reserve(room);
    } catch (const std::bad_alloc&) {
    }
    parse_lines(text, layout, nullptr, false, records, err);
    how.six_columns = layout == 6;
    return err;
}

Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records) {
    IndexParse how;
    return parse_index_text(text, records, how);
}

Status parse_index_text(std::string_view text, NameTable& table) {
    std::vector<NamedEntry> records;
    Status err = parse_index_text(text, records);
    for (const NamedEntry& r : records) table.insert(r.name, r.entry);
    return err;
}

Status read_index(const std::string& path, std::vector<NamedEntry>& records, IndexParse& how) {
    // Never blocks in the open: an index path that is a FIFO reads as what is in it now.
    auto file = open_file(path, O_RDONLY | O_NONBLOCK);
    if (!file.ok()) return FaidxError{ErrorKind::IndexNotFound, path};
    // A writer that cannot replace the file rewrites it in place under an exclusive lock.
    while (::flock(file.value().get(), LOCK_SH) != 0 && errno == EINTR) {
    }
    struct stat st;
    if (how.wanted && ::fstat(file.value().get(), &st) == 0 && S_ISREG(st.st_mode)) {
        Layout layout = records.empty() ? 0 : records.front().entry.has_qualities() ? 6 : 5;
        Status err = read_wanted(file.value().get(), WantedNames(*how.wanted), layout, records);
        how.six_columns = layout == 6;
        return err;
    }
    auto text = read_all(file.value().get());
    if (!text.ok()) return text.error();
    return parse_index_text(text.value(), records, how);
}

Status read_index(const std::string& path, std::vector<NamedEntry>& records) {
    IndexParse how;
    return read_index(path, records, how);
}

std::string format_index(const std::vector<NamedEntry>& entries) {
    std::size_t total = 0;
    for (const NamedEntry& r : entries) total += line_size(r);
    std::string out(total, '\0');
    char* p = out.data();
    for (const NamedEntry& r : entries) p = put_line(p, r);
    return out;
}

Result<std::uint64_t> write_entries_at(int fd, const std::vector<NamedEntry>& entries, std::uint64_t offset) {
    // Ranges of entries are sized, then each is formatted on the pool into memory its thread reuses
    // and written at its place in the file: the index of millions of reads, hundreds of megabytes
    // of text, is never held whole.
    constexpr std::size_t RANGE = std::size_t{1} << 14;
    const std::size_t n = entries.size(), ranges = (n + RANGE - 1) / RANGE;
    try {
        if (ranges < 4 || on_pool_worker()) {
            const std::string text = format_index(entries);
            if (Status err = write_all_at(fd, text.data(), text.size(), offset)) return std::move(*err);
            return static_cast<std::uint64_t>(text.size());
        }
        std::vector<std::uint64_t> at(ranges + 1, 0);
        auto range_end = [&](std::size_t k) { return std::min(n, (k + 1) * RANGE); };
        JobOutcome sized = run_parallel(ranges, [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; ++k)
                for (std::size_t i = k * RANGE; i < range_end(k); ++i) at[k + 1] += line_size(entries[i]);
        });
        if (auto failure = JobFailure::of(std::move(sized))) return failure->as_error();
        at[0] = offset;
        for (std::size_t k = 0; k < ranges; ++k) at[k + 1] += at[k];
        FirstFailure failed;
        std::atomic<bool> stop{false};
        JobOutcome written = run_parallel(ranges, [&](std::size_t from, std::size_t to) {
            std::string part;
            for (std::size_t k = from; k < to && !stop.load(std::memory_order_relaxed); ++k) {
                part.resize(static_cast<std::size_t>(at[k + 1] - at[k]));
                char* p = part.data();
                for (std::size_t i = k * RANGE; i < range_end(k); ++i) p = put_line(p, entries[i]);
                if (Status err = write_all_at(fd, part.data(), part.size(), at[k])) {
                    failed.add(k, std::move(*err));
                    stop = true;
                }
            }
        });
        if (auto failure = failed.finish(std::move(written))) return failure->as_error();
        return at[ranges] - offset;
    } catch (const std::bad_alloc&) {
        return io_error_from_errno(ENOMEM);
    }
}

Status write_index(const std::string& path, const std::vector<NamedEntry>& entries) {
    if (entries.size() < (std::size_t{1} << 16) || on_pool_worker())
        return write_file_replacing(path, format_index(entries));
    PartedText text;
    text.whole = [&entries] { return format_index(entries); };
    text.put = [&entries](int fd) -> Status {
        auto written = write_entries_at(fd, entries, 0);
        if (!written.ok()) return std::move(written.error());
        return success;
    };
    return write_file_replacing(path, text);
}

}  // namespace sekva
