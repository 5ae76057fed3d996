// Translation of bases to amino acids by an NCBI genetic code, IUPAC ambiguity codes included.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace sekva {

// One amino acid per codon of three base letters, each letter first reduced to the set of
// bases it may stand for (A, C, G, T and the IUPAC codes, either case; any other byte, U
// included, to none). A codon whose bases all give one amino acid is that amino acid; RAY is
// B (N or D) and SAR is Z (Q or E); every other codon, and one with a byte outside the codes, is X.
// Stops are '*'. Built once, then only read, so threads may share it.
struct GeneticCode {
    std::array<char, 16 * 16 * 16> by_masks{};  // indexed by the three base masks, 4 bits each
};

// The code of NCBI table `number` (1, the standard code; 2 to 6 and 11), or nullptr for any other.
const GeneticCode* genetic_code(int number);

// Writes bases.size() / 3 amino acids to dst, a trailing partial codon left out, stops as `stop`.
// Returns the count written.
std::size_t translate_bases(std::string_view bases, const GeneticCode& code, char stop, char* dst);

}  // namespace sekva
