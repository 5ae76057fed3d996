// Counting LF and CR bytes up to a stop byte: the scalar fallback and the SSE2 kernel.
#include "engine/simd/count_breaks.hpp"

#include <cstring>

#if defined(SEKVA_SIMD_SSE2)
#include <emmintrin.h>
#endif

namespace sekva {

namespace {

// memchr finds the stop; the counting loop has no branch, so compilers vectorise it where they can.
BreakCount count_breaks_scalar(const char* p, const char* end, char until) {
    const void* hit = p < end ? std::memchr(p, until, static_cast<std::size_t>(end - p)) : nullptr;
    BreakCount out{hit ? static_cast<const char*>(hit) : end};
    unsigned high = 0;
    for (; p < out.stop; ++p) {
        out.lf += *p == '\n';
        out.cr += *p == '\r';
        high |= static_cast<unsigned char>(*p);
    }
    out.ascii = !(high & 0x80);
    return out;
}

#if defined(SEKVA_SIMD_SSE2)
// 64 bytes a round while none of them is `until`, then 16 at a time. Byte-wide counters gain at
// most 4 a round and are folded into the totals before they can wrap.
BreakCount count_breaks_sse2(const char* p, const char* end, char until) {
    BreakCount out{end};
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), stop = _mm_set1_epi8(until);
    const __m128i zero = _mm_setzero_si128();
    __m128i lf_acc = zero, cr_acc = zero, high = zero;
    unsigned rounds = 0;
    auto flush = [&] {
        // Each half of a sum of absolute differences is at most 8 * 255: its low 16 bits hold it.
        __m128i l = _mm_sad_epu8(lf_acc, zero), c = _mm_sad_epu8(cr_acc, zero);
        out.lf += static_cast<std::uint64_t>(_mm_extract_epi16(l, 0)) + static_cast<std::uint64_t>(_mm_extract_epi16(l, 4));
        out.cr += static_cast<std::uint64_t>(_mm_extract_epi16(c, 0)) + static_cast<std::uint64_t>(_mm_extract_epi16(c, 4));
        lf_acc = cr_acc = zero;
        rounds = 0;
    };
    while (end - p >= 64) {
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
        __m128i any_stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v0, stop), _mm_cmpeq_epi8(v1, stop)),
                                        _mm_or_si128(_mm_cmpeq_epi8(v2, stop), _mm_cmpeq_epi8(v3, stop)));
        if (_mm_movemask_epi8(any_stop)) break;
        __m128i l = _mm_add_epi8(_mm_add_epi8(_mm_cmpeq_epi8(v0, lf), _mm_cmpeq_epi8(v1, lf)),
                                 _mm_add_epi8(_mm_cmpeq_epi8(v2, lf), _mm_cmpeq_epi8(v3, lf)));
        __m128i c = _mm_add_epi8(_mm_add_epi8(_mm_cmpeq_epi8(v0, cr), _mm_cmpeq_epi8(v1, cr)),
                                 _mm_add_epi8(_mm_cmpeq_epi8(v2, cr), _mm_cmpeq_epi8(v3, cr)));
        lf_acc = _mm_sub_epi8(lf_acc, l);
        cr_acc = _mm_sub_epi8(cr_acc, c);
        high = _mm_or_si128(high, _mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3)));
        p += 64;
        rounds += 4;
        if (rounds >= 248) flush();
    }
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, stop))) break;
        lf_acc = _mm_sub_epi8(lf_acc, _mm_cmpeq_epi8(v, lf));
        cr_acc = _mm_sub_epi8(cr_acc, _mm_cmpeq_epi8(v, cr));
        high = _mm_or_si128(high, v);
        p += 16;
        if (++rounds >= 248) flush();
    }
    flush();
    out.stop = p;
    out.ascii = !_mm_movemask_epi8(high);
    return out;
}
#endif

}  // namespace

CountBreaksKernel count_breaks_kernel(const CpuFeatures& cpu) {
#if defined(SEKVA_SIMD_SSE2)
    if (cpu.sse2) return count_breaks_sse2;
#endif
    (void)cpu;
    return count_breaks_scalar;
}

}  // namespace sekva
