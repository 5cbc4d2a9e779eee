// Shared helpers of the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quarzel::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    // The detail may hold NUL bytes: written whole.
    std::fprintf(stderr, "fuzz check failed: %s ", what);
    std::fwrite(detail.data(), 1, detail.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

// Text from Python or from a checked file is always valid UTF-8; the lexer
// must survive anything, but positions are only meaningful for valid text.
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        char32_t c = len == 1 ? b : b & (0x7F >> len);
        for (int k = 1; k < len; ++k) {
            auto cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) return false;
            c = (c << 6) | (cb & 0x3F);
        }
        if ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && c < 0x10000) ||
            c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// The first byte chooses options; the rest is the text.
struct Input {
    std::uint8_t flags = 0;
    std::string_view text;
};

inline Input split(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    return {data[0], std::string_view(reinterpret_cast<const char*>(data + 1), size - 1)};
}

}  // namespace quarzel::fuzz
