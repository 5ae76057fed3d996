// Fast scans over byte ranges: ASCII and UTF-8 checks, Unicode white space, ASCII upper case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sekva {

bool is_ascii(const char* p, std::size_t n);
bool is_valid_utf8(const char* p, std::size_t n);
// The UTF-8 rules for a byte that starts a multi-byte character: how many continuation bytes follow
// and the range the first of them must lie in (the later ones lie in 0x80-0xBF); false for a byte
// no character starts with. Overlong forms, surrogates and code points past U+10FFFF are excluded.
inline bool utf8_lead(unsigned c, unsigned& continuations, unsigned& lo, unsigned& hi) {
    lo = 0x80;
    hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        continuations = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        continuations = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        continuations = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    return true;
}

// White space in the Unicode sense (tab..CR, space, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000), on valid UTF-8.
std::string_view trim_unicode(std::string_view s);
// Offset of the first Unicode white-space character, or s.size().
std::size_t find_unicode_space(std::string_view s);

// ASCII a-z to A-Z in place; other bytes unchanged.
void ascii_upper_in_place(char* p, std::size_t n);

}  // namespace sekva
