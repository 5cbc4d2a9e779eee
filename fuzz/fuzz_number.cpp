// Numbers with uncertainties on any bytes. parse_number says "number"
// exactly when scan_number finds the parts of one and their conversions stay
// in range; the value is then from_chars of the mantissa with its exponent
// (0 when that underflows), the su from_chars of the su digits scaled by
// 10^(exponent - decimals), and the int64 fields those of from_chars on the
// digits. The eight-byte route agrees with this wherever it applies, read
// exactly or from a padded buffer.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>

#include "core/number.hpp"
#include "core/number_inline.hpp"
#include "fuzz_common.hpp"

using namespace quarzel;

namespace {

enum class Conv { ok, underflow, overflow };

// from_chars of all of `text`: an underflow is 0, an overflow or a result
// out of range upwards is reported.
Conv reference(std::string_view text, double& out) {
    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    fuzz::check(ptr == text.data() + text.size(), "the reference stops early", text);
    if (ec == std::errc::result_out_of_range) {
        // Both directions are reported alike; which one it is shows when
        // the value is parsed in a range that cannot underflow.
        out = 0.0;
        return Conv::underflow;
    }
    fuzz::check(ec == std::errc(), "the reference refuses scanned parts", text);
    if (std::isinf(v)) return Conv::overflow;
    out = v;
    return Conv::ok;
}

bool same_double(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool ref_int64(std::string_view digits, std::int64_t& out) {
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    return ec == std::errc() && ptr == digits.data() + digits.size();
}

bool same_result(const NumberResult& a, const NumberResult& b) {
    return a.status == b.status && a.is_integer == b.is_integer && a.int_exact == b.int_exact &&
           a.has_su == b.has_su && same_double(a.value, b.value) && same_double(a.su, b.su) &&
           a.int_value == b.int_value && a.int_su == b.int_su;
}

void check_against_parts(std::string_view text, const NumberResult& r) {
    NumberParts p;
    const bool scanned = scan_number(text, p);
    if (!scanned) {
        fuzz::check(r.status != NumberStatus::number, "a number the scan refuses", text);
        return;
    }
    fuzz::check(r.status == NumberStatus::number || r.status == NumberStatus::text,
                "a scanned number read as a placeholder", text);
    double value = 0.0;
    Conv cv = reference(p.mantissa_and_exponent, value);
    const bool negative = text[0] == '-';
    if (cv == Conv::underflow) {
        // Out of range: an underflow when a value this small is expected.
        std::int64_t first = 0;  // digits before the point, leading zeros off
        bool nonzero = false;
        for (char c : p.mantissa) {
            if (c == '.') break;
            if (c >= '1' && c <= '9') nonzero = true;
            if (nonzero) ++first;
        }
        if (first + p.exponent > 0) cv = Conv::overflow;
        value = negative ? -0.0 : 0.0;
    }
    double su = 0.0;
    Conv cs = Conv::ok;
    std::string su_text;
    if (!p.su_digits.empty()) {
        su_text = std::string(p.su_digits);
        if (p.has_point || p.has_exponent) su_text += "e" + std::to_string(p.exponent - p.decimals);
        cs = reference(su_text, su);
        if (cs == Conv::underflow) {
            std::int64_t first = 0;
            bool nonzero = false;
            for (char c : p.su_digits) {
                if (c != '0') nonzero = true;
                if (nonzero) ++first;
            }
            if (first + p.exponent - p.decimals > 0) cs = Conv::overflow;
            su = 0.0;
        }
    }
    if (cv == Conv::overflow || cs == Conv::overflow) {
        fuzz::check(r.status == NumberStatus::text, "a number beyond the double range kept", text);
        return;
    }
    fuzz::check(r.status == NumberStatus::number, "a scanned number in range refused", text);
    fuzz::check(same_double(r.value, value), "the value is not from_chars of its text", text);
    fuzz::check(r.has_su == !p.su_digits.empty(), "has_su differs from the scan", text);
    if (r.has_su) fuzz::check(same_double(r.su, su), "the su is not from_chars of its text", text);
    const bool is_integer = !p.has_point && !p.has_exponent;
    fuzz::check(r.is_integer == is_integer, "is_integer differs from the scan", text);
    if (!is_integer) return;
    std::int64_t iv = 0, is = 0;
    bool exact = ref_int64(p.mantissa, iv);
    if (exact && r.has_su) exact = ref_int64(p.su_digits, is);
    fuzz::check(r.int_exact == exact, "int_exact differs from from_chars", text);
    if (exact)
        fuzz::check(r.int_value == iv && r.int_su == is, "the int64 fields differ from from_chars",
                    text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const NumberResult r = parse_number(text);
    if (text == "?" || text == ".") {
        fuzz::check(r.status == (text == "?" ? NumberStatus::unknown : NumberStatus::inapplicable),
                    "a placeholder misread", text);
        return 0;
    }
    check_against_parts(text, r);

    // The eight-byte route, exact and padded with the input's own bytes.
    NumberResult plain, padded;
    const bool took = parse_plain_decimal(text.data(), text.size(), plain);
    if (took)
        fuzz::check(same_result(plain, r), "the eight-byte route differs from parse_number", text);
    std::string buffer(text);
    for (std::size_t i = 0; i < 8; ++i) buffer += size ? text[i % size] : '9';
    const bool took_padded = parse_plain_decimal_padded(buffer.data(), text.size(), padded);
    fuzz::check(took == took_padded, "padding changes whether the eight-byte route applies", text);
    if (took)
        fuzz::check(same_result(plain, padded), "padding changes the eight-byte result", text);
    return 0;
}
