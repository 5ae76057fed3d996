// The processor probe and the environment switch that forces the scalar fallbacks.
#include "engine/simd/cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace sekva {

CpuFeatures detect_cpu() {
    CpuFeatures f;
#if defined(SEKVA_SIMD_X86)
    __builtin_cpu_init();
#if defined(SEKVA_SIMD_SSE2)
    f.sse2 = __builtin_cpu_supports("sse2");
#endif
#if defined(SEKVA_SIMD_SSSE3)
    f.ssse3 = __builtin_cpu_supports("ssse3");
#endif
#if defined(SEKVA_SIMD_AVX2)
    f.avx2 = __builtin_cpu_supports("avx2");
#endif
#endif
    return f;
}

namespace {

bool scalar_forced() {
    const char* value = std::getenv("SEKVA_FORCE_SCALAR");
    return value && *value && std::strcmp(value, "0") != 0;
}

}  // namespace

const CpuFeatures& cpu_features() {
    // A function-local static: thread-safe, and read once, so a kernel never changes under a
    // running process.
    static const CpuFeatures features = scalar_forced() ? CpuFeatures{} : detect_cpu();
    return features;
}

const char* simd_level_name() {
    const CpuFeatures& f = cpu_features();
    return f.avx2 ? "avx2" : f.ssse3 ? "ssse3" : f.sse2 ? "sse2" : "scalar";
}

}  // namespace sekva
