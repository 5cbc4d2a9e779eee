#include "core/lowercase.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace quarzel {

namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

#include "core/lowercase_tables.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) noexcept {
    auto it = std::upper_bound(std::begin(table), std::end(table), c,
                               [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(table) && c <= (it - 1)->last;
}

bool is_cased(char32_t c) noexcept {
    return in_ranges(kCased, c);
}
bool is_case_ignorable(char32_t c) noexcept {
    return in_ranges(kCaseIgnorable, c);
}

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

// A capital sigma is final when a cased letter precedes it and none follows
// it, case-ignorable characters in between being skipped on both sides.
bool is_final_sigma(const std::vector<char32_t>& cps, std::size_t i) noexcept {
    std::size_t j = i;
    while (j > 0 && is_case_ignorable(cps[j - 1])) --j;
    if (j == 0 || !is_cased(cps[j - 1])) return false;
    std::size_t k = i + 1;
    while (k < cps.size() && is_case_ignorable(cps[k])) ++k;
    return k == cps.size() || !is_cased(cps[k]);
}

// Decodes one well-formed UTF-8 sequence at `pos`; returns false (leaving
// `pos`) for anything else.
bool decode_strict(std::string_view s, std::size_t& pos, char32_t& out) noexcept {
    auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        ++pos;
        out = b0;
        return true;
    }
    int len = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : 0;
    if (b0 >= 0xF5 || len == 0 || pos + len > s.size()) return false;
    char32_t c = b0 & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80) return false;
        c = (c << 6) | (b & 0x3F);
    }
    if ((len == 3 && (c < 0x800 || (c >= 0xD800 && c < 0xE000))) ||
        (len == 4 && (c < 0x10000 || c > 0x10FFFF)))
        return false;
    pos += len;
    out = c;
    return true;
}

void lower_unicode(std::string_view text, std::string& out) {
    // Code points, with invalid bytes kept as negative markers so they can be
    // copied back unchanged.
    constexpr char32_t kRawByte = 0x80000000u;
    std::vector<char32_t> cps;
    cps.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t c;
        if (decode_strict(text, pos, c)) {
            cps.push_back(c);
        } else {
            cps.push_back(kRawByte | static_cast<unsigned char>(text[pos]));
            ++pos;
        }
    }
    for (std::size_t i = 0; i < cps.size(); ++i) {
        char32_t c = cps[i];
        if (c & kRawByte) {
            out.push_back(static_cast<char>(c & 0xFF));
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        } else if (c == 0x130) {
            out += "i\xCC\x87";  // i, combining dot above
        } else if (c == kCapitalSigma) {
            utf8::append(out, is_final_sigma(cps, i) ? kFinalSigma : kSmallSigma);
        } else if (unicode::newer_than_interpreter(c)) {
            utf8::append(out, c);
        } else {
            utf8::append(out,
                         static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
        }
    }
}

}  // namespace

// Lower-cases the ASCII letters of eight ASCII bytes at once.
std::uint64_t lower_ascii8(std::uint64_t w) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    // High bit of each byte: at least 'A', and above 'Z'.
    const std::uint64_t from_a = w + kOnes * (0x80 - 'A');
    const std::uint64_t past_z = w + kOnes * (0x80 - 'Z' - 1);
    const std::uint64_t upper = (from_a & ~past_z) & kOnes * 0x80;
    return w | upper >> 2;
}

void lower_into(std::string_view text, std::string& out) {
    const char* p = text.data();
    const std::size_t n = text.size();
    out.resize(n);
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        w = lower_ascii8(w);
        std::memcpy(o + i, &w, 8);
    }
    // The last few bytes of an ASCII text of eight or more: the eight that
    // end it, some of them lowered again (to themselves).
    if (i < n && i + 8 > n && n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p + n - 8, 8);
        if ((w & 0x8080808080808080ull) == 0) {
            w = lower_ascii8(w);
            std::memcpy(o + n - 8, &w, 8);
            return;
        }
    }
    for (; i < n; ++i) {
        const char ch = p[i];
        if (static_cast<unsigned char>(ch) >= 0x80) {
            out.clear();
            lower_unicode(text, out);
            return;
        }
        o[i] = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch;
    }
}

}  // namespace quarzel
