// NameTable: record name to IndexEntry, hashed with a key drawn from the OS for every table and
// listed in the order names first appear in the index file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fasta/index_file.hpp"

namespace sekva {

// Which of the records that share a key the table keeps. Stop, the default, keeps the later record,
// as Last does; the two are told apart only so that the option reads back as it was given.
enum class DuplicateAction : std::uint8_t { Stop, First, Last, Longest, Shortest, Drop };

inline constexpr const char* DUPLICATE_ACTION_NAMES[] = {"stop", "first", "last", "longest", "shortest", "drop"};
// The action of that name, or nothing for any other text.
std::optional<DuplicateAction> duplicate_action_named(std::string_view name);
inline const char* name_of(DuplicateAction action) { return DUPLICATE_ACTION_NAMES[static_cast<int>(action)]; }

class NameTable {
public:
    NameTable();

    // A later insertion of the same name replaces the entry but keeps the name's place in the list.
    void insert(std::string_view name, const IndexEntry& entry);
    // The table of records given in file order, keeping one record per key as `action` says;
    // a key takes the place in the list where it first appears.
    static NameTable of_records(std::vector<NamedEntry>&& records, DuplicateAction action);
    const IndexEntry* find(std::string_view name) const;
    // Room for `count` records without growing; only while the table is empty.
    void reserve(std::size_t count);
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // The table's own hash of a name (seeded per table), and a lookup with it already known.
    std::uint64_t hash(std::string_view s) const;
    const IndexEntry* find_hashed(std::string_view name, std::uint64_t h) const;
    std::size_t size() const { return records_.size(); }
    // Every name once, in the order of first appearance in the index file: the same in every
    // opening and every process, so a position names the same record everywhere.
    std::vector<std::string_view> keys() const;

private:
    // Slot of `name` in the open-addressed table: where it is, or the empty slot where it would go.
    std::size_t probe(std::string_view name, std::uint64_t h) const;
    // The record of `name`, added with `entry` when new; the bool says whether it was.
    std::pair<NamedEntry*, bool> emplace(RecordName&& name, const IndexEntry& entry);
    std::pair<NamedEntry*, bool> emplace_hashed(RecordName&& name, std::uint64_t h, const IndexEntry& entry);
    // Takes `records` as its own where no two share a name, else the records before the first
    // repeat; returns how many it took.
    std::size_t adopt_unique(std::vector<NamedEntry>& records);

    std::uint64_t seed_;
    std::vector<NamedEntry> records_;
    std::vector<std::uint64_t> hashes_;  // of each record's name
    // The high half of the name's hash, then record index + 1 in the low half; 0 is an empty slot.
    std::vector<std::uint64_t> slots_;
};

}  // namespace sekva
