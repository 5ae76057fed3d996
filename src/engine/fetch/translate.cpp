// Genetic code tables built from NCBI's 64-letter strings, and the codon walk over them.
#include "engine/fetch/translate.hpp"

#include <cstdint>

namespace sekva {

namespace {

// Bit per base: A 1, C 2, G 4, T 8; the IUPAC codes are their unions. 0: not a base.
constexpr std::array<std::uint8_t, 256> make_masks() {
    std::array<std::uint8_t, 256> m{};
    const char* letters = "ACGTRYKMSWBDHVN";
    const std::uint8_t sets[] = {1, 2, 4, 8, 1 | 4, 2 | 8, 4 | 8, 1 | 2, 2 | 4, 1 | 8, 2 | 4 | 8, 1 | 4 | 8, 1 | 2 | 8, 1 | 2 | 4, 15};
    for (int i = 0; letters[i]; ++i) {
        m[static_cast<unsigned char>(letters[i])] = sets[i];
        m[static_cast<unsigned char>(letters[i] - 'A' + 'a')] = sets[i];
    }
    return m;
}
constexpr std::array<std::uint8_t, 256> MASKS = make_masks();

// NCBI's order of codons: first base T, C, A, G, then the second, then the third.
int base_rank(int bit) { return bit == 8 ? 0 : bit == 2 ? 1 : bit == 1 ? 2 : 3; }

GeneticCode build(const char* amino_acids) {
    GeneticCode code;
    constexpr int RAY = (5 << 8) | (1 << 4) | 10, SAR = (6 << 8) | (1 << 4) | 5;
    for (int i = 0; i < 16 * 16 * 16; ++i) {
        const int m[3] = {i >> 8, (i >> 4) & 15, i & 15};
        char only = 0;
        bool one = m[0] && m[1] && m[2];
        for (int a = 1; one && a <= 8; a <<= 1) {
            if (!(m[0] & a)) continue;
            for (int b = 1; one && b <= 8; b <<= 1) {
                if (!(m[1] & b)) continue;
                for (int c = 1; one && c <= 8; c <<= 1) {
                    if (!(m[2] & c)) continue;
                    char aa = amino_acids[base_rank(a) * 16 + base_rank(b) * 4 + base_rank(c)];
                    if (only && aa != only) one = false;
                    only = aa;
                }
            }
        }
        code.by_masks[static_cast<std::size_t>(i)] = one ? only : i == RAY ? 'B' : i == SAR ? 'Z' : 'X';
    }
    return code;
}

struct Known {
    int number;
    const char* amino_acids;
};
constexpr Known KNOWN[] = {
    {1, "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"},
    {2, "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSS**VVVVAAAADDEEGGGG"},
    {3, "FFLLSSSSYY**CCWWTTTTPPPPHHQQRRRRIIMMTTTTNNKKSSRRVVVVAAAADDEEGGGG"},
    {4, "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"},
    {5, "FFLLSSSSYY**CCWWLLLLPPPPHHQQRRRRIIMMTTTTNNKKSSSSVVVVAAAADDEEGGGG"},
    {6, "FFLLSSSSYYQQCC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"},
    {11, "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"},
};
constexpr std::size_t KNOWN_COUNT = sizeof(KNOWN) / sizeof(KNOWN[0]);

}  // namespace

const GeneticCode* genetic_code(int number) {
    // Built on first use (thread-safe static initialisation), then only read.
    static const std::array<GeneticCode, KNOWN_COUNT> codes = [] {
        std::array<GeneticCode, KNOWN_COUNT> all;
        for (std::size_t i = 0; i < KNOWN_COUNT; ++i) all[i] = build(KNOWN[i].amino_acids);
        return all;
    }();
    for (std::size_t i = 0; i < KNOWN_COUNT; ++i)
        if (KNOWN[i].number == number) return &codes[i];
    return nullptr;
}

std::size_t translate_bases(std::string_view bases, const GeneticCode& code, char stop, char* dst) {
    const auto* p = reinterpret_cast<const unsigned char*>(bases.data());
    const std::size_t n = bases.size() / 3;
    for (std::size_t i = 0; i < n; ++i, p += 3) {
        char aa = code.by_masks[(static_cast<std::size_t>(MASKS[p[0]]) << 8) | (MASKS[p[1]] << 4) | MASKS[p[2]]];
        dst[i] = aa == '*' ? stop : aa;
    }
    return n;
}

}  // namespace sekva
