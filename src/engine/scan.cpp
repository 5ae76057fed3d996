// Index scan over the whole file in memory: headers are found with memchr, and a record's base
// count comes from one counting pass over its body instead of a walk over its lines.
#include "engine/scan.hpp"

#include <cstring>

#include "engine/bytes.hpp"

namespace sekva {

namespace {

FaidxError invalid_utf8() { return io_error("stream did not contain valid UTF-8"); }

// Start of the next header line at or after `from`: a ">" at the start of a line.
std::size_t next_header(std::string_view d, std::size_t from) {
    if (from < d.size() && d[from] == '>') return from;
    while (from < d.size()) {
        const void* hit = std::memchr(d.data() + from, '>', d.size() - from);
        if (!hit) break;
        std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - d.data());
        if (at > 0 && d[at - 1] == '\n') return at;
        from = at + 1;
    }
    return d.size();
}

// Bytes of a line once every CR and LF at its end is removed.
std::size_t content_length(std::string_view line) {
    std::size_t k = line.size();
    while (k > 0 && (line[k - 1] == '\n' || line[k - 1] == '\r')) --k;
    return k;
}

// Base count of a body with CRs in it: each line loses only the CR/LF run at its end.
std::uint64_t count_bases_by_lines(std::string_view body) {
    std::uint64_t bases = 0;
    while (!body.empty()) {
        std::size_t nl = body.find('\n');
        std::size_t len = nl == std::string_view::npos ? body.size() : nl + 1;
        bases += content_length(body.substr(0, len));
        body.remove_prefix(len);
    }
    return bases;
}

// Measures one record body (everything between its header line and the next header).
bool measure_body(std::string_view body, IndexEntry& e) {
    e.rlen = e.lenc = e.lenb = 0;
    if (body.empty()) return true;
    std::size_t nl = body.find('\n');
    std::size_t first = nl == std::string_view::npos ? body.size() : nl + 1;
    e.lenb = first;
    e.lenc = content_length(body.substr(0, first));
    LineBreakCounts counts = count_line_breaks(body.data(), body.size());
    if (!counts.ascii && !is_valid_utf8(body.data(), body.size())) return false;
    e.rlen = counts.cr == 0 ? body.size() - counts.lf : count_bases_by_lines(body);
    return true;
}

}  // namespace

Result<std::vector<NamedEntry>> scan_fasta(std::string_view d) {
    std::vector<NamedEntry> entries;
    std::size_t pos = next_header(d, 0);
    // Lines before the first header belong to no record, but must still be text.
    if (!is_valid_utf8(d.data(), pos)) return invalid_utf8();
    while (pos < d.size()) {
        const char* eol = static_cast<const char*>(std::memchr(d.data() + pos, '\n', d.size() - pos));
        std::size_t line_end = eol ? static_cast<std::size_t>(eol - d.data()) + 1 : d.size();
        std::string_view header = d.substr(pos + 1, line_end - pos - 1);
        if (!is_valid_utf8(header.data(), header.size())) return invalid_utf8();
        std::string_view name = trim_unicode(header);
        name = name.substr(0, find_unicode_space(name));

        std::size_t body_end = next_header(d, line_end);
        IndexEntry e{0, line_end, 0, 0};
        if (!measure_body(d.substr(line_end, body_end - line_end), e)) return invalid_utf8();
        if (!name.empty()) entries.push_back(NamedEntry{std::string(name), e});
        pos = body_end;
    }
    return entries;
}

}  // namespace sekva
