// Short texts moved as overlapping words: a text of 4 to 16 bytes is fully
// given by its first and last 8 (or 4) bytes, which may overlap. Touches no
// byte outside the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quarzel {

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint32_t load32(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// memcpy of `text` to `dst`, inline for the short texts that make up most
// values.
inline void copy_short(unsigned char* dst, std::string_view text) noexcept {
    const char* src = text.data();
    const std::size_t n = text.size();
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(dst, src, n);
            return;
        }
        const std::uint64_t head = load64(src), tail = load64(src + n - 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + n - 8, &tail, 8);
    } else if (n >= 4) {
        const std::uint32_t head = load32(src), tail = load32(src + n - 4);
        std::memcpy(dst, &head, 4);
        std::memcpy(dst + n - 4, &tail, 4);
    } else if (n > 0) {
        dst[0] = static_cast<unsigned char>(src[0]);
        dst[n / 2] = static_cast<unsigned char>(src[n / 2]);
        dst[n - 1] = static_cast<unsigned char>(src[n - 1]);
    }
}

}  // namespace quarzel
