// The name table's seeded hash and its lookups.
#include "engine/name_table.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstring>

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

std::size_t NameTable::SeededHash::operator()(std::string_view s) const {
    constexpr std::uint64_t k1 = 0xa0761d6478bd642fULL, k2 = 0xe7037ed1a0b428dbULL;
    std::uint64_t h = seed ^ (s.size() * k1);
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = mix(h ^ w, k2);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    return mix(h ^ tail, k1 ^ seed);
}

NameTable::NameTable() : map_(0, SeededHash{random_seed()}) {}

void NameTable::insert(std::string_view name, const IndexEntry& entry) {
    auto it = map_.find(name);
    if (it != map_.end())
        it->second = entry;
    else
        map_.emplace(std::string(name), entry);
}

const IndexEntry* NameTable::find(std::string_view name) const {
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : &it->second;
}

std::vector<std::string_view> NameTable::keys() const {
    std::vector<std::string_view> out;
    out.reserve(map_.size());
    for (const auto& [name, entry] : map_) out.emplace_back(name);
    return out;
}

}  // namespace sekva
