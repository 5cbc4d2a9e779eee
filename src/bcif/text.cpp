#include "bcif/text.hpp"

#include <cmath>
#include <cstring>

namespace quarzel::bcif {

std::size_t format_int(std::int64_t v, char* out) noexcept {
    return static_cast<std::size_t>(std::to_chars(out, out + kNumberText, v).ptr - out);
}

std::size_t format_fixed(std::int64_t scaled, int decimals, char* out) noexcept {
    if (decimals <= 0) return format_int(scaled, out);
    char* p = out;
    std::uint64_t mag =
        scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    if (scaled < 0) *p++ = '-';
    // The digits, at least decimals + 1 of them (leading zeros).
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    while (n < decimals + 1) digits[n++] = '0';
    for (int k = n - 1; k >= decimals; --k) *p++ = digits[k];
    *p++ = '.';
    for (int k = decimals - 1; k >= 0; --k) *p++ = digits[k];
    return static_cast<std::size_t>(p - out);
}

std::size_t format_float(double v, bool single, char* out) noexcept {
    if (std::isnan(v)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    const std::to_chars_result r =
        single ? std::to_chars(out, out + kNumberText, static_cast<float>(v))
               : std::to_chars(out, out + kNumberText, v);
    return static_cast<std::size_t>(r.ptr - out);
}

}  // namespace quarzel::bcif
