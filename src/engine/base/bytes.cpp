// Byte scans used by the index scan, extraction and the Sequence transforms.
#include "engine/base/bytes.hpp"

#include <cstring>

namespace sekva {

bool is_ascii(const char* p, std::size_t n) {
    std::size_t i = 0;
    std::uint64_t acc = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, p + i, 32);
        acc |= w[0] | w[1] | w[2] | w[3];
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    if (acc & 0x8080808080808080ULL) return false;
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) & 0x80) return false;
    return true;
}

bool is_valid_utf8(const char* p, std::size_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            if (i + 8 <= n && is_ascii(p + i, 8)) {
                i += 8;
            } else {
                ++i;
            }
            continue;
        }
        unsigned continuations, lo, hi;
        if (!utf8_lead(s[i], continuations, lo, hi)) return false;
        const std::size_t len = continuations + 1;
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

namespace {

// Length of the Unicode white-space character starting at s[i], or 0.
std::size_t space_at(std::string_view s, std::size_t i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    std::size_t left = s.size() - i;
    unsigned c = b(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c == 0xC2 && left >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (left >= 3) {
        if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
        if (c == 0xE2 && b(1) == 0x80 && (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
            return 3;
        if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;
        if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
    }
    return 0;
}

// Length of the white-space character ending just before s[end], or 0.
std::size_t space_before(std::string_view s, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
        std::size_t start = end - len;
        if ((static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) continue;  // inside a character
        return space_at(s, start) == len ? len : 0;
    }
    return 0;
}

}  // namespace

std::string_view trim_unicode(std::string_view s) {
    std::size_t first = 0;
    while (first < s.size()) {
        std::size_t len = space_at(s, first);
        if (!len) break;
        first += len;
    }
    std::size_t last = s.size();
    while (last > first) {
        std::size_t len = space_before(s, last);
        if (!len) break;
        last -= len;
    }
    return s.substr(first, last - first);
}

std::size_t find_unicode_space(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        // Printable ASCII other than the space starts no white space.
        if (static_cast<unsigned char>(s[i] - 0x21) < 0x5E) continue;
        if (space_at(s, i)) return i;
    }
    return s.size();
}

void ascii_upper_in_place(char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        p[i] = static_cast<char>(static_cast<unsigned>(c - 'a') < 26u ? c - 32 : c);
    }
}

}  // namespace sekva
