// The name table: a seeded hash over an open-addressed array of record indexes.
#include "engine/fasta/name_table.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

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
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
        std::uint32_t at = slots_[i];
        if (!at) return i;
        const Record& r = records_[at - 1];
        if (r.hash == h && r.name == name) return i;
    }
}

void NameTable::grow() {
    std::vector<std::uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t at : old) {
        if (!at) continue;
        std::size_t i = static_cast<std::size_t>(records_[at - 1].hash) & mask;
        while (slots_[i]) i = (i + 1) & mask;
        slots_[i] = at;
    }
}

void NameTable::insert(std::string_view name, const IndexEntry& entry) {
    std::uint64_t h = hash(name);
    std::size_t i = probe(name, h);
    if (slots_[i]) {
        records_[slots_[i] - 1].entry = entry;
        return;
    }
    if (records_.size() >= UINT32_MAX - 1) throw std::length_error("more records than a name table holds");
    records_.push_back(Record{std::string(name), h, entry});
    slots_[i] = static_cast<std::uint32_t>(records_.size());
    // At most half full, so probes stay short.
    if (records_.size() * 2 > slots_.size()) grow();
}

const IndexEntry* NameTable::find(std::string_view name) const {
    std::size_t i = probe(name, hash(name));
    return slots_[i] ? &records_[slots_[i] - 1].entry : nullptr;
}

std::vector<std::string_view> NameTable::keys() const {
    std::vector<std::string_view> out;
    out.reserve(records_.size());
    for (const Record& r : records_) out.emplace_back(r.name);
    return out;
}

}  // namespace sekva
