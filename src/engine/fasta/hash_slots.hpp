// The open-addressed tables of names (the name table, the checks for repeated reads): slots that
// hold the high half of a name's hash beside its item's number + 1, 0 being an empty slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sekva {

inline std::uint64_t slot_tag(std::uint64_t hash) { return hash >> 32 << 32; }
inline std::size_t slot_item(std::uint64_t slot) { return static_cast<std::uint32_t>(slot) - 1; }

// The slots for `count` items with the table at most half full (so probes stay short): a power of
// two, at least `least`.
std::size_t slots_for(std::size_t count, std::size_t least);
// Doubles the table, each item placed again by its hash (`hashes` by item number).
void grow_slots(std::vector<std::uint64_t>& slots, const std::vector<std::uint64_t>& hashes);

}  // namespace sekva
