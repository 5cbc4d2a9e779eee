// Small UTF-8 helpers used across the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarzel::utf8 {

// True for bytes that start a code point (everything but 10xxxxxx).
constexpr bool is_lead(unsigned char b) noexcept {
    return (b & 0xC0) != 0x80;
}

// Decodes the code point at `pos` and advances `pos` past it. An invalid or
// truncated sequence yields its first byte as a code point and advances one.
char32_t decode(std::string_view s, std::size_t& pos) noexcept;

void append(std::string& out, char32_t c);

// The Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Number of code points in `s`.
std::size_t count(std::string_view s) noexcept;

}  // namespace quarzel::utf8
