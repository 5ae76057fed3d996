// IndexEntry and the five-column .fai text: exact writing, exact reading rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/error.hpp"

namespace sekva {

struct IndexEntry {
    std::uint64_t rlen;    // bases in the record
    std::uint64_t offset;  // byte offset of the first base
    std::uint64_t lenc;    // bases per full line
    std::uint64_t lenb;    // bytes per full line, terminator included
};

struct NamedEntry {
    std::string name;
    IndexEntry entry;
};

class NameTable;

// Appends every valid line of .fai text to `records`, in file order; on an error, the lines
// before it stay.
Status parse_index_text(std::string_view text, std::vector<NamedEntry>& records);
// The same into a table, where a later line of the same name wins.
Status parse_index_text(std::string_view text, NameTable& table);
// Reads the lines of the index file at `path`, in file order.
Status read_index(const std::string& path, std::vector<NamedEntry>& records);
// The .fai text for entries in file order.
std::string format_index(const std::vector<NamedEntry>& entries);
// Writes the index so that readers only ever see a complete file (see write_file_replacing).
Status write_index(const std::string& path, const std::vector<NamedEntry>& entries);

}  // namespace sekva
