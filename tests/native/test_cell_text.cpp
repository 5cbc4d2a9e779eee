#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cell_text.hpp"

namespace {

using quarzel::RawValue;
using quarzel::TableEntry;

RawValue s(std::string_view text) {
    return RawValue::scalar(text);
}

template <class... V>
RawValue list(V&&... items) {
    std::vector<RawValue> v;
    (v.push_back(std::move(items)), ...);
    return RawValue::list(std::move(v));
}

TableEntry kv(std::string_view key, RawValue value) {
    return {key, std::move(value)};
}

template <class... E>
RawValue table(E&&... entries) {
    std::vector<TableEntry> v;
    (v.push_back(std::move(entries)), ...);
    return RawValue::table(std::move(v));
}

std::string nul(std::string_view rest) {
    return std::string(1, '\0') + std::string(rest);
}

TEST(CellText, Scalars) {
    EXPECT_EQ(quarzel::cell_text(s("a\tb \"c\"")), "a\tb \"c\"");
    EXPECT_EQ(quarzel::cell_text(s("")), "");
}

TEST(CellText, Compounds) {
    std::vector<std::pair<RawValue, std::string>> cases;
    cases.emplace_back(list(s("a"), s("b")), nul(R"(["a","b"])"));
    cases.emplace_back(list(), nul("[]"));
    cases.emplace_back(table(), nul("{}"));
    cases.emplace_back(table(kv("k", s("v"))), nul(R"({"k":"v"})"));
    cases.emplace_back(list(list(s("1")), list()), nul(R"([["1"],[]])"));
    // Repeated keys are written once per entry, in order.
    cases.emplace_back(table(kv("k", s("1")), kv("K", list(s("x"))), kv("k", s("2"))),
                       nul(R"({"k":"1","K":["x"],"k":"2"})"));
    // Exactly five characters are escaped, keys included; the rest is copied.
    cases.emplace_back(table(kv("a\"b", s("\t\n\r\\\""))), nul(R"({"a\"b":"\t\n\r\\\""})"));
    cases.emplace_back(list(s(std::string_view("\0\x01\x7f/\xC3\xA9", 6))),
                       nul(std::string("[\"") + std::string("\0\x01\x7f/\xC3\xA9", 6) + "\"]"));
    // Placeholders and stored quoted dots are plain texts inside compounds.
    cases.emplace_back(list(s("."), s("?"), s("\".\"")), nul(R"([".","?","\".\""])"));
    // A table inside a list inside a table.
    cases.emplace_back(table(kv("t", list(table(kv("x", s("1"))), s("y")))),
                       nul(R"({"t":[{"x":"1"},"y"]})"));

    for (auto& [value, expected] : cases) {
        std::string text = quarzel::cell_text(value);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(quarzel::cell_size(value), expected.size());
    }
}

TEST(CellText, DeepNestingDoesNotRecurse) {
    constexpr std::size_t depth = 1'000'000;
    RawValue v = s("x");
    for (std::size_t i = 0; i < depth; ++i) {
        if (i % 2 == 0) {
            v = list(std::move(v));
        } else {
            v = table(kv("k", std::move(v)));
        }
    }
    std::string text = quarzel::cell_text(v);
    ASSERT_EQ(text.size(), quarzel::cell_size(v));
    EXPECT_EQ(text.substr(0, 8), nul(R"({"k":[{)"));
    EXPECT_EQ(text.substr(text.size() - 5), R"(}]}]})");
    EXPECT_EQ(text.find("\"x\""), depth / 2 * 6 + 1);
}

}  // namespace
