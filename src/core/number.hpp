// Numbers with standard uncertainties: "5.6402(3)", "-4.5e-3(2)", "12(3)".
// One value's bytes become a status, the value and its uncertainty.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarzel {

enum class NumberStatus : std::uint8_t {
    number = 0,        // a number, with or without uncertainty
    unknown = 1,       // "?"
    inapplicable = 2,  // "."
    text = 3,          // anything else (also a number beyond the float64 range)
};

// The result for one value.
//
// Grammar: [+-] mantissa [(e|E) [+-] digits] ["(" digits ")"], where the
// mantissa is digits with at most one decimal point and at least one digit
// ("5", "5.", ".5", "5.25"). Nothing else may surround it.
//
// `value` is the correctly rounded double of the mantissa and exponent (what
// Python's float() gives for that text); `su` the correctly rounded double of
// the uncertainty digits scaled by 10^(exponent - decimals of the mantissa),
// so "5.6402(3)" has su 3e-4 and "-4.5e-3(2)" su 2e-4. A value (or su) that
// overflows the double range makes the whole text `text`; one that
// underflows is 0.
//
// `is_integer`: the mantissa has no decimal point and there is no exponent.
// Then `int_exact` says whether the value and su also fit int64, in
// `int_value` and `int_su`.
struct NumberResult {
    NumberStatus status = NumberStatus::text;
    bool is_integer = false;
    bool int_exact = false;
    bool has_su = false;
    double value = 0.0;
    double su = 0.0;
    std::int64_t int_value = 0;
    std::int64_t int_su = 0;
};

NumberResult parse_number(std::string_view text) noexcept;

// Where the parts of a well-formed number lie in its text; the scan that
// parse_number starts with. False when the text is not a number.
struct NumberParts {
    std::string_view mantissa_and_exponent;  // without a leading '+'
    std::string_view mantissa;               // same start, without the exponent
    std::string_view su_digits;              // empty when there is no "(...)"
    std::int64_t exponent = 0;               // saturated at +-kExponentLimit
    std::int64_t decimals = 0;               // digits after the decimal point
    bool has_point = false;
    bool has_exponent = false;
};
inline constexpr std::int64_t kExponentLimit = 1'000'000'000;
bool scan_number(std::string_view text, NumberParts& parts) noexcept;

}  // namespace quarzel
