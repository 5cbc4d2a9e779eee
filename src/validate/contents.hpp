// The forms a value may be required to take: DDLm `_type.contents` codes,
// DDL1 `numb`, and "anything" (DDL1 `char`, DDLm `Text`); checked one value
// (or one element of a list) at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "core/number.hpp"

namespace quarzel::validate {

enum class Contents : std::uint8_t {
    Any,     // Text, char: every value
    Number,  // DDL1 numb: any number
    Word,
    Code,
    Name,
    Tag,
    Filename,
    Uri,
    Date,
    DateTime,
    Version,
    Dimension,
    Range,
    Count,
    Index,
    Integer,
    Real,
    Imag,
    Complex,
    Binary,
    Hexadecimal,
    Octal,
    Symop,
    Implied,  // the form of the item a definition defines (its _type.contents)
};

// The DDLm code of a contents kind ("Real"), or "text"/"numb" for the two
// that are not DDLm's own.
std::string_view contents_name(Contents c) noexcept;
// The kind a DDLm code names (case ignored), or none.
std::optional<Contents> contents_from_name(std::string_view name) noexcept;

enum class Container : std::uint8_t { Single, Multiple, List, Array, Matrix, Table };
std::string_view container_name(Container c) noexcept;
std::optional<Container> container_from_name(std::string_view name) noexcept;

// The form of a value or of each element: any one of `alternatives`
// (`Text|Real`); a non-empty `sequence` gives the elements of a list their
// forms by position, cycling (`Real,Integer`).
struct TypeSpec {
    std::vector<Contents> alternatives;  // empty: anything
    std::vector<Contents> sequence;

    bool any() const noexcept { return alternatives.empty() && sequence.empty(); }
    // Of the value at `position` of a list (0 for a single value); `shape`,
    // when given, is the value's number_shape (worked out once by callers
    // that need it too).
    bool matches(std::string_view value, std::size_t position,
                 const struct NumberShape* shape = nullptr) const;
    bool numeric() const noexcept;
};

// Parses "Real", "Text|Real" or "Real,Integer" (DDLm `_type.contents`);
// none for a code it does not know.
std::optional<TypeSpec> parse_type_spec(std::string_view text);

// What the form checks need of a number: its grammar (the core's number
// scanner, su digits allowed: the su rule decides about them), without
// working out its value.
struct NumberShape {
    bool number = false;
    bool integer = false;  // no decimal point, no exponent
    bool zero = false;     // every mantissa digit a 0
    bool has_su = false;
};
NumberShape number_shape(std::string_view value) noexcept;

// number_shape(value).number, inline for the checker's column loops;
// `nonzero` tells whether a mantissa digit is not 0 (!shape.zero).
inline bool is_number(std::string_view value, bool& nonzero) noexcept {
    const char* p = value.data();
    const char* const end = p + value.size();
    const auto digits = [&] {
        const char* from = p;
        while (p != end && static_cast<unsigned char>(*p - '0') < 10) ++p;
        return p != from;
    };
    if (p != end && (*p == '+' || *p == '-')) ++p;
    // The mantissa: digits, a point, digits (either run may be empty, not
    // both); `nz` gathers its digits' bits. A run is read eight bytes at a
    // time while eight remain in the value.
    std::uint64_t nz = 0;
    const auto mantissa_digits = [&] {
        const char* from = p;
        if constexpr (std::endian::native == std::endian::little) {
            constexpr std::uint64_t kOnes = 0x0101010101010101ull;
            while (end - p >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                // Digits become their values 0 to 9; any other byte has its
                // top bit set in `other` (no byte carries into the next).
                const std::uint64_t t = w ^ (0x30 * kOnes);
                const std::uint64_t other =
                    (((t & (0x7F * kOnes)) + 0x76 * kOnes) | t) & (0x80 * kOnes);
                if (other == 0) {
                    nz |= t;
                    p += 8;
                    continue;
                }
                const int n = std::countr_zero(other) / 8;  // digits before it
                nz |= t & ((std::uint64_t{1} << (8 * n)) - 1);
                p += n;
                return static_cast<std::size_t>(p - from);
            }
        }
        for (unsigned d; p != end && (d = static_cast<unsigned char>(*p - '0')) < 10; ++p) nz |= d;
        return static_cast<std::size_t>(p - from);
    };
    std::size_t count = mantissa_digits();
    if (p != end && *p == '.') {
        ++p;
        count += mantissa_digits();
    }
    nonzero = nz != 0;
    if (count == 0) return false;
    if (p == end) return true;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (!digits()) return false;
        if (p == end) return true;
    }
    if (*p != '(') return false;
    ++p;
    if (!digits() || p == end || *p != ')') return false;
    return ++p == end;
}

// One value of one kind.
bool matches_contents(Contents c, std::string_view value);
bool matches_contents(Contents c, std::string_view value, const NumberShape& number);
bool is_numeric(Contents c) noexcept;

}  // namespace quarzel::validate
