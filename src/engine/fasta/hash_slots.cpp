#include "engine/fasta/hash_slots.hpp"

#include "engine/base/memory.hpp"

namespace sekva {

std::size_t slots_for(std::size_t count, std::size_t least) {
    std::size_t size = least;
    while (size < 2 * count + 2) size *= 2;
    return size;
}

void grow_slots(std::vector<std::uint64_t>& slots, const std::vector<std::uint64_t>& hashes) {
    std::vector<std::uint64_t> old;
    assign_fresh(old, slots.size() * 2, std::uint64_t{0});
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    for (std::uint64_t slot : old) {
        if (!slot) continue;
        std::size_t i = static_cast<std::size_t>(hashes[slot_item(slot)]) & mask;
        while (slots[i]) i = (i + 1) & mask;
        slots[i] = slot;
    }
}

}  // namespace sekva
