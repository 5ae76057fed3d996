// The one probe of the processor's vector extensions that every kernel in this folder is picked by.
#pragma once

// Where the x86 kernels are compiled: the SSE2 ones when the baseline has SSE2 (__SSE2__, every
// x86-64 build), the SSSE3 and AVX2 ones always (AVX2 beside SSE2), each function marked
// target("ssse3") or target("avx2") and run only where the probe found the extension, so the
// build's baseline stays SSE2.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define SEKVA_SIMD_X86 1
#if defined(__SSE2__)
#define SEKVA_SIMD_SSE2 1
#endif
#define SEKVA_SIMD_SSSE3 1
#define SEKVA_TARGET_SSSE3 __attribute__((target("ssse3")))
// The AVX2 kernels finish their last bytes with the SSE2 ones.
#if defined(__SSE2__)
#define SEKVA_SIMD_AVX2 1
#define SEKVA_TARGET_AVX2 __attribute__((target("avx2")))
#endif
#endif

namespace sekva {

// What a kernel may use. A feature is set only where this build holds a kernel that uses it, so a
// non-x86 build reports none and runs the scalar fallbacks.
struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;
};

// What this processor offers, asked anew on each call (tests compare kernels through it).
CpuFeatures detect_cpu();

// The features the kernels are picked by: detect_cpu(), decided once on first use. With
// SEKVA_FORCE_SCALAR=1 in the environment at that moment every feature is off, so a test run can
// take the scalar fallbacks on any processor; a value of 0 or an empty one changes nothing.
const CpuFeatures& cpu_features();
// The widest of them by name, as the module reports it: "avx2", "ssse3", "sse2" or "scalar".
const char* simd_level_name();

}  // namespace sekva
