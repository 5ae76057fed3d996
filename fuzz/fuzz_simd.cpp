// Fuzz target for the byte kernels: every kernel this processor can run (scalar, SSE2, SSSE3) held
// to a plain loop on the same bytes, at every alignment, so a vector kernel and its fallback can
// never drift apart.
//
// Input layout (fuzz::Input): a byte picking the kernel, a byte of alignment, then the kernel's
// parameters (count_breaks: the stop byte; copy_bases: `want` and the incoming seen/nul;
// reverse_translate: whether the table is the complement table or one drawn from the input), then
// a repeat count and the bytes (up to 1024, repeated; bytes past the input's end read as zero, so
// any input is usable).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fetch/sequence.hpp"
#include "engine/simd/copy_bases.hpp"
#include "engine/simd/count_breaks.hpp"
#include "engine/simd/cpu.hpp"
#include "engine/simd/reverse_translate.hpp"
#include "model.hpp"

namespace {

using namespace sekva;

// Every feature set the kernels are picked by, up to what this processor has.
std::vector<CpuFeatures> feature_sets() {
    const CpuFeatures cpu = detect_cpu();
    std::vector<CpuFeatures> out{CpuFeatures{}};
    if (cpu.sse2) out.push_back(CpuFeatures{.sse2 = true});
    if (cpu.ssse3) out.push_back(CpuFeatures{.sse2 = cpu.sse2, .ssse3 = true});
    if (cpu.avx2) out.push_back(CpuFeatures{.sse2 = cpu.sse2, .ssse3 = cpu.ssse3, .avx2 = true});
    return out;
}

std::string label(const CpuFeatures& f) {
    return std::string(f.sse2 ? "sse2 " : "") + (f.ssse3 ? "ssse3 " : "") + (f.avx2 ? "avx2 " : "") + "kernel";
}

void check_count_breaks(const CpuFeatures& f, const char* p, const char* end, char until) {
    const char* first = end;
    for (const char* q = p; q < end; ++q)
        if (*q == until) {
            first = q;
            break;
        }
    BreakCount got = count_breaks_kernel(f)(p, end, until);
    FUZZ_CHECK(got.stop >= p && got.stop <= first, label(f) + " of count_breaks stopped past the stop byte");
    std::uint64_t lf = 0, cr = 0;
    bool ascii = true;
    for (const char* q = p; q < got.stop; ++q) {
        lf += *q == '\n';
        cr += *q == '\r';
        ascii &= !(static_cast<unsigned char>(*q) & 0x80);
    }
    FUZZ_CHECK(got.lf == lf && got.cr == cr && got.ascii == ascii,
               label(f) + " of count_breaks: lf " + std::to_string(got.lf) + "/" + std::to_string(lf) + ", cr " +
                   std::to_string(got.cr) + "/" + std::to_string(cr) + " over " +
                   fuzz::shown(std::string_view(p, static_cast<std::size_t>(got.stop - p))));
}

void check_copy_bases(const CpuFeatures& f, const char* p, const char* end, std::uint64_t want, unsigned seen_in,
                      bool nul_in) {
    std::string expected;
    for (const char* q = p; q < end && expected.size() < want; ++q)
        if (*q != '\n' && *q != '\r') expected += *q;
    bool high = false, zero = false;
    for (char c : expected) {
        high |= static_cast<unsigned char>(c) & 0x80;
        zero |= c == '\0';
    }
    // Guard bytes after `want` show a write past it.
    constexpr std::size_t GUARD = 32;
    std::vector<char> out(want + GUARD, '\x5A');
    unsigned seen = seen_in;
    bool nul = nul_in;
    std::uint64_t got = copy_bases_kernel(f)(p, end, want, out.data(), seen, nul);
    FUZZ_CHECK(got == expected.size() && std::memcmp(out.data(), expected.data(), expected.size()) == 0,
               label(f) + " of copy_bases gave " + fuzz::shown(std::string_view(out.data(), got)) + ", not " +
                   fuzz::shown(expected));
    for (std::size_t i = want; i < want + GUARD; ++i)
        FUZZ_CHECK(out[i] == '\x5A', label(f) + " of copy_bases wrote past want = " + std::to_string(want));
    FUZZ_CHECK(((seen & 0x80) != 0) == (high || (seen_in & 0x80)), label(f) + " of copy_bases: top bit of seen wrong");
    FUZZ_CHECK((seen & seen_in) == seen_in, label(f) + " of copy_bases cleared bits of seen");
    FUZZ_CHECK(nul == (zero || nul_in), label(f) + " of copy_bases: nul wrong");
}

void check_reverse_translate(const CpuFeatures& f, const char* src, std::size_t n, const ByteTable& table) {
    std::string expected(n, '\0');
    for (std::size_t i = 0; i < n; ++i) expected[i] = static_cast<char>(table[static_cast<unsigned char>(src[n - 1 - i])]);
    std::vector<char> out(n + 1, '\x5A');
    reverse_translate_kernel(f)(src, n, out.data(), table);
    FUZZ_CHECK(std::memcmp(out.data(), expected.data(), n) == 0 && out[n] == '\x5A',
               label(f) + " of reverse_translate gave " + fuzz::shown(std::string_view(out.data(), n)) + ", not " +
                   fuzz::shown(expected));
    std::string in_place(src, n);
    reverse_translate_in_place_kernel(f)(in_place.data(), n, table);
    FUZZ_CHECK(in_place == expected, label(f) + " of reverse_translate_in_place gave " + fuzz::shown(in_place) +
                                         ", not " + fuzz::shown(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<CpuFeatures> sets = feature_sets();
    fuzz::Input in(data, size);
    const unsigned kernel = in.byte() % 3;
    const std::size_t shift = in.byte() % 16;
    // Parameters first, so the bytes are the rest of the input.
    const char until = static_cast<char>(in.byte());
    const std::uint64_t want = in.below(1 << 16);
    const unsigned seen_in = in.byte() & 0x80;
    const bool nul_in = in.flag();
    const bool own_table = in.flag();
    ByteTable table = COMPLEMENT_TABLE;
    if (own_table)
        for (auto& entry : table) entry = in.byte();
    // Repeats make the long stretches (several KiB) where byte-wide counters must be folded.
    const std::size_t repeat = 1 + in.below(64);
    const std::string piece = in.text(1024);
    std::string bytes;
    for (std::size_t k = 0; k < repeat; ++k) bytes += piece;
    // The bytes at each alignment of a 16-byte block, in their own allocation so that ASan sees a
    // read past their end.
    std::vector<char> buffer(shift + bytes.size());
    if (!bytes.empty()) std::memcpy(buffer.data() + shift, bytes.data(), bytes.size());
    const char* p = buffer.data() + shift;
    const char* end = p + bytes.size();
    for (const CpuFeatures& f : sets) {
        switch (kernel) {
            case 0: check_count_breaks(f, p, end, until); break;
            case 1: check_copy_bases(f, p, end, want, seen_in, nul_in); break;
            default: check_reverse_translate(f, p, bytes.size(), table); break;
        }
    }
    return 0;
}
