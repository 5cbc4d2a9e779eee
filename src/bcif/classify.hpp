// Deciding how a column of CIF value texts is stored in BinaryCIF: as
// integers, as FixedPoint numbers with some decimals, as doubles, or as
// strings. Without a declared type a column is numeric only when every
// value is reproduced exactly by the numeric form (so "1.00" stays "1.00",
// "012" and "1.5(3)" stay text); a declared type (from a dictionary)
// accepts any plain number, its formatting not kept.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quarzel::bcif {

// What a dictionary says a column is; Auto when nothing does.
enum class Declared : std::uint8_t { Auto, Integer, Real, Text };

enum class Stored : std::uint8_t { Integers, Fixed, Doubles, Strings };

struct Classified {
    Stored stored = Stored::Strings;
    int decimals = 0;                // Fixed: value = ints[i] / 10^decimals
    std::vector<std::int32_t> ints;  // Integers, Fixed (0 under the mask)
    std::vector<double> doubles;     // Doubles (0 under the mask)
    std::vector<std::uint8_t> mask;  // 0 value, 1 ".", 2 "?"; empty when none
};

// The mask value of a text: 1 for ".", 2 for "?", else 0.
inline std::uint8_t mask_of(std::string_view text) noexcept {
    if (text.size() != 1) return 0;
    return text[0] == '.' ? 1 : text[0] == '?' ? 2 : 0;
}

// Classifies `values` (and computes the numbers when numeric).
Classified classify(std::span<const std::string_view> values, Declared declared);

}  // namespace quarzel::bcif
