#include "core/number.hpp"
#include "core/number_inline.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace quarzel {
namespace {

bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

std::size_t skip_digits(std::string_view text, std::size_t i) noexcept {
    while (i < text.size() && is_digit(text[i])) ++i;
    return i;
}

// Decimal position of the first significant digit of a mantissa ("123.4" ->
// 3, "0.05" -> -1, "0" -> a very small number), to tell an overflow from an
// underflow when the conversion reports a result out of range.
std::int64_t magnitude(std::string_view mantissa) noexcept {
    std::size_t i = (!mantissa.empty() && mantissa[0] == '-') ? 1 : 0;
    std::int64_t position = 0;  // digits seen before the point, minus leading zeros
    bool before_point = true;
    for (; i < mantissa.size(); ++i) {
        const char c = mantissa[i];
        if (c == '.') {
            before_point = false;
        } else if (c != '0') {
            if (before_point) {
                // Count the remaining integer digits, this one included.
                std::size_t j = i;
                while (j < mantissa.size() && mantissa[j] != '.') ++j;
                return static_cast<std::int64_t>(j - i);
            }
            return position;
        } else if (!before_point) {
            --position;
        }
    }
    return -kExponentLimit * 4;
}

enum class Convert { ok, overflow };

// The correctly rounded double of `text` (digits, optional point and
// exponent, optional leading '-'): overflow is reported, underflow gives 0.
Convert to_double(std::string_view text, std::string_view mantissa, std::int64_t exponent,
                  double& out) noexcept {
    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc::result_out_of_range) {
        if (magnitude(mantissa) + exponent > 0) return Convert::overflow;
        out = (!mantissa.empty() && mantissa[0] == '-') ? -0.0 : 0.0;
        return Convert::ok;
    }
    if (ec != std::errc() || ptr != text.data() + text.size() || std::isinf(v)) {
        return Convert::overflow;
    }
    out = v;
    return Convert::ok;
}

bool to_int64(std::string_view digits, std::int64_t& out) noexcept {
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    return ec == std::errc() && ptr == digits.data() + digits.size();
}

}  // namespace

bool scan_number(std::string_view text, NumberParts& parts) noexcept {
    const std::size_t n = text.size();
    std::size_t i = 0;
    std::size_t start = 0;
    if (n == 0) return false;
    if (text[0] == '+') {
        start = i = 1;
    } else if (text[0] == '-') {
        i = 1;
    }
    const std::size_t int_begin = i;
    i = skip_digits(text, i);
    std::size_t digits = i - int_begin;
    parts.has_point = false;
    parts.decimals = 0;
    if (i < n && text[i] == '.') {
        parts.has_point = true;
        const std::size_t frac_begin = ++i;
        i = skip_digits(text, i);
        parts.decimals = static_cast<std::int64_t>(i - frac_begin);
        digits += i - frac_begin;
    }
    if (digits == 0) return false;
    parts.mantissa = text.substr(start, i - start);
    parts.has_exponent = false;
    parts.exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        parts.has_exponent = true;
        ++i;
        bool negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        const std::size_t exp_begin = i;
        std::int64_t e = 0;
        for (; i < n && is_digit(text[i]); ++i) {
            if (e < kExponentLimit) e = e * 10 + (text[i] - '0');
        }
        if (i == exp_begin) return false;
        if (e > kExponentLimit) e = kExponentLimit;
        parts.exponent = negative ? -e : e;
    }
    parts.mantissa_and_exponent = text.substr(start, i - start);
    parts.su_digits = {};
    if (i < n && text[i] == '(') {
        const std::size_t su_begin = ++i;
        i = skip_digits(text, i);
        if (i == su_begin || i >= n || text[i] != ')') return false;
        parts.su_digits = text.substr(su_begin, i - su_begin);
        ++i;
    }
    return i == n;
}

namespace {

// Exact powers of ten: every one up to 1e22 is a double without rounding.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;

// digits * 10^scale when both factors are exact doubles (digits <= 2^53,
// |scale| <= 22): then one multiplication or division, rounded once, is the
// correctly rounded result. False when the short route does not apply.
inline bool exact_decimal(std::uint64_t digits, std::int64_t scale, double& out) noexcept {
    if (digits > kExactMantissa || scale < -22 || scale > 22) return false;
    const double m = static_cast<double>(digits);
    out = scale < 0 ? m / kPow10[-scale] : m * kPow10[scale];
    return true;
}

// The common case in one pass: at most 19 significant digits in the
// mantissa and in the su, an exponent of at most four digits, and a result
// that exact_decimal can give. False (r untouched) when anything else is
// met; parse_number then takes the general route.
inline bool parse_short(std::string_view text, NumberResult& r) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::uint64_t m = 0;
    int digits = 0;      // digits taken into m (leading zeros excluded)
    int any_digits = 0;  // digits seen at all
    std::int64_t decimals = 0;
    for (; p != end && is_digit(*p); ++p, ++any_digits) {
        if (m == 0 && *p == '0') continue;
        m = m * 10 + static_cast<unsigned>(*p - '0');
        ++digits;
    }
    bool point = false;
    if (p != end && *p == '.') {
        point = true;
        for (++p; p != end && is_digit(*p); ++p, ++any_digits, ++decimals) {
            if (m == 0 && *p == '0') continue;
            m = m * 10 + static_cast<unsigned>(*p - '0');
            ++digits;
        }
    }
    if (any_digits == 0 || digits > 19) return false;
    std::int64_t exponent = 0;
    bool has_exponent = false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        has_exponent = true;
        ++p;
        bool exp_negative = false;
        if (p != end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
        const char* const exp_begin = p;
        for (; p != end && is_digit(*p); ++p) exponent = exponent * 10 + (*p - '0');
        if (p == exp_begin || p - exp_begin > 4) return false;
        if (exp_negative) exponent = -exponent;
    }
    std::uint64_t su = 0;
    bool has_su = false;
    if (p != end && *p == '(') {
        const char* const su_begin = ++p;
        for (; p != end && is_digit(*p); ++p) su = su * 10 + static_cast<unsigned>(*p - '0');
        if (p == su_begin || p - su_begin > 19 || p == end || *p != ')') return false;
        ++p;
        has_su = true;
    }
    if (p != end) return false;
    double value = 0.0, su_value = 0.0;
    if (!exact_decimal(m, exponent - decimals, value)) return false;
    if (has_su && !exact_decimal(su, exponent - decimals, su_value)) return false;
    r.status = NumberStatus::number;
    r.value = negative ? -value : value;
    r.has_su = has_su;
    r.su = su_value;
    r.is_integer = !point && !has_exponent;
    if (r.is_integer) {
        // m <= 2^53 and su < 10^19: both fit int64.
        r.int_exact = su <= static_cast<std::uint64_t>(INT64_MAX);
        r.int_value = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
        r.int_su = r.int_exact ? static_cast<std::int64_t>(su) : 0;
    }
    return true;
}

}  // namespace

NumberResult parse_number(std::string_view text) noexcept {
    NumberResult r;
    if (parse_plain_decimal(text.data(), text.size(), r)) return r;
    if (parse_short(text, r)) return r;
    if (text.size() == 1) {
        if (text[0] == '?') {
            r.status = NumberStatus::unknown;
            return r;
        }
        if (text[0] == '.') {
            r.status = NumberStatus::inapplicable;
            return r;
        }
    }
    NumberParts p;
    if (!scan_number(text, p)) return r;
    if (to_double(p.mantissa_and_exponent, p.mantissa, p.exponent, r.value) != Convert::ok) {
        return r;
    }
    r.is_integer = !p.has_point && !p.has_exponent;
    if (r.is_integer) r.int_exact = to_int64(p.mantissa, r.int_value);

    if (!p.su_digits.empty()) {
        r.has_su = true;
        std::string_view su = p.su_digits;
        while (su.size() > 1 && su[0] == '0') su.remove_prefix(1);
        if (r.is_integer) {
            if (to_double(su, su, 0, r.su) != Convert::ok) return NumberResult{};
            std::int64_t int_su = 0;
            if (r.int_exact && to_int64(su, int_su)) {
                r.int_su = int_su;
            } else {
                r.int_exact = false;
            }
        } else {
            // The uncertainty as one decimal text, "<digits>e<scale>", parsed once.
            // |exponent| <= kExponentLimit and decimals <= text size: no wrap-around.
            const std::int64_t scale = p.exponent - p.decimals;
            char small[128];
            std::string large;
            char* buffer = small;
            const std::size_t need = su.size() + 24;
            if (need > sizeof small) {
                try {
                    large.resize(need);
                } catch (...) {
                    return NumberResult{};
                }
                buffer = large.data();
            }
            su.copy(buffer, su.size());
            char* end = buffer + su.size();
            *end++ = 'e';
            end = std::to_chars(end, buffer + need, scale).ptr;
            const std::string_view composed(buffer, static_cast<std::size_t>(end - buffer));
            if (to_double(composed, su, scale, r.su) != Convert::ok) return NumberResult{};
        }
    }
    r.status = NumberStatus::number;
    return r;
}

}  // namespace quarzel
