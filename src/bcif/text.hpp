// Decoded values as CIF value texts: integers in decimal, FixedPoint values
// with the column's decimals, other numbers as the shortest text that reads
// back as the same number, "." and "?" from the mask.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bcif/decode.hpp"

namespace quarzel::bcif {

// Room for any one number's text.
inline constexpr std::size_t kNumberText = 48;

// Each writes into `out` (kNumberText bytes) and returns the length.
std::size_t format_int(std::int64_t v, char* out) noexcept;
// `scaled` / 10^decimals, exactly, with `decimals` digits after the point.
std::size_t format_fixed(std::int64_t scaled, int decimals, char* out) noexcept;
// The shortest text that reads back as `v` (as a float when `single`).
std::size_t format_float(double v, bool single, char* out) noexcept;

// Calls f(text) for every row of `c` in order. Number texts are views of a
// scratch buffer, valid during the call only; strings are views of the
// column's string data.
template <class F>
void for_each_text(const DecodedColumn& c, F&& f) {
    static constexpr std::string_view kMaskText[3] = {"", ".", "?"};
    char buf[kNumberText];
    const std::size_t n = c.size();
    if (c.is_string) {
        const Strings& s = c.strings;
        for (std::size_t i = 0; i < n; ++i) {
            if (c.masked(i)) {
                f(kMaskText[c.mask[i]]);
                continue;
            }
            const std::int32_t k = s.index[i];
            f(k < 0 ? std::string_view("?") : s.items[static_cast<std::size_t>(k)]);
        }
        return;
    }
    const Numbers& v = c.numbers;
    if (v.fixed()) {
        for (std::size_t i = 0; i < n; ++i) {
            if (c.masked(i))
                f(kMaskText[c.mask[i]]);
            else
                f(std::string_view(buf, format_fixed(v.ints[i], v.decimals, buf)));
        }
    } else if (v.floating()) {
        const bool single = v.type == DType::Float32;
        for (std::size_t i = 0; i < n; ++i) {
            if (c.masked(i))
                f(kMaskText[c.mask[i]]);
            else
                f(std::string_view(buf, format_float(v.floats[i], single, buf)));
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (c.masked(i))
                f(kMaskText[c.mask[i]]);
            else
                f(std::string_view(buf, format_int(v.ints[i], buf)));
        }
    }
}

}  // namespace quarzel::bcif
