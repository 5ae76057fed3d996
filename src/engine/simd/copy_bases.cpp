// The copy that drops CR and LF bytes: the scalar fallback and the SSE2 and AVX2 kernels.
#include "engine/simd/copy_bases.hpp"

#include <cstring>

#if defined(SEKVA_SIMD_SSE2)
#include <emmintrin.h>
#endif
#if defined(SEKVA_SIMD_AVX2)
#include <immintrin.h>
#endif

namespace sekva {

namespace {

bool is_break(char c) { return c == '\n' || c == '\r'; }

std::uint64_t copy_bases_scalar(const char* p, const char* end, std::uint64_t want, char* out, unsigned& seen,
                                bool& nul) {
    std::uint64_t got = 0;
    for (; got < want && p < end; ++p) {
        seen |= static_cast<unsigned char>(*p);
        if (is_break(*p)) continue;
        nul |= *p == '\0';
        out[got++] = *p;
    }
    return got;
}

#if defined(SEKVA_SIMD_SSE2)
// n < 16 bytes with at most two overlapping moves: cheaper than a call for the tail of a region.
inline void copy_short(char* dst, const char* src, unsigned n) {
    if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else {
        for (unsigned i = 0; i < n; ++i) dst[i] = src[i];
    }
}

// Sixteen bytes at a time while they fit: a block without a break is stored whole; a block with
// one keeps the run before it (the rest of the store is overwritten later). The scalar copy takes
// the last bytes.
std::uint64_t copy_bases_sse2(const char* p, const char* end, std::uint64_t want, char* out, unsigned& seen,
                              bool& nul) {
    std::uint64_t got = 0;
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), zero = _mm_setzero_si128();
    __m128i high = zero, zeros = zero;
    while (got < want && end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        if (!mask && want - got >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + got), v);
            high = _mm_or_si128(high, v);
            zeros = _mm_or_si128(zeros, _mm_cmpeq_epi8(v, zero));
            p += 16;
            got += 16;
            continue;
        }
        // The run before the first break, or the last bases wanted: only those bytes are stored,
        // so the output never grows past `want`.
        unsigned run = mask ? static_cast<unsigned>(__builtin_ctz(mask)) : 16u;
        if (run > want - got) run = static_cast<unsigned>(want - got);
        unsigned taken = (1u << run) - 1;
        if (static_cast<unsigned>(_mm_movemask_epi8(v)) & taken) seen |= 0x80;
        if (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) & taken) nul = true;
        if (want - got >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + got), v);
        } else {
            alignas(16) char block[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(block), v);
            copy_short(out + got, block, run);
        }
        got += run;
        p += run;
        while (got < want && p < end && is_break(*p)) ++p;
    }
    if (_mm_movemask_epi8(high)) seen |= 0x80;
    if (_mm_movemask_epi8(zeros)) nul = true;
    return got + copy_bases_scalar(p, end, want - got, out + got, seen, nul);
}
#endif

#if defined(SEKVA_SIMD_AVX2)
// 32 bytes a step. A block whose breaks are one run of at most two (one line end, LF or CRLF: every
// block of a file whose lines hold 30 bases or more) is stored in one go, its bytes past the run
// taken from a second load that starts that many bytes later; no branch depends on where the line
// ends. A block with more breaks (short lines) stores the run before its first break. The SSE2
// kernel takes the last bytes.
SEKVA_TARGET_AVX2 std::uint64_t copy_bases_avx2(const char* p, const char* end, std::uint64_t want, char* out,
                                                unsigned& seen, bool& nul) {
    if (end - p < 34 || want < 32) return copy_bases_sse2(p, end, want, out, seen, nul);  // no block to take
    std::uint64_t got = 0;
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), zero = _mm256_setzero_si256();
    const __m256i index = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                           21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    __m256i high = zero, zeros = zero;
    // The block and the two bytes after it are readable; 32 bytes of room are left in `out`. Every
    // byte of a block that is not a break is copied before `want` is reached (the room holds it),
    // so the whole block counts towards `seen` and `nul`.
    while (end - p >= 34 && want - got >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const auto mask = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
        high = _mm256_or_si256(high, v);
        zeros = _mm256_or_si256(zeros, _mm256_cmpeq_epi8(v, zero));
        if (!mask) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + got), v);
            p += 32;
            got += 32;
            continue;
        }
        const auto at = static_cast<unsigned>(__builtin_ctz(mask));
        const auto breaks = static_cast<unsigned>(__builtin_popcount(mask));
        if (breaks <= 2 && (mask >> at) == (1u << breaks) - 1) {
            const __m256i later = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + breaks));
            const __m256i past = _mm256_cmpgt_epi8(index, _mm256_set1_epi8(static_cast<char>(static_cast<int>(at) - 1)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + got), _mm256_blendv_epi8(v, later, past));
            p += 32;
            got += 32 - breaks;
            continue;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + got), v);
        p += at;
        got += at;
        while (p < end && is_break(*p)) ++p;
    }
    if (_mm256_movemask_epi8(high)) seen |= 0x80;
    if (_mm256_movemask_epi8(zeros)) nul = true;
    // The SSE2 kernel is not VEX-encoded: with the upper halves of the vector registers still
    // dirty, each of its instructions would wait on them (the compiler adds no vzeroupper here).
    _mm256_zeroupper();
    return got + copy_bases_sse2(p, end, want - got, out + got, seen, nul);
}
#endif

}  // namespace

CopyBasesKernel copy_bases_kernel(const CpuFeatures& cpu) {
#if defined(SEKVA_SIMD_AVX2)
    if (cpu.avx2 && cpu.sse2) return copy_bases_avx2;
#endif
#if defined(SEKVA_SIMD_SSE2)
    if (cpu.sse2) return copy_bases_sse2;
#endif
    (void)cpu;
    return copy_bases_scalar;
}

}  // namespace sekva
