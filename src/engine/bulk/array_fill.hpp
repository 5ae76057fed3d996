// Filling caller-provided arrays with the bases of many windows: fixed-width rows of ASCII codes,
// one-hot rows, or regions back to back. Runs on the worker pool; nothing is allocated per region.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fasta/engine.hpp"
#include "engine/fetch/fetch.hpp"
#include "engine/parallel/first_failure.hpp"

namespace sekva {

// One row of a fixed-width array: the window of `width` positions from `first` (1-based; it may
// start before the record or end past it, and those positions are padding).
struct Window {
    const IndexEntry* entry;
    std::int64_t first;
    bool reverse;  // reverse-complement the row
};

// The window of `width` centred on [start, end] (1-based, inclusive): first = start +
// floor((end - start + 1 - width) / 2); false when it lies outside the range of 64-bit positions.
bool centred_window(std::int64_t start, std::int64_t end, std::uint64_t width, std::int64_t& first);

// Rows of ASCII codes: out holds windows.size() rows of `width` bytes. Positions outside the
// record (and bases a short file does not hold) are `pad`; `upper` upper-cases the bases (pad
// included); reversed rows are the complement of the reversed row.
std::optional<JobFailure> fill_codes(const Engine& engine, const std::vector<Window>& windows, std::uint64_t width,
                                       char pad, bool upper, char* out);

enum class OneHotType { UInt8, Bool, Float16, Float32 };

struct OneHotLayout {
    std::uint64_t width;
    unsigned channels;       // letters in the alphabet
    bool channels_last;      // (rows, width, channels) or (rows, channels, width)
    OneHotType type;
    std::array<unsigned char, 256> code;  // channel of each byte, or 255 for none (case-folded)
};

// One-hot rows: a position holding the alphabet's letter c (either case) has a one in channel c;
// other letters and positions outside the record are all zeros. A reversed row is the one-hot of
// the reverse-complemented window.
std::optional<JobFailure> fill_onehot(const Engine& engine, const std::vector<Window>& windows,
                                        const OneHotLayout& layout, char* out);

// One variant: REF at POS (1-based, as in a VCF) of a record, replaced by ALT. The texts are the
// caller's and outlive the fill.
struct VariantRow {
    const IndexEntry* entry;
    std::int64_t pos;  // at least 1
    std::string_view ref, alt;
    bool reverse;  // reverse-complement both windows
};

// Each row's REF against the genome's bases there, case aside: the first row that differs or
// reaches past its record fails with an InvalidRegion error saying so.
std::optional<JobFailure> check_variant_refs(const Engine& engine, const std::vector<VariantRow>& rows);

struct VariantWindows {
    std::uint64_t width;
    char pad;                      // for ASCII rows
    bool upper;                    // upper-case both windows (ALT included)
    bool check_ref;                // fail a row whose REF differs from the genome, as check_variant_refs
    const OneHotLayout* onehot;    // one-hot rows of this layout (channels last), else ASCII codes
    char* ref_out;                 // rows.size() rows each
    char* alt_out;
};

// Reference and alternate windows of `width`, the variant's first base at column width / 2 of
// both: the reference window is the genome there (pad outside the record); the alternate one
// holds the same bases left of that column, then ALT, then the genome after REF, cut at `width`.
std::optional<JobFailure> fill_variants(const Engine& engine, const std::vector<VariantRow>& rows,
                                        const VariantWindows& how);

// One haplotype: the region [start, end] (1-based, inclusive) of a record with the variants
// [first, last) of a list applied (on that record, sorted by position, none overlapping another,
// each starting inside the region).
struct HaplotypeRow {
    const IndexEntry* entry;
    std::int64_t start, end;
    std::size_t first, last;
    bool reverse;  // reverse-complement the row
};

// Bases in the haplotype of `row`: the region's, less those its variants' REF covers there, plus
// their ALT.
std::uint64_t haplotype_length(const HaplotypeRow& row, const std::vector<VariantRow>& variants);

struct HaplotypeFill {
    char pad;                    // for ASCII rows
    bool upper;
    bool check_ref;              // fail on the first variant (by index) whose REF differs
    const OneHotLayout* onehot;  // one-hot rows of this layout, whose width is every row's length
};

// Haplotype rows: row i at out + offsets[i], offsets[i + 1] - offsets[i] bytes long (as given:
// the haplotype cut there, or carried on with the genome after the region, `pad` past the
// record), as ASCII codes or one-hot. A REF failure's index is the variant's, any other's the row's.
std::optional<JobFailure> fill_haplotypes(const Engine& engine, const std::vector<HaplotypeRow>& rows,
                                          const std::vector<VariantRow>& variants,
                                          const std::vector<std::uint64_t>& offsets, const HaplotypeFill& how,
                                          char* out);

// Regions back to back, by the batch workers' rules (silent clamping or strict checks, default_seq
// padding, upper-casing): plans[i] from plan_region, capacity[i] the room its planned offset
// leaves; lengths[i] receives what was written.
std::optional<JobFailure> fill_ragged(const Engine& engine, const std::vector<RegionPlan>& plans,
                                        const std::vector<std::uint64_t>& offsets,
                                        const std::vector<std::uint64_t>& capacities, const std::vector<bool>& reverse,
                                        bool upper, char* out, std::vector<std::uint64_t>& lengths);

// Room a planned region needs in fill_ragged (fetch_planned's rules); false when no memory
// could hold it.
bool ragged_capacity(const Engine& engine, const RegionPlan& plan, std::uint64_t& room);

}  // namespace sekva
