#include "engine/base/memory.hpp"

#include <sys/mman.h>

namespace sekva {

void advise_huge_pages(const void* p, std::size_t n) {
    constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(HUGE_PAGE - 1);
#ifdef MADV_HUGEPAGE
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)first, (void)last;
#endif
}

}  // namespace sekva
