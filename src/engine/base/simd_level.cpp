// simd_level_name: the same build conditions and processor probe that pick the engine's kernels.
#include "engine/base/simd_level.hpp"

namespace sekva {

const char* simd_level_name() {
    // These conditions mirror those under which fetch/sequence.cpp compiles its SSSE3 kernel and
    // the scans and copies their SSE2 loops; a kernel picked otherwise must change them too.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return "ssse3";
#endif
#if defined(__SSE2__)
    return "sse2";
#else
    return "scalar";
#endif
}

}  // namespace sekva
