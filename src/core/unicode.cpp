#include "core/unicode.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <iterator>

namespace quarzel::unicode {

namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

// The code points that Unicode 17.0 assigned, in order (found by comparing
// utf8proc_category with unicodedata over every code point; the Python
// tests repeat that comparison).
constexpr CodeRange kAssignedIn17[] = {
    {0x0088F, 0x0088F}, {0x00C5C, 0x00C5C}, {0x00CDC, 0x00CDC}, {0x01ACF, 0x01ADD},
    {0x01AE0, 0x01AEB}, {0x020C1, 0x020C1}, {0x02B96, 0x02B96}, {0x0A7CE, 0x0A7CF},
    {0x0A7D2, 0x0A7D2}, {0x0A7D4, 0x0A7D4}, {0x0A7F1, 0x0A7F1}, {0x0FBC3, 0x0FBD2},
    {0x0FD90, 0x0FD91}, {0x0FDC8, 0x0FDCE}, {0x10940, 0x10959}, {0x10EC5, 0x10EC7},
    {0x10ED0, 0x10ED8}, {0x10EFA, 0x10EFB}, {0x11B60, 0x11B67}, {0x11DB0, 0x11DDB},
    {0x11DE0, 0x11DE9}, {0x16EA0, 0x16EB8}, {0x16EBB, 0x16ED3}, {0x16FF2, 0x16FF6},
    {0x187F8, 0x187FF}, {0x18D09, 0x18D1E}, {0x18D80, 0x18DF2}, {0x1CCFA, 0x1CCFC},
    {0x1CEBA, 0x1CED0}, {0x1CEE0, 0x1CEF0}, {0x1E6C0, 0x1E6DE}, {0x1E6E0, 0x1E6F5},
    {0x1E6FE, 0x1E6FF}, {0x1F6D8, 0x1F6D8}, {0x1F777, 0x1F77A}, {0x1F8D0, 0x1F8D8},
    {0x1FA54, 0x1FA57}, {0x1FA8A, 0x1FA8A}, {0x1FA8E, 0x1FA8E}, {0x1FAC8, 0x1FAC8},
    {0x1FACD, 0x1FACD}, {0x1FAEA, 0x1FAEA}, {0x1FAEF, 0x1FAEF}, {0x1FBFA, 0x1FBFA},
    {0x2B73A, 0x2B73F}, {0x2CEA2, 0x2CEAD}, {0x323B0, 0x33479},
};

}  // namespace

bool newer_than_interpreter(char32_t c) noexcept {
    const auto* it = std::upper_bound(std::begin(kAssignedIn17), std::end(kAssignedIn17), c,
                                      [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(kAssignedIn17) && c <= (it - 1)->last;
}

bool is_printable(char32_t c) noexcept {
    if (c < 0x80) return c >= 0x20 && c != 0x7F;
    if (c > 0x10FFFF) return false;
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_CN:
        case UTF8PROC_CATEGORY_CC:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_CS:
        case UTF8PROC_CATEGORY_CO:
        case UTF8PROC_CATEGORY_ZS:  // the space is ASCII
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            return false;
        default:
            return !newer_than_interpreter(c);
    }
}

}  // namespace quarzel::unicode
