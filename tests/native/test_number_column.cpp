// A column typed by its values read straight from their text (add_texts)
// against the same values read by parse_number and added one by one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/number.hpp"
#include "dataset/number_column.hpp"

namespace {

using quarzel::dataset::ColumnChunk;
using quarzel::dataset::NumberColumn;
using quarzel::dataset::PageWriter;

constexpr const char* kList = "<list>";  // stands for a list or table value

struct Encoded {
    std::string values, sus, status, min, max;
    bool doubles;
    std::uint8_t kinds;
};

std::string bytes_of(const ColumnChunk& c) {
    return std::string(reinterpret_cast<const char*>(c.bytes.data()), c.bytes.size());
}

Encoded encode(NumberColumn& numbers) {
    PageWriter pages;
    ColumnChunk v, s, st;
    const bool doubles = numbers.doubles();
    numbers.encode_values(pages, v, doubles);
    numbers.encode_su(pages, s, doubles);
    numbers.encode_status(pages, st);
    return {bytes_of(v), bytes_of(s), bytes_of(st), v.min, v.max, doubles, numbers.kinds()};
}

// The values laid out in one text as a document holds them; the last one
// ends the text (no bytes to read past it) when `last_unpadded`.
void check(const std::vector<std::string>& values, bool last_unpadded) {
    std::string text;
    std::vector<std::size_t> at;
    for (const auto& v : values) {
        at.push_back(text.size());
        text += v;
        text += ' ';
    }
    if (last_unpadded)
        text.pop_back();
    else
        text += "12345678";
    NumberColumn fast, slow;
    fast.add_texts(values.size(), [&](auto&& f) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (values[i] == kList) {
                f(std::string_view(), false);
                continue;
            }
            const std::string_view v(text.data() + at[i], values[i].size());
            f(v, text.size() - at[i] >= 8);
        }
    });
    slow.reserve(values.size());
    for (const auto& v : values) {
        quarzel::NumberResult r;  // text, as a list is
        if (v != kList) r = quarzel::parse_number(v);
        slow.add(r, false);
    }
    slow.done();
    const Encoded a = encode(fast), b = encode(slow);
    std::string all;
    for (const auto& v : values) all += v + " ";
    EXPECT_EQ(a.doubles, b.doubles) << all;
    EXPECT_EQ(a.kinds, b.kinds) << all;
    EXPECT_EQ(a.values, b.values) << all;
    EXPECT_EQ(a.sus, b.sus) << all;
    EXPECT_EQ(a.status, b.status) << all;
    EXPECT_EQ(a.min, b.min) << all;
    EXPECT_EQ(a.max, b.max) << all;
}

TEST(NumberColumnTexts, AgreesWithParseNumber) {
    const std::vector<std::vector<std::string>> columns = {
        {"1", "-2", "+3", "0", "12345678", "-1234567"},  // integers
        {"1", "2.5", "-0", "7", "-0.0", "0"},            // a fraction turns the column to doubles
        {"57.147", "-64.648", "1.00", "1.", ".5", "-.5"},
        {"?", ".", "abc", "", "12", "/", ">", "?x", ".."},  // placeholders, words, near misses
        {"1.5(3)", "12(4)", "123456789", "1e5", "-12.5(11)", "0.000000001"},  // the long way
        {"-", "+", "-.", "1-2", "1.2.3", "--1", "1e", "0x10"},
        {"3", kList, "4", "\xB9", "1\xB0", "5"},  // a list, bytes beyond ASCII
        {"?", "?", ".", "?"},                     // no numbers at all
        {"12", "7(2)", "3"},                      // an su in a column of integers
        // Decimals with an su, read on the short route of the column loop.
        {"0.36512(4)", "-12.5(11)", "1.5(3)", "12(4)", "+4(1)", "-0.0(1)", "5.(2)", ".5(12)"},
        {"7(2)", "-3(0)", "12345678(12345678)", "1(05)", "8"},  // integers, su kept as int64
        {"3(1)", "4", "2.25(3)", "5(6)"},                       // turned doubles by an su value
        {"0.1(1)", "2", "?", "1.5", "."},                       // an su first, then none
        // Just past the short route: to parse_number, the same values.
        {"123456789(1)", "1(123456789)", "1.5e3(2)", "1.2.3(4)", "-(1)", ".(1)", "1()", "(1)"},
        {"1(1", "1)", "1(a)", "((1))", "1(1)x", "12345678.9(1)", "0.000000001(1)"},
        // Around the su of one or two digits read at once.
        {"-7(12)", "8(99)", "1.5(123)", "(12)", "1.5(a1)", "1((2)", "1.5(1a)", "2.5(09)"},
        {"-0", "-0.0", "007", "-007.50", ".5", "5.", "+1", "12345678901234567", "1e-5", "1E+3"},
        // Runs of one text, taken again as the first of the run became:
        // across the column's turn to doubles, by each route.
        {"1", "1", "2.5", "1", "1"},
        {"-0", "-0", "-0", "0.5", "-0", "-0"},
        {"7", "7", "1e2", "7", "7"},
        {"3", "3", "3(1)", "3", "0.5(2)", "3"},
        {"12", "12", "?", "12", ".", "12", "12x", "12"},
        {"1", std::string("1\0", 2), "1", std::string("1\0", 2)},  // same word, other length
        {"12345678", "12345678", "1234567", "1234567", "1234567"},
    };
    for (const auto& c : columns) {
        check(c, false);
        check(c, true);
    }
}

// A layout learnt from one value, then values that break it in one way each:
// read at once only when the layout truly holds.
TEST(NumberColumnTexts, LayoutOfTheLastDecimal) {
    const std::vector<std::vector<std::string>> columns = {
        {"12.345", "-67.891", "+10.002", "98.7654", "1.234", "123.45"},  // sign, length, point
        {"12.345", "12x345", "12.3.5", "12.34/", "12.34:", "\xB2.345",
         "12.3\xB0"
         "5"},                                                              // bad bytes
        {"1.5", "125", "15.", ".15", "1.5", "-1.5", "-0.0", "0.0", "-.0"},  // point moved or gone
        {"7", "-", "+", "8", "-7", "0", "-0", "00000000", "-0000000", "9999999."},
        {"0.36512(4)", "0.00586(1)", "0.3x512(4)", "0.365120(4)", "-0.36512(44)", "0.3651(4)"},
        {"1234.567", "9876.543", "98765.43", "987654.3", ".1234567", "1234567."},
        // A layout for each length, kept while values of other lengths come
        // between, and learnt again when one of that length breaks it.
        {"-3.125", "12.250", "104.500", "7.5", "-3.125", "12.25x", "104.5", "12.250", "1.04500"},
        {"1.2345", "123", "12.345", "12345", "1.2345", "-", "+1", "12.345", "1", "123.45"},
        {"12345678", "1", "1.3", "-12345.6", "2", "1.4", "-12345.7", "-9", "+-1", "1234567."},
    };
    for (const auto& c : columns) {
        check(c, false);
        check(c, true);
    }
    // Random runs of few layouts, as real columns have them.
    std::uint64_t seed = 12345;
    const auto next = [&seed](unsigned below) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((seed >> 33) % below);
    };
    const std::string bytes = "0123456789000999.-+x(1)";
    for (int round = 0; round < 400; ++round) {
        std::vector<std::string> column;
        std::string layout = "12.345";
        for (int i = 0; i < 24; ++i) {
            if (next(4) == 0) layout[next(static_cast<unsigned>(layout.size()))] = bytes[next(23)];
            if (next(8) == 0)
                layout.insert(next(static_cast<unsigned>(layout.size())), 1, bytes[next(16)]);
            std::string v = layout;
            for (char& ch : v)
                if (ch >= '0' && ch <= '9') ch = static_cast<char>('0' + next(10));
            column.push_back(v);
        }
        check(column, false);
    }
}

// Values with an su across the calls of a column (the rows of one file
// after another), some in each call on the long way, against one by one.
TEST(NumberColumnTexts, SuAcrossCalls) {
    const std::vector<std::vector<std::string>> calls = {
        {"1(2)", "3", "1e2(3)"}, {"4(5)", "?", "6(7)"}, {"0.5(1)", "7", "1(123456789)"}};
    NumberColumn fast, slow;
    std::string all;
    for (const auto& values : calls) {
        std::string text;
        for (const auto& v : values) text += v + " ";
        text += "12345678";
        fast.add_texts(values.size(), [&](auto&& f) {
            std::size_t at = 0;
            for (const auto& v : values) {
                f(std::string_view(text.data() + at, v.size()), true);
                at += v.size() + 1;
            }
        });
        slow.reserve(values.size());
        for (const auto& v : values) slow.add(quarzel::parse_number(v), false);
        slow.done();
        for (const auto& v : values) all += v + " ";
    }
    const Encoded a = encode(fast), b = encode(slow);
    EXPECT_TRUE(a.doubles) << all;
    EXPECT_EQ(a.kinds, b.kinds) << all;
    EXPECT_EQ(a.values, b.values) << all;
    EXPECT_EQ(a.sus, b.sus) << all;
    EXPECT_EQ(a.status, b.status) << all;
}

// A column that is doubles before its values come (a fraction seen in an
// earlier row group) keeps integers as doubles, -0 with its sign.
TEST(NumberColumnTexts, DoublesFromTheStart) {
    for (bool unpadded : {false, true}) {
        NumberColumn fast, slow;
        fast.use_doubles();
        slow.use_doubles();
        const std::string text = unpadded ? "-0 12 ?" : "-0 12 ? 12345678";
        const std::vector<std::string_view> values = {std::string_view(text).substr(0, 2),
                                                      std::string_view(text).substr(3, 2),
                                                      std::string_view(text).substr(6, 1)};
        fast.add_texts(values.size(), [&](auto&& f) {
            for (auto v : values)
                f(v, text.size() - static_cast<std::size_t>(v.data() - text.data()) >= 8);
        });
        slow.reserve(values.size());
        for (auto v : values) slow.add(quarzel::parse_number(v), false);
        slow.done();
        const Encoded a = encode(fast), b = encode(slow);
        EXPECT_TRUE(a.doubles);
        EXPECT_EQ(a.values, b.values);
        EXPECT_EQ(a.status, b.status);
        EXPECT_EQ(a.min, b.min);
    }
}

}  // namespace

// Which values add_texts keeps the text of: those it leaves out are what
// their numbers give back, and the plain forms given back are left out
// (repeats keep the mark of the value they repeat).
TEST(NumberColumn, KeepsTheTextItsNumbersDoNotGiveBack) {
    struct Case {
        std::vector<std::string> values;
        std::vector<int> kept;
    };
    const Case cases[] = {
        {{"104.500", "104.5", "104.5", "104.500", "104.500", "-3.125"}, {1, 0, 0, 1, 1, 0}},
        {{"0.36512(4)", "1.20(3)", "1(05)", "12(3)", "-0(1)", "0(0)"}, {0, 1, 1, 0, 1, 0}},
        {{"+5", "05", "-0", "0", "12345678", "123456789", "-0"}, {1, 1, 1, 0, 0, 1, 1}},
        {{"?", ".", "abc", "1e5", ".5", "5.", kList}, {1, 1, 1, 1, 1, 1, 1}},
        {{"7", "7", "2.5", "7", "-0.5", "0.00001"}, {0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        std::string text;
        std::vector<std::size_t> at;
        for (const auto& v : c.values) {
            at.push_back(text.size());
            text += v + ' ';
        }
        text += "12345678";
        struct {
            std::vector<int> rows;
            std::vector<std::string> texts;
            void keep(std::string_view t, std::size_t row, bool) {
                rows.push_back(static_cast<int>(row));
                texts.emplace_back(t);
            }
        } kept;
        NumberColumn numbers;
        numbers.add_texts(
            c.values.size(),
            [&](auto&& f) {
                for (std::size_t i = 0; i < c.values.size(); ++i)
                    f(c.values[i] == kList
                          ? std::string_view()
                          : std::string_view(text.data() + at[i], c.values[i].size()),
                      true);
            },
            kept);
        std::size_t value = 0, su = 0, k = 0;
        for (std::size_t r = 0; r < c.values.size(); ++r) {
            const std::uint8_t code = numbers.status()[r];
            const bool keeps = code & NumberColumn::kKeepText;
            EXPECT_EQ(keeps, c.kept[r] != 0) << c.values[r];
            EXPECT_EQ(keeps, k < kept.rows.size() && kept.rows[k] == static_cast<int>(r))
                << c.values[r];
            if (keeps) {
                if (c.values[r] != kList) {
                    EXPECT_EQ(kept.texts[k], c.values[r]);
                }
                ++k;
            } else {
                std::string back;
                quarzel::put_number_text(
                    back, numbers.doubles(), numbers.values() + 8 * value,
                    code & NumberColumn::kHasSu ? numbers.sus() + 8 * su : nullptr);
                EXPECT_EQ(back, c.values[r]);
            }
            if ((code & 7) == 0) ++value;
            if ((code & 7) == 0 && (code & NumberColumn::kHasSu)) ++su;
        }
        EXPECT_EQ(k, kept.rows.size());
    }
}
