// The short route of parse_number, inline for loops over whole columns:
// plain decimals of at most eight bytes ("-90.237", "1.00", "12"), the bulk
// of real tables, read eight bytes at a time without branching per byte.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/number.hpp"

namespace quarzel {
namespace number_detail {

constexpr double kPlainPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

// ---- eight bytes at a time: plain decimals such as "-90.237" or "1.00" ----

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

// 1 to 8 bytes as a little-endian word (first byte lowest), the unused high
// bytes zero; reads only the n bytes given.
inline std::uint64_t load_up_to_8(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        // The two halves overlap when n < 8: the shared bytes are equal.
        return lo | (static_cast<std::uint64_t>(hi) << (8 * (n - 4)));
    }
    const auto b = [p](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
    };
    return b(0) | (b(n >> 1) << (8 * (n >> 1))) | (b(n - 1) << (8 * (n - 1)));
}

// 0x80 in each byte of x that is zero, exactly.
inline std::uint64_t zero_bytes(std::uint64_t x) noexcept {
    const std::uint64_t low7 = ~kHigh;
    return ~(((x & low7) + low7) | x) & kHigh;
}

// Eight ASCII digits, first digit in the lowest byte, as their value.
inline std::uint64_t eight_digits(std::uint64_t x) noexcept {
    x = (x & 0x0F0F0F0F0F0F0F0FULL) * 2561 >> 8;
    x = (x & 0x00FF00FF00FF00FFULL) * 6553601 >> 16;
    return (x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL >> 32;
}

// A plain decimal taken apart: its digits as an integer (at most eight of
// them), how many follow the point, its sign, and whether it has a point
// ("1." has one and no decimals).
struct PlainDecimal {
    std::uint64_t digits;
    unsigned decimals;
    bool negative;
    bool point;

    std::int64_t int_value() const noexcept {
        const auto m = static_cast<std::int64_t>(digits);
        return negative ? -m : m;
    }
    // Correctly rounded: both operands are exact doubles, one rounding.
    double value() const noexcept {
        const double v =
            static_cast<double>(static_cast<std::int64_t>(digits)) / kPlainPow10[decimals];
        return negative ? -v : v;
    }
    // An su written with the decimal's digits ("(4)" of "0.36512(4)"),
    // scaled like its value: correctly rounded, as parse_number has it.
    double su_value(std::uint64_t su_digits) const noexcept {
        return static_cast<double>(su_digits) / kPlainPow10[decimals];
    }
};

// The decimal in the low n bytes of x (the other bytes zero).
inline bool plain_parts(std::uint64_t x, std::size_t n, PlainDecimal& out) noexcept {
    const unsigned first = static_cast<unsigned>(x & 0xFF);
    const bool has_sign = (first == '-') | (first == '+');
    out.negative = first == '-';
    x >>= 8 * static_cast<unsigned>(has_sign);
    n -= has_sign;
    if (n == 0) return false;  // a bare sign
    const std::uint64_t lanes = kHigh & (~std::uint64_t{0} >> (64 - 8 * n));
    // Digits become 0 to 9, and adding 0x76 sets the high bit of any other
    // byte below 0x80; a byte from 0x80 on has it set already (its carry
    // may touch the byte above, which changes nothing: the text is no
    // plain decimal either way).
    const std::uint64_t digit = x ^ ('0' * kOnes);
    const std::uint64_t not_digit = ((digit + 0x76 * kOnes) | digit) & lanes;
    const std::uint64_t dot = zero_bytes(x ^ ('.' * kOnes)) & lanes;
    if (not_digit != dot || (dot & (dot - 1)) != 0) return false;  // other bytes, or two points
    // Close the gap of the point: the bytes above it move down by one (the
    // point itself falls among the bytes below it, which are kept as they are).
    const std::uint64_t below = (dot >> 7) - 1;  // the bytes before it (all when there is none)
    x = (x & below) | ((x >> 8) & ~below);
    const std::size_t digits = n - (dot != 0);
    if (digits == 0) return false;
    out.point = dot != 0;
    out.decimals =
        dot != 0
            ? static_cast<unsigned>(n - 1 - static_cast<std::size_t>(std::countr_zero(dot) >> 3))
            : 0;
    // The digits in the high bytes, zeros below them: leading zeros to
    // eight_digits, which reads only the low four bits of each byte.
    out.digits = eight_digits(x << (8 * (8 - digits)));
    return true;
}

// The layouts of the plain decimals a column loop has read, one for each
// length without the sign (where the point is), to read the next one of a
// known layout with one test: the values of a column mostly share one for
// each length ("0.36512", "0.00586"; "-3.125", "12.250", "104.500").
// take() gives what plain_parts would give.
class PlainShape {
public:
    // The parts of the decimal in the low n bytes of x (1 to 8, the other
    // bytes zero): read at once when it has the layout last learnt for its
    // length, otherwise by plain_parts, learning its layout.
    bool take(std::uint64_t x, std::size_t n, PlainDecimal& out) noexcept {
        const unsigned first = static_cast<unsigned>(x & 0xFF);
        const bool has_sign = (first == '-') | (first == '+');
        const std::uint64_t rest = x >> (8 * static_cast<unsigned>(has_sign));
        const std::size_t length = n - has_sign;
        const Layout& l = layouts_[length];
        // Digits become 0 to 9 and the point 0; any other byte has the
        // high bit of itself or of its sum with `add` set (see plain_parts).
        const std::uint64_t t = rest ^ l.expect;
        if ((((t + l.add) | t) & kHigh) == 0) [[likely]] {
            out.negative = first == '-';
            out.point = l.point;
            out.decimals = l.decimals;
            out.digits = eight_digits(((t & l.below) | ((t >> 8) & ~l.below)) << l.shift);
            return true;
        }
        if (!plain_parts(x, n, out)) return false;
        learn(length, out);
        return true;
    }

private:
    // A layout none matches has 0x80 in every byte of `add`: each byte of
    // the sum, or the byte itself, has its high bit set.
    struct Layout {
        std::uint64_t expect = 0, add = kHigh, below = 0;
        unsigned shift = 0, decimals = 0;
        bool point = false;
    };

    void learn(std::size_t n, const PlainDecimal& d) noexcept {
        Layout& l = layouts_[n];
        const std::uint64_t bytes = ~std::uint64_t{0} >> (64 - 8 * n);
        // The bytes past the decimal are zero in x: they add nothing.
        l.expect = '0' * kOnes & bytes;
        l.add = 0x76 * kOnes & bytes;
        l.below = ~std::uint64_t{0};
        if (d.point) {
            const unsigned at = 8 * static_cast<unsigned>(n - 1 - d.decimals);
            l.expect ^= std::uint64_t{'0' ^ '.'} << at;
            l.add ^= std::uint64_t{0x76 ^ 0x7F} << at;  // any byte but the point sets the high bit
            l.below = (std::uint64_t{1} << at) - 1;
        }
        l.shift = 8 * static_cast<unsigned>(8 - (n - d.point));
        l.point = d.point;
        l.decimals = d.decimals;
    }

    // By length without the sign; length 0 (a bare sign) never learns one.
    Layout layouts_[9];
};

// The decimal in the low n bytes of x (the other bytes zero).
inline bool plain_from_word(std::uint64_t x, std::size_t n, NumberResult& r) noexcept {
    PlainDecimal d;
    if (!plain_parts(x, n, d)) return false;
    r.status = NumberStatus::number;
    r.value = d.value();
    r.has_su = false;
    r.is_integer = !d.point;
    r.int_exact = !d.point;
    r.int_value = d.int_value();
    return true;
}

// The n bytes (1 to 8) at p as a little-endian word, the others zero, for
// a text followed by at least 8 - n readable bytes.
inline std::uint64_t load_padded(const char* p, std::size_t n) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x & (~std::uint64_t{0} >> (64 - 8 * n));
}

inline bool parse_plain_decimal(const char* p, std::size_t n, NumberResult& r) noexcept {
    if (n == 0 || n > 8) return false;
    return plain_from_word(load_up_to_8(p, n), n, r);
}

// The same for a text followed by at least 8 - n readable bytes.
inline bool parse_plain_decimal_padded(const char* p, std::size_t n, NumberResult& r) noexcept {
    if (n == 0 || n > 8) return false;
    return plain_from_word(load_padded(p, n), n, r);
}

// "<plain decimal of at most eight bytes>(<one to eight digits>)", the
// measured values of small-molecule tables ("0.36512(4)", "-12.5(11)"),
// as parse_number reads them: the su scaled like the value, one rounding.
inline bool parse_plain_with_su(const char* p, std::size_t n, NumberResult& r) noexcept {
    if (n < 4 || n > 19 || p[n - 1] != ')') return false;
    std::size_t open = n - 2;
    std::uint64_t su = 0, scale = 1;
    while (open > 0 && static_cast<unsigned char>(p[open] - '0') < 10) {
        su += scale * static_cast<unsigned>(p[open] - '0');
        scale *= 10;
        --open;
    }
    const std::size_t su_digits = n - 2 - open;
    if (p[open] != '(' || su_digits == 0 || su_digits > 8 || open == 0 || open > 8) return false;
    if (!parse_plain_decimal(p, open, r)) return false;
    std::size_t decimals = 0;
    for (std::size_t k = 0; k < open; ++k)
        if (p[k] == '.') decimals = open - 1 - k;
    r.has_su = true;
    r.su = static_cast<double>(su) / kPlainPow10[decimals];
    r.int_su = static_cast<std::int64_t>(su);
    return true;
}

}  // namespace number_detail

// True, with `r` filled, when `p[0..n)` is a plain decimal of at most eight
// bytes: optional sign, digits with at most one point. Such a mantissa has
// at most eight digits, so the quotient of two exact doubles, rounded once,
// is the correctly rounded value. False (r untouched) for anything else.
using number_detail::parse_plain_decimal;
// As parse_plain_decimal, reading p[0..8) whatever n is: for texts inside a
// buffer that goes on for at least eight bytes past their start.
using number_detail::parse_plain_decimal_padded;
// True, with `r` filled as parse_number fills it, for a plain decimal of at
// most eight bytes followed by an su of one to eight digits in parentheses.
using number_detail::parse_plain_with_su;
// The parts of a plain decimal of n bytes (1 to 8) held in the low bytes of
// a word, for callers that keep either its integer or its double.
using number_detail::load_padded;
using number_detail::plain_parts;
using number_detail::PlainDecimal;
// Reads plain decimals of one layout after another faster than plain_parts.
using number_detail::PlainShape;

}  // namespace quarzel
