// Index scan over the whole file in memory. One pass per record body finds the next header and
// counts LF and CR bytes sixteen at a time, so a record's base count needs no walk over its lines.
#include "engine/scan.hpp"

#include <cstring>

#include "engine/bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sekva {

namespace {

FaidxError invalid_utf8() { return io_error("stream did not contain valid UTF-8"); }

struct BodyScan {
    std::size_t end;  // offset of the next header line, or the file size
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    bool ascii = true;
};

// Scans from `from` (the start of a line) to the next line that starts with ">".
BodyScan scan_body(std::string_view d, std::size_t from) {
    BodyScan out{d.size()};
    const char* base = d.data();
    const char* p = base + from;
    const char* end = base + d.size();
    unsigned high_bits = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), gt = _mm_set1_epi8('>');
    const __m128i zero = _mm_setzero_si128();
    __m128i lf_acc = zero, cr_acc = zero, high = zero;
    unsigned rounds = 0;
    auto flush = [&] {
        __m128i l = _mm_sad_epu8(lf_acc, zero), c = _mm_sad_epu8(cr_acc, zero);
        out.lf += static_cast<std::uint64_t>(_mm_cvtsi128_si64(l)) + static_cast<std::uint64_t>(_mm_extract_epi16(l, 4));
        out.cr += static_cast<std::uint64_t>(_mm_cvtsi128_si64(c)) + static_cast<std::uint64_t>(_mm_extract_epi16(c, 4));
        lf_acc = cr_acc = zero;
        rounds = 0;
    };
#endif
    while (p < end) {
#if defined(__SSE2__)
        if (end - p >= 64) {
            __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
            __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
            __m128i any_gt = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v0, gt), _mm_cmpeq_epi8(v1, gt)),
                                          _mm_or_si128(_mm_cmpeq_epi8(v2, gt), _mm_cmpeq_epi8(v3, gt)));
            if (!_mm_movemask_epi8(any_gt)) {
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
                continue;
            }
        }
        if (end - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (!_mm_movemask_epi8(_mm_cmpeq_epi8(v, gt))) {
                // Byte counters gain at most 4 per 64-byte round; they are folded before they can wrap.
                lf_acc = _mm_sub_epi8(lf_acc, _mm_cmpeq_epi8(v, lf));
                cr_acc = _mm_sub_epi8(cr_acc, _mm_cmpeq_epi8(v, cr));
                high = _mm_or_si128(high, v);
                p += 16;
                if (++rounds >= 248) flush();
                continue;
            }
        }
#endif
        // A block holding ">" (rare inside sequence) or the file's tail, byte by byte.
        const char* stop = end - p > 16 ? p + 16 : end;
        for (; p < stop; ++p) {
            char c = *p;
            if (c == '>' && (p == base + from || p[-1] == '\n')) {
                out.end = static_cast<std::size_t>(p - base);
                stop = end = p;
                break;
            }
            out.lf += c == '\n';
            out.cr += c == '\r';
            high_bits |= static_cast<unsigned char>(c);
        }
    }
#if defined(__SSE2__)
    flush();
    if (_mm_movemask_epi8(high)) high_bits |= 0x80;
#endif
    out.ascii = !(high_bits & 0x80);
    return out;
}

// Bytes of a line once every CR and LF at its end is removed.
std::size_t content_length(std::string_view line) {
    std::size_t k = line.size();
    while (k > 0 && (line[k - 1] == '\n' || line[k - 1] == '\r')) --k;
    return k;
}

// Base count of a body with CRs in it: each line loses only the CR/LF run at its end.
std::uint64_t count_bases_by_lines(std::string_view body) {
    std::uint64_t bases = 0;
    while (!body.empty()) {
        std::size_t nl = body.find('\n');
        std::size_t len = nl == std::string_view::npos ? body.size() : nl + 1;
        bases += content_length(body.substr(0, len));
        body.remove_prefix(len);
    }
    return bases;
}

// Measures the body that starts at `from`; returns false when it is not valid UTF-8.
bool measure_body(std::string_view d, std::size_t from, IndexEntry& e, std::size_t& body_end) {
    BodyScan scan = scan_body(d, from);
    body_end = scan.end;
    std::string_view body = d.substr(from, scan.end - from);
    if (!scan.ascii && !is_valid_utf8(body.data(), body.size())) return false;
    e.rlen = e.lenc = e.lenb = 0;
    if (body.empty()) return true;
    std::size_t nl = body.find('\n');
    std::size_t first = nl == std::string_view::npos ? body.size() : nl + 1;
    e.lenb = first;
    e.lenc = content_length(body.substr(0, first));
    e.rlen = scan.cr == 0 ? body.size() - scan.lf : count_bases_by_lines(body);
    return true;
}

}  // namespace

Result<std::vector<NamedEntry>> scan_fasta(std::string_view d) {
    std::vector<NamedEntry> entries;
    IndexEntry preamble{};
    std::size_t pos;
    // Lines before the first header belong to no record, but must still be text.
    if (!measure_body(d, 0, preamble, pos)) return invalid_utf8();
    while (pos < d.size()) {
        const char* eol = static_cast<const char*>(std::memchr(d.data() + pos, '\n', d.size() - pos));
        std::size_t line_end = eol ? static_cast<std::size_t>(eol - d.data()) + 1 : d.size();
        std::string_view header = d.substr(pos + 1, line_end - pos - 1);
        if (!is_valid_utf8(header.data(), header.size())) return invalid_utf8();
        std::string_view name = trim_unicode(header);
        name = name.substr(0, find_unicode_space(name));

        IndexEntry e{0, line_end, 0, 0};
        if (!measure_body(d, line_end, e, pos)) return invalid_utf8();
        if (!name.empty()) entries.push_back(NamedEntry{std::string(name), e});
    }
    return entries;
}

}  // namespace sekva
