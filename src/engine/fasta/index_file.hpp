// IndexEntry and the .fai text (five columns for FASTA, six for FASTQ): exact writing, exact reading rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/fasta/record_name.hpp"

namespace sekva {

struct IndexEntry {
    std::uint64_t rlen;    // bases in the record
    std::uint64_t offset;  // byte offset of the first base
    std::uint64_t lenc;    // bases per full line
    std::uint64_t lenb;    // bytes per full line, terminator included
    // FASTQ only: byte offset of the first quality character (its lines have the bases' geometry).
    std::uint64_t qual = NO_QUALITIES;
    static constexpr std::uint64_t NO_QUALITIES = UINT64_MAX;
    bool has_qualities() const { return qual != NO_QUALITIES; }
    // The same record's qualities, read as if they were its bases.
    IndexEntry qualities() const { return IndexEntry{rlen, qual, lenc, lenb}; }
};

struct NamedEntry {
    RecordName name;
    IndexEntry entry;
};

class NameTable;

// Appends every valid line of .fai text to `records`, in file order; on an error, the lines
// before it stay. Five-column (FASTA) and six-column (FASTQ) lines cannot be mixed in one index.
Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records);
// How a parse goes: every line is checked either way, but only the entries whose names `wanted`
// holds are kept when it is given. Afterwards `six_columns` says whether the index's entries have
// six columns (FASTQ), whether or not any was kept.
struct IndexParse {
    const NameTable* wanted = nullptr;
    bool six_columns = false;
};
Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records, IndexParse& how);
// The same into a table, where a later line of the same name wins.
Status parse_index_text(std::string_view text, NameTable& table);
// Reads the lines of the index file at `path`, in file order.
Status read_index(const std::string& path, std::vector<NamedEntry>& records);
Status read_index(const std::string& path, std::vector<NamedEntry>& records, IndexParse& how);
// The .fai text for entries in file order: six columns for entries with qualities.
std::string format_index(const std::vector<NamedEntry>& entries);
// Writes the lines of the entries into the file open on `fd` from `offset` on, each range of them
// at its own place (on the pool for many); returns the bytes written.
Result<std::uint64_t> write_entries_at(int fd, const std::vector<NamedEntry>& entries, std::uint64_t offset);
// Writes the index so that readers only ever see a complete file (see write_file_replacing).
Status write_index(const std::string& path, const std::vector<NamedEntry>& entries);

}  // namespace sekva
