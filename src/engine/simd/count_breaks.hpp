// Counting LF and CR bytes up to a stop byte: the kernel under the index scan.
#pragma once

#include <cstdint>

#include "engine/simd/cpu.hpp"

namespace sekva {

struct BreakCount {
    const char* stop;       // where counting stopped
    std::uint64_t lf = 0;   // LF bytes in [p, stop)
    std::uint64_t cr = 0;   // CR bytes in [p, stop)
    bool ascii = true;      // no byte in [p, stop) has its top bit set
};

// Counts from p on and stops no later than the first `until` byte or `end`. Where exactly is the
// kernel's choice (the SSE2 one stops at the 16-byte block holding `until`, or where fewer than 16
// bytes are left), so the caller looks at the bytes from `stop` on itself and calls again.
using CountBreaksKernel = BreakCount (*)(const char* p, const char* end, char until);

// The kernel for a processor with these features; tests compare them.
CountBreaksKernel count_breaks_kernel(const CpuFeatures& cpu);

inline BreakCount count_breaks(const char* p, const char* end, char until) {
    static const CountBreaksKernel kernel = count_breaks_kernel(cpu_features());
    return kernel(p, end, until);
}

}  // namespace sekva
