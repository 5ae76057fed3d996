// The widest vector instructions the engine's kernels run with on this processor, for reporting.
#pragma once

namespace sekva {

// "ssse3" where the reverse-complement kernel has SSSE3 to use, else "sse2" where the build's
// baseline has SSE2 (the line scans and copies), else "scalar". Probed once, on first call.
const char* simd_level_name();

}  // namespace sekva
