// Reading and writing .fai files.
#include "engine/fasta/index_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/base/bytes.hpp"
#include "engine/fasta/name_table.hpp"
#include "engine/io/fs.hpp"
#include "engine/io/replace_file.hpp"

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

// One line of the index, already without its "\n". Lines of other than five or six columns are
// skipped; six columns are a FASTQ read, the last being where its qualities start.
Status parse_line(std::string_view line, std::vector<NamedEntry>& records) {
    if (!is_valid_utf8(line.data(), line.size())) return io_error("stream did not contain valid UTF-8");
    line = trim_unicode(line);
    std::string_view cols[6];
    std::size_t count = 0, from = 0;
    for (;;) {
        std::size_t tab = line.find('\t', from);
        std::string_view col = line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from);
        if (count == 6) return std::nullopt;  // seven or more columns
        cols[count++] = col;
        if (tab == std::string_view::npos) break;
        from = tab + 1;
    }
    if (count != 5 && count != 6) return std::nullopt;
    static constexpr const char* invalid[] = {"Invalid rlen", "Invalid offset", "Invalid lenc", "Invalid lenb"};
    std::uint64_t v[5] = {0, 0, 0, 0, IndexEntry::NO_QUALITIES};
    // A sixth column that is no offset makes a line of neither layout, skipped like the others.
    if (count == 6 && (!parse_u64(cols[5], v[4]) || v[4] == IndexEntry::NO_QUALITIES)) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i)
        if (!parse_u64(cols[i + 1], v[i])) return FaidxError{ErrorKind::Indexing, invalid[i]};
    const IndexEntry entry{v[0], v[1], v[2], v[3], v[4]};
    if (!records.empty() && records.front().entry.has_qualities() != entry.has_qualities())
        return FaidxError{ErrorKind::Indexing, "the index mixes five-column (FASTA) and six-column (FASTQ) lines, "
                                               "at record '" + std::string(cols[0]) + "'"};
    records.push_back(NamedEntry{std::string(cols[0]), entry});
    return std::nullopt;
}

void append_u64(std::string& out, std::uint64_t v) {
    char buf[20];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) out += buf[--n];
}

}  // namespace

Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (Status err = parse_line(line, records)) return err;
    }
    return std::nullopt;
}

Status parse_index_text(std::string_view text, NameTable& table) {
    std::vector<NamedEntry> records;
    Status err = parse_index_text(text, records);
    for (const NamedEntry& r : records) table.insert(r.name, r.entry);
    return err;
}

Status read_index(const std::string& path, std::vector<NamedEntry>& records) {
    // Never blocks in the open: an index path that is a FIFO reads as what is in it now.
    auto file = open_file(path, O_RDONLY | O_NONBLOCK);
    if (!file.ok()) return FaidxError{ErrorKind::IndexNotFound, path};
    // A writer that cannot replace the file rewrites it in place under an exclusive lock.
    while (::flock(file.value().get(), LOCK_SH) != 0 && errno == EINTR) {
    }
    auto text = read_all(file.value().get());
    if (!text.ok()) return text.error();
    return parse_index_text(text.value(), records);
}

std::string format_index(const std::vector<NamedEntry>& entries) {
    std::string out;
    out.reserve(entries.size() * 48);
    for (const auto& [name, e] : entries) {
        out += name;
        for (std::uint64_t v : {e.rlen, e.offset, e.lenc, e.lenb}) {
            out += '\t';
            append_u64(out, v);
        }
        if (e.has_qualities()) {
            out += '\t';
            append_u64(out, e.qual);
        }
        out += '\n';
    }
    return out;
}

Status write_index(const std::string& path, const std::vector<NamedEntry>& entries) {
    return write_file_replacing(path, format_index(entries));
}

}  // namespace sekva
