// NameTable: record name to IndexEntry, hashed with a key drawn from the OS for every table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/index_file.hpp"

namespace sekva {

class NameTable {
public:
    NameTable();

    // Later insertions of the same name replace the entry.
    void insert(std::string_view name, const IndexEntry& entry);
    const IndexEntry* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    std::size_t size() const { return map_.size(); }
    // Keys in the table's own order, which is neither file order nor stable across tables.
    std::vector<std::string_view> keys() const;

private:
    struct SeededHash {
        using is_transparent = void;
        std::uint64_t seed;
        std::size_t operator()(std::string_view s) const;
    };
    std::unordered_map<std::string, IndexEntry, SeededHash, std::equal_to<>> map_;
};

}  // namespace sekva
