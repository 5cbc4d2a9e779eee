// The text a number gives back, and whether a value's own text is that
// text: a typed run of the archive engine keeps beside its numbers only the
// text they cannot give back.
//
// A number gives back the shortest plain decimal that reads as it: a minus
// and no other sign, no leading zeros, no exponent, no point without digits
// after it and no zeros ending the digits after it ("-3.125", "104.5",
// "12", "0.00001"); an su follows in parentheses, in units of the value's
// last digit ("0.3651(4)", "12(3)"). An int64 and a double of the same
// integer give the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/number_inline.hpp"

namespace quarzel {

// Whether the plain decimal in the low n bytes of x (1 to 8, the other
// bytes zero), taken apart into d, is the text its value gives back.
inline bool plain_text_given_back(std::uint64_t x, std::size_t n,
                                  const number_detail::PlainDecimal& d) noexcept {
    const unsigned first = static_cast<unsigned>(x & 0xFF);
    if (first == '+') return false;
    const bool minus = first == '-';
    const std::uint64_t rest = x >> (8 * static_cast<unsigned>(minus));
    const std::size_t length = n - minus;
    const unsigned lead = static_cast<unsigned>(rest & 0xFF);
    const unsigned second = static_cast<unsigned>((rest >> 8) & 0xFF);
    if (d.point) {
        const unsigned last = static_cast<unsigned>((x >> (8 * (n - 1))) & 0xFF);
        // ".5", "5.", "1.50" and "01.5" are not; "0.5" is.
        return lead != '.' && last != '0' && last != '.' && (lead != '0' || second == '.');
    }
    // "05" and "-0" are not.
    return (lead != '0' || length == 1) && !(minus && d.digits == 0);
}

// Whether the n digits of an su ("4" of "(4)") are the text its value
// gives back: no leading zero, unless it is "0" itself.
inline bool su_text_given_back(const char* digits, std::size_t n) noexcept {
    return n == 1 || digits[0] != '0';
}

// Appends the text a number gives back: `value` an int64 or a double (as
// `doubles` says), `su` the same or null when the number has none.
void put_number_text(std::string& out, bool doubles, const void* value, const void* su);

}  // namespace quarzel
