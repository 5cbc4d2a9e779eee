// Byte-level ASCII helpers shared by the lexer, the parser and the
// conversions: lower-casing one byte, the case-insensitive keyword-prefix
// test, and whether a text is all ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quarzel::ascii {

constexpr char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// `s` (at least `lower_text.size()` bytes) begins with `lower_text` (already
// lower case), ignoring ASCII case.
inline bool starts_with_lower(const char* s, std::string_view lower_text) noexcept {
    for (std::size_t i = 0; i < lower_text.size(); ++i)
        if (lower(s[i]) != lower_text[i]) return false;
    return true;
}

// `word` begins with `lower_text`, ignoring ASCII case.
inline bool starts_with_lower(std::string_view word, std::string_view lower_text) noexcept {
    return word.size() >= lower_text.size() && starts_with_lower(word.data(), lower_text);
}

// Every byte of the `n` at `p` is below 0x80; eight at a time.
inline bool is_ascii(const char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    std::uint64_t acc = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    return (acc & 0x8080808080808080ull) == 0;
}

inline bool is_ascii(std::string_view s) noexcept {
    return is_ascii(s.data(), s.size());
}

}  // namespace quarzel::ascii
