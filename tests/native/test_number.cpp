#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/number.hpp"
#include "core/number_inline.hpp"

namespace {

using quarzel::NumberStatus;
using quarzel::parse_number;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct Case {
    const char* text;
    NumberStatus status;
    double value;  // expected double (the compiler's correctly rounded literal)
    double su;     // kNone: no uncertainty
    bool is_integer;
};

constexpr NumberStatus N = NumberStatus::number;
constexpr NumberStatus T = NumberStatus::text;

const Case kCases[] = {
    // plain numbers and signs
    {"7", N, 7, kNone, true},
    {"-7", N, -7, kNone, true},
    {"+7", N, 7, kNone, true},
    {"007", N, 7, kNone, true},
    {"1.2", N, 1.2, kNone, false},
    {"-0.0", N, -0.0, kNone, false},
    {".5", N, 0.5, kNone, false},
    {"5.", N, 5.0, kNone, false},
    {"+.5e1", N, 5.0, kNone, false},
    // uncertainties
    {"5.6402(3)", N, 5.6402, 3e-4, false},
    {"12(3)", N, 12, 3, true},
    {"-4.5e-3(2)", N, -4.5e-3, 2e-4, false},
    {"1.5E2(3)", N, 150, 30, false},
    {"12e3(3)", N, 12000, 3000, false},
    {"0.000123(45)", N, 0.000123, 45e-6, false},
    {"1.2(34)", N, 1.2, 3.4, false},
    {"3.3(3)", N, 3.3, 0.3, false},
    {"1.2(0)", N, 1.2, 0.0, false},
    {"1.2(007)", N, 1.2, 0.7, false},
    {"5.(3)", N, 5.0, 3, false},
    {".25(5)", N, 0.25, 0.05, false},
    {"1.0000000000000000001(1)", N, 1.0, 1e-19, false},
    // exponents, huge and tiny
    {"1e308", N, 1e308, kNone, false},
    {"1.7976931348623157e308", N, 1.7976931348623157e308, kNone, false},
    {"1e400", T, 0, kNone, false},
    {"-1e400", T, 0, kNone, false},
    {"1e-400", N, 0.0, kNone, false},
    {"-1e-400", N, -0.0, kNone, false},
    {"4.9e-324", N, 4.9e-324, kNone, false},
    {"2.5e-324", N, 4.9e-324, kNone, false},
    {"2e-308", N, 2e-308, kNone, false},
    {"1e+0002", N, 100, kNone, false},
    {"1e99999999999999999999", T, 0, kNone, false},
    {"1e-99999999999999999999", N, 0.0, kNone, false},
    {"0e99999999999999999999", N, 0.0, kNone, false},
    {"1(9e9)", T, 0, kNone, false},
    {"1.5e-320(5)", N, 1.5e-320, 5e-321, false},
    {"1.5e308(5)", N, 1.5e308, 5e307, false},
    {"1e308(99)", T, 0, kNone, false},
    // too many digits: rounded once, correctly
    {"0.1000000000000000055511151231257827021181583404541015625", N, 0.1, kNone, false},
    {"9007199254740993", N, 9007199254740992.0, kNone, true},
    {"9007199254740993.0000000000000000001", N, 9007199254740994.0, kNone, false},
    {"123456789012345678901234567890", N, 123456789012345678901234567890.0, kNone, true},
    // placeholders and text
    {"?", NumberStatus::unknown, 0, kNone, false},
    {".", NumberStatus::inapplicable, 0, kNone, false},
    {"\"?\"", T, 0, kNone, false},
    {"\"", T, 0, kNone, false},
    {"", T, 0, kNone, false},
    {"..", T, 0, kNone, false},
    {"1.2(", T, 0, kNone, false},
    {"1.2(3", T, 0, kNone, false},
    {"1.2(a)", T, 0, kNone, false},
    {"1.2()", T, 0, kNone, false},
    {"1.2(3)x", T, 0, kNone, false},
    {"1.2(-3)", T, 0, kNone, false},
    {"(3)", T, 0, kNone, false},
    {"1..2", T, 0, kNone, false},
    {"1.2.3", T, 0, kNone, false},
    {"1.23(4)e-3", T, 0, kNone, false},
    {"+-1", T, 0, kNone, false},
    {"+", T, 0, kNone, false},
    {"-", T, 0, kNone, false},
    {"-.", T, 0, kNone, false},
    {"e5", T, 0, kNone, false},
    {"1e", T, 0, kNone, false},
    {"1e+", T, 0, kNone, false},
    {"1d3", T, 0, kNone, false},
    {"1_2", T, 0, kNone, false},
    {"1,2", T, 0, kNone, false},
    {" 1.2", T, 0, kNone, false},
    {"1.2 ", T, 0, kNone, false},
    {"nan", T, 0, kNone, false},
    {"inf", T, 0, kNone, false},
    {"-inf", T, 0, kNone, false},
    {"0x10", T, 0, kNone, false},
    {"\xd9\xa1", T, 0, kNone, false},  // ARABIC-INDIC DIGIT ONE
};

class NumberTable : public ::testing::TestWithParam<Case> {};

TEST_P(NumberTable, ParsesAsPythonFloat) {
    const Case& c = GetParam();
    const auto r = parse_number(c.text);
    ASSERT_EQ(static_cast<int>(r.status), static_cast<int>(c.status)) << c.text;
    if (c.status != N) {
        EXPECT_FALSE(r.has_su);
        return;
    }
    EXPECT_EQ(r.value, c.value) << c.text;
    EXPECT_EQ(std::signbit(r.value), std::signbit(c.value)) << c.text;
    EXPECT_EQ(r.is_integer, c.is_integer) << c.text;
    EXPECT_EQ(r.has_su, !std::isnan(c.su)) << c.text;
    if (r.has_su) {
        EXPECT_EQ(r.su, c.su) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, NumberTable, ::testing::ValuesIn(kCases));

struct IntCase {
    const char* text;
    bool exact;
    std::int64_t value;
    std::int64_t su;
};

const IntCase kIntCases[] = {
    {"12(3)", true, 12, 3},
    {"-12", true, -12, 0},
    {"+12(03)", true, 12, 3},
    {"9223372036854775807", true, INT64_MAX, 0},
    {"-9223372036854775808", true, INT64_MIN, 0},
    {"9223372036854775808", false, 0, 0},
    {"1(9223372036854775808)", false, 0, 0},
    {"0000000000000000000000000042(1)", true, 42, 1},
};

class IntegerTable : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntegerTable, Int64WhereItFits) {
    const IntCase& c = GetParam();
    const auto r = parse_number(c.text);
    ASSERT_EQ(r.status, N) << c.text;
    ASSERT_TRUE(r.is_integer) << c.text;
    EXPECT_EQ(r.int_exact, c.exact) << c.text;
    if (c.exact) {
        EXPECT_EQ(r.int_value, c.value) << c.text;
        EXPECT_EQ(r.int_su, c.su) << c.text;
        EXPECT_EQ(r.value, static_cast<double>(c.value)) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, IntegerTable, ::testing::ValuesIn(kIntCases));

// Values of a million digits: a correct answer in linear time.
TEST(NumberLong, MillionDigits) {
    const std::string ones(1'000'000, '1');
    const auto start = std::chrono::steady_clock::now();

    EXPECT_EQ(parse_number(ones).status, T);  // 1.1e999999 overflows
    EXPECT_EQ(parse_number("0." + ones).value, 0.1111111111111111);
    auto r = parse_number("0." + std::string(999'999, '0') + "1");
    EXPECT_EQ(r.status, N);
    EXPECT_EQ(r.value, 0.0);
    r = parse_number(std::string(999'999, '0') + "1");
    EXPECT_TRUE(r.int_exact);
    EXPECT_EQ(r.int_value, 1);
    r = parse_number("1.5(" + ones + ")");
    EXPECT_EQ(r.status, T);  // su 1.1e999998
    r = parse_number("1." + ones + "(" + ones + ")");
    EXPECT_EQ(r.status, N);
    EXPECT_EQ(r.su, 0.1111111111111111);
    EXPECT_EQ(parse_number("1e" + ones).status, T);
    EXPECT_EQ(parse_number("1e-" + ones).value, 0.0);
    EXPECT_EQ(parse_number(ones + "x").status, T);

    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0);
}

// The eight-bytes-at-a-time route against the general scan and from_chars,
// for every text of up to six bytes over an alphabet of digits, signs,
// points and the bytes on either side of the digit range.
TEST(NumberPlain, AgreesWithTheGeneralRoute) {
    const std::string alphabet = "019.-+/:e";
    std::string text;
    std::size_t plain = 0;
    for (std::size_t length = 1; length <= 6; ++length) {
        std::vector<std::size_t> digit(length, 0);
        while (true) {
            text.clear();
            for (std::size_t d : digit) text += alphabet[d];
            quarzel::NumberResult r;
            const bool fast = quarzel::parse_plain_decimal(text.data(), text.size(), r);
            // The same text followed by other bytes, read eight at a time.
            const std::string padded = text + "12345678";
            quarzel::NumberResult r8;
            ASSERT_EQ(quarzel::parse_plain_decimal_padded(padded.data(), text.size(), r8), fast)
                << text;
            if (fast) {
                ASSERT_EQ(r8.value, r.value) << text;
                ASSERT_EQ(r8.int_value, r.int_value) << text;
            }
            quarzel::NumberParts parts;
            const bool general =
                quarzel::scan_number(text, parts) && !parts.has_exponent && parts.su_digits.empty();
            ASSERT_EQ(fast, general) << text;
            if (fast) {
                ++plain;
                double want = 0;
                const auto mantissa = parts.mantissa_and_exponent;
                std::from_chars(mantissa.data(), mantissa.data() + mantissa.size(), want);
                ASSERT_EQ(r.value, want) << text;
                ASSERT_EQ(std::signbit(r.value), std::signbit(want)) << text;
                ASSERT_EQ(r.is_integer, !parts.has_point) << text;
                if (r.is_integer) {
                    ASSERT_EQ(r.int_value, static_cast<std::int64_t>(want)) << text;
                }
            }
            std::size_t i = 0;
            while (i < length && ++digit[i] == alphabet.size()) digit[i++] = 0;
            if (i == length) break;
        }
    }
    EXPECT_GT(plain, 4000u);
}

// The route for a plain decimal with an su against parse_number, for
// every text of a mantissa and an su over a small alphabet, and cases at
// its bounds.
TEST(NumberPlain, WithSuAgreesWithParseNumber) {
    const std::vector<std::string> mantissas = {
        "0",       "7",        "-3",       "+4",    ".5", "-.5", "5.", "12.345",    "-0.0",
        "1234567", "-1234.56", "12345678", "1.2.3", "-",  ".",   "a1", "123456789", "1e5"};
    const std::vector<std::string> sus = {"(1)", "(0)", "(05)", "(12345678)", "(123456789)", "()",
                                          "(1",  "1)",  "(a)",  "(1)x",       "((1))"};
    std::size_t short_route = 0;
    for (const auto& m : mantissas) {
        for (const auto& s : sus) {
            const std::string text = m + s;
            quarzel::NumberResult fast;
            const bool taken = quarzel::parse_plain_with_su(text.data(), text.size(), fast);
            const quarzel::NumberResult want = parse_number(text);
            if (!taken) continue;
            ++short_route;
            ASSERT_EQ(want.status, quarzel::NumberStatus::number) << text;
            EXPECT_EQ(fast.value, want.value) << text;
            EXPECT_EQ(std::signbit(fast.value), std::signbit(want.value)) << text;
            EXPECT_EQ(fast.su, want.su) << text;
            EXPECT_TRUE(fast.has_su) << text;
            EXPECT_EQ(fast.is_integer, want.is_integer) << text;
            if (want.is_integer) {
                EXPECT_EQ(fast.int_exact, want.int_exact) << text;
                EXPECT_EQ(fast.int_value, want.int_value) << text;
                EXPECT_EQ(fast.int_su, want.int_su) << text;
            }
        }
    }
    EXPECT_GT(short_route, 40u);
    quarzel::NumberResult r;
    EXPECT_FALSE(quarzel::parse_plain_with_su("1(123456789)", 12, r));  // left to the general route
    EXPECT_FALSE(quarzel::parse_plain_with_su("1.5e3(2)", 8, r));
}

// Bytes from 0x80 on are no digits wherever they stand, whatever byte
// follows them (the carry of one may reach the next), and the texts are
// left to the general route, which rejects them too.
TEST(NumberPlain, BytesBeyondAscii) {
    for (const char* text : {"\xB9", "1\xB9",
                             "\xB9"
                             "1",
                             "\x80", "12\x80",
                             "\xFF"
                             "9",
                             "-\xB0", "1.\xB5", "\xBA.5", "1234567\xB0", "\xC2\xB7", "+\xFF",
                             ".\x8A"
                             "0"}) {
        const std::string_view view(text);
        quarzel::NumberResult r;
        EXPECT_FALSE(quarzel::parse_plain_decimal(text, view.size(), r)) << text;
        const std::string padded = std::string(view) + "12345678";
        EXPECT_FALSE(quarzel::parse_plain_decimal_padded(padded.data(), view.size(), r)) << text;
        quarzel::NumberParts parts;
        EXPECT_FALSE(quarzel::scan_number(view, parts)) << text;
    }
}

TEST(NumberPlain, EightBytes) {
    for (const char* text :
         {"12345678", "-1234567", "1234.567", ".1234567", "9999999.", "00000000", "-0000000"}) {
        quarzel::NumberResult r;
        ASSERT_TRUE(quarzel::parse_plain_decimal(text, 8, r)) << text;
        double want = 0;
        std::from_chars(text, text + 8, want);
        EXPECT_EQ(r.value, want) << text;
    }
    quarzel::NumberResult r;
    EXPECT_FALSE(quarzel::parse_plain_decimal("123456789", 9, r));  // left to the general route
    EXPECT_EQ(parse_number("123456789.5").value, 123456789.5);
}

}  // namespace
