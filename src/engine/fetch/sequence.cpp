// Complement table, strand transforms, slice selection and GC measures over bytes.
#include "engine/fetch/sequence.hpp"

#include <algorithm>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define SEKVA_RC_SSSE3 1
#endif

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

namespace {

#ifdef SEKVA_RC_SSSE3
// Sixteen bytes at a time where the processor has SSSE3 (nearly every x86-64 one; the baseline
// does not promise it): the complement of the bytes 0x40-0x7F, where the letters and so nearly
// all bases lie, as four 16-byte tables looked up with pshufb. A block holding any other byte
// leaves the rest of the work to the byte loop.
alignas(16) constexpr std::array<unsigned char, 64> LETTER_COMPLEMENT = [] {
    std::array<unsigned char, 64> t{};
    const auto full = make_complement_table();
    for (int i = 0; i < 64; ++i) t[i] = full[0x40 + i];
    return t;
}();

#define SEKVA_SSSE3 __attribute__((target("ssse3")))

// The reverse complement of 16 bytes; false when one of them lies outside 0x40-0x7F.
SEKVA_SSSE3 inline bool rc16(__m128i v, __m128i& out) {
    v = _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    const __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x0F));
    const auto* table = reinterpret_cast<const __m128i*>(LETTER_COMPLEMENT.data());
    auto pick = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    auto bit = [&](char b) { return _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(b)), _mm_set1_epi8(b)); };
    const __m128i bit4 = bit(0x10), bit5 = bit(0x20);
    const __m128i upper = pick(bit4, _mm_shuffle_epi8(_mm_load_si128(table + 1), low), _mm_shuffle_epi8(_mm_load_si128(table), low));
    const __m128i lower = pick(bit4, _mm_shuffle_epi8(_mm_load_si128(table + 3), low), _mm_shuffle_epi8(_mm_load_si128(table + 2), low));
    out = pick(bit5, lower, upper);
    const __m128i letters = _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), _mm_set1_epi8(0x40));
    return _mm_movemask_epi8(letters) == 0xFFFF;
}

// Reverse-complements pairs of blocks from both ends inward; returns how many bytes at each end
// are done.
SEKVA_SSSE3 std::size_t rc_in_place_blocks(char* p, std::size_t n) {
    std::size_t i = 0, j = n;
    while (j - i >= 32) {
        __m128i front = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i back = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j - 16));
        __m128i front_rc, back_rc;
        if (!rc16(front, front_rc) || !rc16(back, back_rc)) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), back_rc);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + j - 16), front_rc);
        i += 16;
        j -= 16;
    }
    return i;
}

// dst[k] for the first blocks of the output; returns how many bytes are written.
SEKVA_SSSE3 std::size_t rc_copy_blocks(const char* src, std::size_t n, char* dst) {
    std::size_t k = 0;
    for (; n - k >= 16; k += 16) {
        __m128i out;
        if (!rc16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - k - 16)), out)) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), out);
    }
    return k;
}

bool have_ssse3() {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}
#endif

}  // namespace

void complement_bytes(const char* src, std::size_t n, char* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(src[i])]);
}

void reverse_bytes(const char* src, std::size_t n, char* dst) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[n - 1 - i];
}

void reverse_complement_bytes(const char* src, std::size_t n, char* dst) {
    std::size_t i = 0;
#ifdef SEKVA_RC_SSSE3
    if (n >= 16 && have_ssse3()) i = rc_copy_blocks(src, n, dst);
#endif
    for (; i < n; ++i) dst[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(src[n - 1 - i])]);
}

void reverse_complement_in_place(char* p, std::size_t n) {
    std::size_t i = 0;
#ifdef SEKVA_RC_SSSE3
    if (n >= 32 && have_ssse3()) i = rc_in_place_blocks(p, n);
#endif
    std::size_t j = n - i;
    while (j > i + 1) {
        --j;
        char a = p[i];
        p[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(p[j])]);
        p[j] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(a)]);
        ++i;
    }
    if (j == i + 1) p[i] = static_cast<char>(COMPLEMENT_TABLE[static_cast<unsigned char>(p[i])]);
}

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
