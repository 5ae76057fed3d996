// The name table: a seeded hash over an open-addressed array of record indexes.
#include "engine/fasta/name_table.hpp"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstring>
#include <stdexcept>

#include "engine/base/memory.hpp"
#include "engine/fasta/hash_slots.hpp"

namespace sekva {

namespace {

std::uint64_t random_seed() {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
        seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
               0x9E3779B97F4A7C15ULL;
    return seed;
}

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

}  // namespace

NameTable::NameTable() : seed_(random_seed()), slots_(16, 0) {}

std::uint64_t NameTable::hash(std::string_view s) const {
    constexpr std::uint64_t k1 = 0xa0761d6478bd642fULL, k2 = 0xe7037ed1a0b428dbULL;
    std::uint64_t h = seed_ ^ (s.size() * k1);
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = mix(h ^ w, k2);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    return mix(h ^ tail, k1 ^ seed_);
}

std::size_t NameTable::probe(std::string_view name, std::uint64_t h) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = slot_tag(h);
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
        const std::uint64_t slot = slots_[i];
        if (!slot) return i;
        // The hash's high half sits in the slot: another name's record is rarely read at all, and
        // the whole hash is not looked up (a cache miss of its own in a large table).
        if ((slot & ~std::uint64_t{0xFFFFFFFF}) != tag) continue;
        if (records_[slot_item(slot)].name == name) return i;
    }
}

void NameTable::reserve(std::size_t count) {
    if (!records_.empty()) return;
    reserve_fresh(records_, count);
    reserve_fresh(hashes_, count);
    assign_fresh(slots_, slots_for(count, slots_.size()), std::uint64_t{0});
}

std::pair<NamedEntry*, bool> NameTable::emplace(RecordName&& name, const IndexEntry& entry) {
    const std::uint64_t h = hash(name);
    return emplace_hashed(std::move(name), h, entry);
}

std::pair<NamedEntry*, bool> NameTable::emplace_hashed(RecordName&& name, std::uint64_t h,
                                                       const IndexEntry& entry) {
    std::size_t i = probe(name, h);
    if (slots_[i]) return {&records_[slot_item(slots_[i])], false};
    if (records_.size() >= UINT32_MAX - 1) throw std::length_error("more records than a name table holds");
    hashes_.push_back(h);
    records_.push_back(NamedEntry{std::move(name), entry});
    slots_[i] = (slot_tag(h)) | records_.size();
    // At most half full, so probes stay short.
    if (records_.size() * 2 > slots_.size()) grow_slots(slots_, hashes_);
    return {&records_.back(), true};
}

void NameTable::insert(std::string_view name, const IndexEntry& entry) {
    auto [record, added] = emplace(RecordName(name), entry);
    if (!added) record->entry = entry;
}

// The slots of a table of millions of names lie far apart in memory: each record's slot is asked
// of the cache a few records before it is probed, so that the misses overlap.
constexpr std::size_t AHEAD = 16;

std::size_t NameTable::adopt_unique(std::vector<NamedEntry>& records) {
    const std::size_t n = records.size();
    if (n >= UINT32_MAX - 1) return 0;
    const std::size_t size = slots_for(n, slots_.size());
    assign_fresh(slots_, size, std::uint64_t{0});
    assign_fresh(hashes_, n, std::uint64_t{0});
    const std::size_t mask = size - 1;
    for (std::size_t j = 0; j < n; ++j) hashes_[j] = hash(records[j].name);
    std::size_t i = 0;
    for (; i < n; ++i) {
        if (i + AHEAD < n) __builtin_prefetch(&slots_[static_cast<std::size_t>(hashes_[i + AHEAD]) & mask]);
        const std::uint64_t h = hashes_[i], tag = slot_tag(h);
        std::size_t k = static_cast<std::size_t>(h) & mask;
        bool repeat = false;
        for (;; k = (k + 1) & mask) {
            const std::uint64_t slot = slots_[k];
            if (!slot) break;
            const std::size_t at = slot_item(slot);
            if (slot_tag(slot) == tag && hashes_[at] == h && records[at].name == records[i].name) {
                repeat = true;
                break;
            }
        }
        if (repeat) break;
        slots_[k] = tag | (i + 1);
    }
    hashes_.resize(i);
    if (i == n) {
        records_ = std::move(records);
    } else {
        reserve_fresh(records_, n);
        for (std::size_t j = 0; j < i; ++j) records_.push_back(std::move(records[j]));
    }
    return i;
}

NameTable NameTable::of_records(std::vector<NamedEntry>&& records, DuplicateAction action) {
    NameTable table;
    // Records that all have names of their own (every FASTQ index, most genomes) become the table's
    // list as they are; from the first repeated name on they are taken one by one.
    const std::size_t taken = table.adopt_unique(records);
    const std::size_t n = records.size();
    if (taken == n) return table;
    std::vector<bool> shared(action == DuplicateAction::Drop ? taken : 0, false);  // per table record, for Drop
    std::uint64_t hashes[AHEAD];
    for (std::size_t j = taken; j < taken + AHEAD && j < n; ++j) hashes[j % AHEAD] = table.hash(records[j].name);
    for (std::size_t i = taken; i < n; ++i) {
        NamedEntry& r = records[i];
        const std::uint64_t h = hashes[i % AHEAD];
        if (i + AHEAD < n) {
            const std::uint64_t later = hashes[i % AHEAD] = table.hash(records[i + AHEAD].name);
            __builtin_prefetch(&table.slots_[static_cast<std::size_t>(later) & (table.slots_.size() - 1)]);
        }
        auto [record, added] = table.emplace_hashed(std::move(r.name), h, r.entry);
        if (added) {
            if (action == DuplicateAction::Drop) shared.push_back(false);
            continue;
        }
        IndexEntry& kept = record->entry;
        switch (action) {
            case DuplicateAction::Stop:
            case DuplicateAction::Last: kept = r.entry; break;
            case DuplicateAction::First: break;
            case DuplicateAction::Longest: if (r.entry.rlen > kept.rlen) kept = r.entry; break;
            case DuplicateAction::Shortest: if (r.entry.rlen < kept.rlen) kept = r.entry; break;
            case DuplicateAction::Drop: shared[static_cast<std::size_t>(record - table.records_.data())] = true; break;
        }
    }
    if (action != DuplicateAction::Drop || std::find(shared.begin(), shared.end(), true) == shared.end()) return table;
    NameTable unique;
    for (std::size_t i = 0; i < table.records_.size(); ++i)
        if (!shared[i]) unique.emplace(std::move(table.records_[i].name), table.records_[i].entry);
    return unique;
}

std::optional<DuplicateAction> duplicate_action_named(std::string_view name) {
    for (std::size_t i = 0; i < std::size(DUPLICATE_ACTION_NAMES); ++i)
        if (name == DUPLICATE_ACTION_NAMES[i]) return static_cast<DuplicateAction>(i);
    return std::nullopt;
}

const IndexEntry* NameTable::find(std::string_view name) const { return find_hashed(name, hash(name)); }

const IndexEntry* NameTable::find_hashed(std::string_view name, std::uint64_t h) const {
    std::size_t i = probe(name, h);
    return slots_[i] ? &records_[slot_item(slots_[i])].entry : nullptr;
}

std::vector<std::string_view> NameTable::keys() const {
    std::vector<std::string_view> out;
    reserve_fresh(out, records_.size());
    for (const NamedEntry& r : records_) out.emplace_back(r.name);
    return out;
}

}  // namespace sekva
