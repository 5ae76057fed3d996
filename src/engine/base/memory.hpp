// Room for large tables: fresh memory of many megabytes backed by huge pages where the kernel offers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sekva {

// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with huge pages (transparent huge
// pages in "madvise" mode), so that memory never touched before takes a page fault every 2 MiB
// rather than every 4 KiB. A hint only: where it fails, nothing else changes.
void advise_huge_pages(const void* p, std::size_t n);

// Smaller tables gain nothing from the hint.
inline constexpr std::size_t HUGE_PAGE_FROM = std::size_t{4} << 20;

// Room for `count` elements in an empty vector (one whose memory is fresh), large tables on huge
// pages; the elements are then added by the caller. Throws std::bad_alloc as reserve does.
template <class T>
void reserve_fresh(std::vector<T>& v, std::size_t count) {
    v.reserve(count);
    if (v.empty() && count * sizeof(T) >= HUGE_PAGE_FROM) advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// `count` copies of `value`, as assign does; a large table in fresh memory on huge pages.
template <class T>
void assign_fresh(std::vector<T>& v, std::size_t count, const T& value) {
    if (count * sizeof(T) < HUGE_PAGE_FROM) {
        v.assign(count, value);
        return;
    }
    std::vector<T> fresh;
    reserve_fresh(fresh, count);
    fresh.assign(count, value);
    v.swap(fresh);
}

}  // namespace sekva
