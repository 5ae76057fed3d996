// Reversing bytes through a table: the scalar fallbacks and the SSSE3 kernels.
#include "engine/simd/reverse_translate.hpp"

#if defined(SEKVA_SIMD_SSSE3)
#include <immintrin.h>
#endif

namespace sekva {

namespace {

char mapped(const ByteTable& table, char c) { return static_cast<char>(table[static_cast<unsigned char>(c)]); }

// Output bytes [from, n).
void reverse_translate_scalar_from(const char* src, std::size_t n, char* dst, const ByteTable& table,
                                   std::size_t from) {
    for (std::size_t i = from; i < n; ++i) dst[i] = mapped(table, src[n - 1 - i]);
}

void reverse_translate_scalar(const char* src, std::size_t n, char* dst, const ByteTable& table) {
    reverse_translate_scalar_from(src, n, dst, table, 0);
}

// The bytes p[i, j) swapped end for end, each mapped.
void reverse_translate_in_place_between(char* p, std::size_t i, std::size_t j, const ByteTable& table) {
    while (j > i + 1) {
        --j;
        char a = p[i];
        p[i] = mapped(table, p[j]);
        p[j] = mapped(table, a);
        ++i;
    }
    if (j == i + 1) p[i] = mapped(table, p[i]);
}

void reverse_translate_in_place_scalar(char* p, std::size_t n, const ByteTable& table) {
    reverse_translate_in_place_between(p, 0, n, table);
}

#if defined(SEKVA_SIMD_SSSE3)
// Sixteen bytes at a time where the processor has SSSE3 (nearly every x86-64 one; the baseline
// does not promise it): the table's entries for the bytes 0x40-0x7F, where the letters and so
// nearly all bases lie, as four 16-byte tables looked up with pshufb. A block holding any other
// byte leaves the rest of the work to the byte loop.
struct LetterTable {
    __m128i part[4];
};

SEKVA_TARGET_SSSE3 LetterTable letter_table(const ByteTable& table) {
    LetterTable t;
    for (int k = 0; k < 4; ++k) t.part[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data() + 0x40 + 16 * k));
    return t;
}

// Plain functions rather than lambdas: a lambda does not inherit its caller's target.
SEKVA_TARGET_SSSE3 inline __m128i pick(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

SEKVA_TARGET_SSSE3 inline __m128i has_bit(__m128i v, char b) {
    return _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(b)), _mm_set1_epi8(b));
}

// The 16 bytes reversed and mapped; false when one of them lies outside 0x40-0x7F.
SEKVA_TARGET_SSSE3 inline bool reverse16(__m128i v, const LetterTable& t, __m128i& out) {
    v = _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    const __m128i low = _mm_and_si128(v, _mm_set1_epi8(0x0F));
    const __m128i bit4 = has_bit(v, 0x10), bit5 = has_bit(v, 0x20);
    const __m128i upper = pick(bit4, _mm_shuffle_epi8(t.part[1], low), _mm_shuffle_epi8(t.part[0], low));
    const __m128i lower = pick(bit4, _mm_shuffle_epi8(t.part[3], low), _mm_shuffle_epi8(t.part[2], low));
    out = pick(bit5, lower, upper);
    const __m128i letters = _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), _mm_set1_epi8(0x40));
    return _mm_movemask_epi8(letters) == 0xFFFF;
}

SEKVA_TARGET_SSSE3 void reverse_translate_ssse3(const char* src, std::size_t n, char* dst, const ByteTable& table) {
    std::size_t k = 0;
    if (n >= 16) {
        const LetterTable t = letter_table(table);
        for (; n - k >= 16; k += 16) {
            __m128i out;
            if (!reverse16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - k - 16)), t, out)) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), out);
        }
    }
    reverse_translate_scalar_from(src, n, dst, table, k);
}

// Pairs of blocks from both ends inward, then the bytes between them.
SEKVA_TARGET_SSSE3 void reverse_translate_in_place_ssse3(char* p, std::size_t n, const ByteTable& table) {
    std::size_t i = 0, j = n;
    if (n >= 32) {
        const LetterTable t = letter_table(table);
        while (j - i >= 32) {
            __m128i front = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            __m128i back = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j - 16));
            __m128i front_out, back_out;
            if (!reverse16(front, t, front_out) || !reverse16(back, t, back_out)) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), back_out);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + j - 16), front_out);
            i += 16;
            j -= 16;
        }
    }
    reverse_translate_in_place_between(p, i, j, table);
}
#endif

}  // namespace

ReverseTranslateKernel reverse_translate_kernel(const CpuFeatures& cpu) {
#if defined(SEKVA_SIMD_SSSE3)
    if (cpu.ssse3) return reverse_translate_ssse3;
#endif
    (void)cpu;
    return reverse_translate_scalar;
}

ReverseTranslateInPlaceKernel reverse_translate_in_place_kernel(const CpuFeatures& cpu) {
#if defined(SEKVA_SIMD_SSSE3)
    if (cpu.ssse3) return reverse_translate_in_place_ssse3;
#endif
    (void)cpu;
    return reverse_translate_in_place_scalar;
}

}  // namespace sekva
