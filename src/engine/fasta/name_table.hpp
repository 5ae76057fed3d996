// NameTable: record name to IndexEntry, hashed with a key drawn from the OS for every table and
// listed in the order names first appear in the index file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fasta/index_file.hpp"

namespace sekva {

class NameTable {
public:
    NameTable();

    // A later insertion of the same name replaces the entry but keeps the name's place in the list.
    void insert(std::string_view name, const IndexEntry& entry);
    const IndexEntry* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    std::size_t size() const { return records_.size(); }
    // Every name once, in the order of first appearance in the index file: the same in every
    // opening and every process, so a position names the same record everywhere.
    std::vector<std::string_view> keys() const;

private:
    struct Record {
        std::string name;
        std::uint64_t hash;
        IndexEntry entry;
    };
    std::uint64_t hash(std::string_view s) const;
    // Slot of `name` in the open-addressed table: where it is, or the empty slot where it would go.
    std::size_t probe(std::string_view name, std::uint64_t h) const;
    void grow();

    std::uint64_t seed_;
    std::vector<Record> records_;
    std::vector<std::uint32_t> slots_;  // record index + 1; 0 is an empty slot
};

}  // namespace sekva
