// The copy that drops CR and LF bytes: the kernel under every extraction.
#pragma once

#include <cstdint>

#include "engine/simd/cpu.hpp"

namespace sekva {

// Copies every byte other than CR and LF from [p, end) to `out` until `want` bytes are out, and
// returns how many are; never writes past out + want. `seen` gets the top bit (0x80) when a copied
// byte has it, so a clear top bit proves the copy is ASCII (its other bits say nothing); `nul` is
// set when a copied byte is NUL, which no FASTA file holds: the page past the end of a file that
// shrank reads as zeros. Neither is ever cleared, so one pair can span many calls.
using CopyBasesKernel = std::uint64_t (*)(const char* p, const char* end, std::uint64_t want, char* out,
                                          unsigned& seen, bool& nul);

// The kernel for a processor with these features; tests compare them.
CopyBasesKernel copy_bases_kernel(const CpuFeatures& cpu);

inline std::uint64_t copy_bases(const char* p, const char* end, std::uint64_t want, char* out, unsigned& seen,
                                bool& nul) {
    static const CopyBasesKernel kernel = copy_bases_kernel(cpu_features());
    return kernel(p, end, want, out, seen, nul);
}

}  // namespace sekva
