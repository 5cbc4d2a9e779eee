#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "core/number_inline.hpp"
#include "core/number_text.hpp"

namespace {

using quarzel::number_detail::load_up_to_8;
using quarzel::number_detail::plain_parts;
using quarzel::number_detail::PlainDecimal;

std::string render(const PlainDecimal& d, bool doubles, const std::uint64_t* su_digits = nullptr) {
    std::string out;
    if (doubles) {
        const double v = d.value();
        const double s = su_digits ? d.su_value(*su_digits) : 0;
        quarzel::put_number_text(out, true, &v, su_digits ? &s : nullptr);
    } else {
        const std::int64_t v = d.int_value();
        const auto s = su_digits ? static_cast<std::int64_t>(*su_digits) : 0;
        quarzel::put_number_text(out, false, &v, su_digits ? &s : nullptr);
    }
    return out;
}

// Every plain decimal of up to eight bytes said to be given back is what its
// number (int64 and double alike) gives back, and every other one is not:
// random texts weighted towards zeros, signs and points at the edges.
TEST(NumberText, GivenBackExactlyWhenTheNumberWritesIt) {
    std::mt19937_64 rng(7);
    const char alphabet[] = "0000123456789..-+";
    int given = 0;
    for (int i = 0; i < 400000; ++i) {
        const std::size_t n = 1 + rng() % 8;
        std::string text;
        for (std::size_t k = 0; k < n; ++k) text += alphabet[rng() % (sizeof alphabet - 1)];
        PlainDecimal d;
        if (!plain_parts(load_up_to_8(text.data(), n), n, d)) continue;
        const bool back = quarzel::plain_text_given_back(load_up_to_8(text.data(), n), n, d);
        given += back;
        const std::string as_double = render(d, true);
        // "-0" reads as the double -0.0 but as the int64 0: kept.
        const bool zero = d.negative && d.digits == 0;
        EXPECT_EQ(back, as_double == text && !zero) << text << " gives back " << as_double;
        if (!d.point) {
            EXPECT_EQ(back, render(d, false) == text) << text;
        }
    }
    EXPECT_GT(given, 1000);  // the table reaches the texts that are given back
}

TEST(NumberText, Cases) {
    struct Case {
        const char* text;  // value and su digits
        const char* su;    // null: none
        bool back;
    };
    const Case cases[] = {
        {"0.36512", "4", true}, {"104.5", "12", true},    {"12", "3", true},
        {"-3.125", "0", true},  {"1.20", "3", false},     {"1.25", "03", false},
        {"0.00001", "1", true}, {"-0.5", nullptr, true},  {"0", nullptr, true},
        {"-0", nullptr, false}, {"+5", nullptr, false},   {".5", nullptr, false},
        {"5.", nullptr, false}, {"00.5", nullptr, false},
    };
    for (const Case& c : cases) {
        const std::size_t n = std::strlen(c.text);
        PlainDecimal d;
        ASSERT_TRUE(plain_parts(load_up_to_8(c.text, n), n, d)) << c.text;
        bool back = quarzel::plain_text_given_back(load_up_to_8(c.text, n), n, d);
        std::string whole = c.text;
        std::uint64_t digits = 0;
        if (c.su) {
            back = back && quarzel::su_text_given_back(c.su, std::strlen(c.su));
            digits = std::stoull(c.su);
            whole = whole + "(" + c.su + ")";
        }
        EXPECT_EQ(back, c.back) << whole;
        if (!c.back) continue;
        EXPECT_EQ(render(d, true, c.su ? &digits : nullptr), whole);
        if (!d.point) {
            EXPECT_EQ(render(d, false, c.su ? &digits : nullptr), whole);
        }
    }
}

}  // namespace
