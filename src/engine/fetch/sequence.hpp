// The Sequence value every fetch returns, and the byte-level transforms behind its host class.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sekva {

// Case-preserving complement for the IUPAC letters; every other byte becomes 'N'.
extern const std::array<unsigned char, 256> COMPLEMENT_TABLE;

struct Coords {
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
    bool both() const { return start && end; }
};

struct Sequence {
    std::string name;
    std::string seq;
    Coords coords;
    bool comp = false;
};

void complement_bytes(const char* src, std::size_t n, char* dst);
void reverse_bytes(const char* src, std::size_t n, char* dst);
void reverse_complement_bytes(const char* src, std::size_t n, char* dst);
void reverse_complement_in_place(char* p, std::size_t n);

// Start and end swapped when both are set; what reversal and reverse complement do.
Coords swapped(Coords c);

// Subscript by integer: which byte, and the coordinates of the one-base result.
// Returns false when the index is out of range after one wrap of a negative value.
bool select_index(std::size_t n, std::int64_t index, std::size_t& offset);
Coords index_coords(Coords c, std::size_t offset);

// A slice already resolved against the length by the host's slice rules.
struct SliceSelection {
    std::int64_t first = 0;  // offset of the first byte taken
    std::int64_t step = 1;
    std::size_t count = 0;   // bytes taken
    std::uint64_t lo = 0;    // covered range [lo, hi) for the coordinates
    std::uint64_t hi = 0;
};
SliceSelection select_slice(std::size_t n, std::int64_t first, std::int64_t stop, std::int64_t step);
// Offset of the i-th byte taken (i < count); never overflows, since every such offset is in range.
inline std::int64_t slice_offset(const SliceSelection& sel, std::size_t i) {
    return sel.first + static_cast<std::int64_t>(i) * sel.step;
}
void gather_slice(const char* src, const SliceSelection& sel, char* dst);
Coords slice_coords(Coords c, const SliceSelection& sel);

// GC measures; 64-bit counters so long sequences cannot overflow them.
double gc_fraction(std::string_view seq);
double gc_strict_fraction(std::string_view seq);
double gc_iupac_fraction(std::string_view seq);

}  // namespace sekva
