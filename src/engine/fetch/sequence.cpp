// Complement table, strand transforms, slice selection and GC measures over bytes.
#include "engine/fetch/sequence.hpp"

#include <algorithm>

#include "engine/simd/reverse_translate.hpp"

namespace sekva {

namespace {

constexpr std::array<unsigned char, 256> make_complement_table() {
    std::array<unsigned char, 256> t{};
    for (auto& c : t) c = 'N';
    constexpr const char* pairs = "ATTACGGCBVVBDHHDKMMKRYYRSSWWNNXX";
    for (int i = 0; pairs[i]; i += 2) {
        auto from = static_cast<unsigned char>(pairs[i]);
        auto to = static_cast<unsigned char>(pairs[i + 1]);
        t[from] = to;
        t[from + 32] = static_cast<unsigned char>(to + 32);
    }
    return t;
}

// Weight of each byte for gc_iupac, or a negative value for bytes that are not counted.
constexpr std::array<double, 256> make_iupac_weights() {
    std::array<double, 256> w{};
    for (auto& x : w) x = -1.0;
    struct Entry { char letter; double weight; };
    constexpr Entry entries[] = {{'C', 1.0}, {'G', 1.0}, {'S', 1.0}, {'B', 0.67}, {'V', 0.67},
                                 {'D', 0.33}, {'H', 0.33}, {'K', 0.5}, {'M', 0.5}, {'R', 0.5},
                                 {'Y', 0.5}, {'N', 0.25}, {'A', 0.0}, {'T', 0.0}, {'W', 0.0}};
    for (const auto& e : entries) {
        w[static_cast<unsigned char>(e.letter)] = e.weight;
        w[static_cast<unsigned char>(e.letter + 32)] = e.weight;
    }
    return w;
}

constexpr auto IUPAC_WEIGHTS = make_iupac_weights();

std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace

const std::array<unsigned char, 256> COMPLEMENT_TABLE = make_complement_table();

void complement_bytes(const char* src, std::size_t n, char* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(src[i])]);
}

void reverse_bytes(const char* src, std::size_t n, char* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[n - 1 - i];
}

void reverse_complement_bytes(const char* src, std::size_t n, char* dst) {
    reverse_translate(src, n, dst, COMPLEMENT_TABLE);
}

void reverse_complement_in_place(char* p, std::size_t n) { reverse_translate_in_place(p, n, COMPLEMENT_TABLE); }

Coords swapped(Coords c) {
    if (c.both()) std::swap(c.start, c.end);
    return c;
}

bool select_index(std::size_t n, std::int64_t index, std::size_t& offset) {
    if (index < 0) index += static_cast<std::int64_t>(n);
    if (index < 0 || static_cast<std::uint64_t>(index) >= n) return false;
    offset = static_cast<std::size_t>(index);
    return true;
}

Coords index_coords(Coords c, std::size_t offset) {
    if (!c.start) return {};
    auto at = checked_add(*c.start, offset);
    return {at, at};
}

SliceSelection select_slice(std::size_t n, std::int64_t first, std::int64_t stop, std::int64_t step) {
    SliceSelection sel;
    if (step == 0) return sel;
    // The host clamps steps to +-(2^63 - 1); the same selection, without a negation that overflows.
    if (step == INT64_MIN) step = -INT64_MAX;
    sel.step = step;
    const auto len = static_cast<std::int64_t>(n);
    if (step > 0) {
        sel.lo = static_cast<std::uint64_t>(first);
        sel.hi = static_cast<std::uint64_t>(stop);
        sel.first = first;
        // (stop - first - 1) / step + 1 elements: no sum that a step near 2^63 could overflow.
        if (first < stop && first < len) sel.count = static_cast<std::size_t>((stop - first - 1) / step + 1);
        return sel;
    }
    if (n == 0) {
        sel.lo = 0;
        sel.hi = 1;
        return sel;
    }
    // A start resolved to before the beginning counts as the last base.
    std::int64_t m = first >= 0 ? first : len - 1;
    if (stop > m) {
        sel.lo = sel.hi = static_cast<std::uint64_t>(m);
        return sel;
    }
    std::int64_t lo = stop + 1;
    sel.lo = static_cast<std::uint64_t>(lo);
    sel.hi = static_cast<std::uint64_t>(m + 1);
    sel.first = m;
    sel.count = m >= lo ? static_cast<std::size_t>((m - lo) / -step + 1) : 0;
    return sel;
}

void gather_slice(const char* src, const SliceSelection& sel, char* dst) {
    if (sel.step == 1) {
        std::copy_n(src + sel.first, sel.count, dst);
        return;
    }
    // Offsets are computed per element: stepping past the last one could overflow.
    for (std::size_t i = 0; i < sel.count; ++i) dst[i] = src[slice_offset(sel, i)];
}

Coords slice_coords(Coords c, const SliceSelection& sel) {
    if (!c.both()) return {};
    Coords out;
    out.start = checked_add(*c.start, sel.lo);
    // start + hi - 1 has no unsigned value when start and hi are both 0; the end is then absent.
    if (sel.hi > 0)
        out.end = checked_add(*c.start, sel.hi - 1);
    else if (*c.start > 0)
        out.end = *c.start - 1;
    return out;
}

double gc_fraction(std::string_view seq) {
    if (seq.empty()) return 0.0;
    std::uint64_t gc = 0;
    for (unsigned char c : seq) {
        unsigned u = c | 0x20u;
        gc += (u == 'c') | (u == 'g');
    }
    return static_cast<double>(gc) / static_cast<double>(seq.size());
}

double gc_strict_fraction(std::string_view seq) {
    std::uint64_t gc = 0, total = 0;
    for (unsigned char c : seq) {
        unsigned u = c | 0x20u;
        bool is_gc = (u == 'c') | (u == 'g');
        gc += is_gc;
        total += is_gc | (u == 'a') | (u == 't');
    }
    return total ? static_cast<double>(gc) / static_cast<double>(total) : 0.0;
}

double gc_iupac_fraction(std::string_view seq) {
    double sum = 0.0;
    std::uint64_t count = 0;
    for (unsigned char c : seq) {
        double w = IUPAC_WEIGHTS[c];
        if (w >= 0.0) {
            sum += w;
            ++count;
        }
    }
    return count ? sum / static_cast<double>(count) : 0.0;
}

}  // namespace sekva
