// The byte scans behind the CIF writer's choices: what each byte is, the
// code points of a text, the lines of a multi-line value, and the tests
// for quoting and keywords. Inline: they run on every value.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quarzel {
namespace {

// What a byte is, for choosing a value's form: bits OR-ed over a value in
// one pass.
enum : std::uint16_t {
    kWs = 1,        // space, tab
    kLf = 2,        // line feed
    kCr = 4,        // carriage return
    kCtrl = 8,      // other control characters and DEL
    kHigh = 16,     // a byte of a character outside ASCII
    kHash = 32,     // # (a comment at the start of a word only)
    kBracket = 64,  // [ ] { }
    kSq = 128,      // '
    kDq = 256,      // "
    kSemi = 512,    // ;
};

constexpr std::array<std::uint16_t, 256> make_classes() {
    std::array<std::uint16_t, 256> t{};
    for (int c = 0; c < 32; ++c) t[c] = kCtrl;
    t[0x7f] = kCtrl;
    for (int c = 0x80; c < 256; ++c) t[c] = kHigh;
    t[' '] = kWs;
    t['\t'] = kWs;
    t['\n'] = kLf;
    t['\r'] = kCr;
    t['#'] = kHash;
    t['['] = t[']'] = t['{'] = t['}'] = kBracket;
    t['\''] = kSq;
    t['"'] = kDq;
    t[';'] = kSemi;
    return t;
}
constexpr auto kClasses = make_classes();

// First characters that make a bare word something other than a plain value:
// a tag, a comment, a quoted string, a text field, a character CIF 1.1
// refuses there, a list or table of CIF 2.0.
constexpr std::array<bool, 256> make_bad_first() {
    std::array<bool, 256> t{};
    for (unsigned char c : std::string_view("_#$'\";[]{}")) t[c] = true;
    return t;
}
constexpr auto kBadFirst = make_bad_first();

struct Scan {
    std::uint16_t mask = 0;
    std::size_t cp = 0;  // code points
};

inline Scan scan(std::string_view text) noexcept {
    std::uint16_t mask = 0;
    for (unsigned char b : text) mask |= kClasses[b];
    std::size_t cp = text.size();
    if (mask & kHigh)
        for (unsigned char b : text) cp -= (b & 0xC0) == 0x80;
    return {mask, cp};
}

inline std::size_t code_points(std::string_view text) noexcept {
    std::size_t cp = 0;
    for (unsigned char b : text) cp += (b & 0xC0) != 0x80;
    return cp;
}

// Bytes of the first `n` code points of `text`.
inline std::size_t prefix_bytes(std::string_view text, std::size_t n) noexcept {
    std::size_t i = 0;
    for (std::size_t k = 0; k < n && i < text.size(); ++k) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

// A word the lexer takes for a keyword (any case): data_..., save_...,
// loop_, stop_, global_.
inline bool reserved_word(std::string_view w) noexcept {
    const std::size_t n = w.size();
    if (n < 5) return false;
    char l[7];
    for (std::size_t i = 0; i < 7 && i < n; ++i) {
        const char c = w[i];
        l[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    if (l[4] == '_') {
        if (std::memcmp(l, "data", 4) == 0 || std::memcmp(l, "save", 4) == 0) return true;
        if (n == 5 && (std::memcmp(l, "loop", 4) == 0 || std::memcmp(l, "stop", 4) == 0))
            return true;
    }
    return n == 7 && std::memcmp(l, "global_", 7) == 0;
}

// CIF 1.1: a quote followed by white space closes a quoted string, so only
// a value without that pair can be quoted with it.
inline bool cif1_quote_ok(std::string_view text, char q) noexcept {
    // The opening quote and two more would open a triple-quoted string.
    if (!text.empty() && text[0] == q && (text.size() == 1 || text[1] == q)) return false;
    for (std::size_t i = text.find(q); i != std::string_view::npos; i = text.find(q, i + 1)) {
        if (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) return false;
    }
    return true;
}

// CIF 2.0 triple quotes: the first run of three quotes closes the string,
// so the value may hold no such run and may not end with the quote.
inline bool triple_ok(std::string_view text, char q) noexcept {
    const char run[3] = {q, q, q};
    return text.find(std::string_view(run, 3)) == std::string_view::npos &&
           (text.empty() || text.back() != q);
}

struct Lines {
    std::size_t first_cp = 0, last_cp = 0, max_cp = 0;
    bool semi_line = false;  // a line after the first starts with ';'
};

inline Lines line_stats(std::string_view t) noexcept {
    Lines r;
    std::size_t cur = 0;
    bool first = true;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const auto b = static_cast<unsigned char>(t[i]);
        if (b == '\n') {
            if (first) r.first_cp = cur;
            first = false;
            r.max_cp = std::max(r.max_cp, cur);
            cur = 0;
            if (i + 1 < t.size() && t[i + 1] == ';') r.semi_line = true;
        } else if ((b & 0xC0) != 0x80) {
            ++cur;
        }
    }
    if (first) r.first_cp = cur;
    r.last_cp = cur;
    r.max_cp = std::max(r.max_cp, cur);
    return r;
}

// A text field whose first line holds a backslash followed (after one or
// two of them) by nothing but blanks would be read as using the prefix or
// folding protocol.
inline bool first_line_signals_protocol(std::string_view text) noexcept {
    const std::string_view first = text.substr(0, text.find('\n'));
    std::size_t j = first.find('\\');
    if (j == std::string_view::npos) return false;
    ++j;
    if (j < first.size() && first[j] == '\\') ++j;
    for (; j < first.size(); ++j)
        if (first[j] != ' ' && first[j] != '\t') return false;
    return true;
}

// A line the folding protocol would take for a continuation line.
inline bool ends_with_backslash(std::string_view line) noexcept {
    std::size_t n = line.size();
    while (n != 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
    return n != 0 && line[n - 1] == '\\';
}

// The byte index of the first character that no version of CIF permits,
// or npos: a control character other than tab, line feed and carriage
// return (which has a message of its own), DEL, the C1 controls
// U+0080-U+009F, the noncharacters U+FDD0-U+FDEF and U+xFFFE/U+xFFFF.
// `mask` is the text's scan: most texts need no second look.
inline std::size_t forbidden_char(std::string_view t, std::uint16_t mask) noexcept {
    if (!(mask & (kCtrl | kHigh))) return std::string_view::npos;
    const auto* p = reinterpret_cast<const unsigned char*>(t.data());
    const std::size_t n = t.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = p[i];
        if (kClasses[b] & kCtrl) return i;
        if (b == 0xC2) {
            if (i + 1 < n && p[i + 1] >= 0x80 && p[i + 1] <= 0x9F) return i;
        } else if (b == 0xEF) {
            if (i + 2 < n &&
                ((p[i + 1] == 0xB7 && p[i + 2] >= 0x90 && p[i + 2] <= 0xAF) ||
                 (p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF))))
                return i;
        } else if (b >= 0xF0) {
            if (i + 3 < n && (p[i + 1] & 0x0F) == 0x0F && p[i + 2] == 0xBF &&
                (p[i + 3] == 0xBE || p[i + 3] == 0xBF))
                return i;
        }
    }
    return std::string_view::npos;
}

inline char32_t decode_at(std::string_view t, std::size_t i) noexcept {
    const auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) return b;
    int len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    char32_t c = b & (0x3F >> (len - 1));
    for (int k = 1; k < len && i + k < t.size(); ++k)
        c = (c << 6) | (static_cast<unsigned char>(t[i + k]) & 0x3F);
    return c;
}

constexpr const char* kCrMessage =
    "a carriage return cannot be written (readers take it for a line end)";

}  // namespace
}  // namespace quarzel
