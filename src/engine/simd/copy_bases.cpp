// The copy that drops CR and LF bytes: the scalar fallback and the SSE2 kernel.
#include "engine/simd/copy_bases.hpp"

#include <cstring>

#if defined(SEKVA_SIMD_SSE2)
#include <emmintrin.h>
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

}  // namespace

CopyBasesKernel copy_bases_kernel(const CpuFeatures& cpu) {
#if defined(SEKVA_SIMD_SSE2)
    if (cpu.sse2) return copy_bases_sse2;
#endif
    (void)cpu;
    return copy_bases_scalar;
}

}  // namespace sekva
