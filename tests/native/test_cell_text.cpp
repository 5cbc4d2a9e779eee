#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cell_text.hpp"

namespace {

using quarzel::NodeKind;
using quarzel::NodeStore;

// A value to write into a node store: a text, or a list or table (whose
// elements alternate key, value).
struct V {
    NodeKind kind = NodeKind::Text;
    std::string_view text;
    std::vector<V> elements;
};

V s(std::string_view text) {
    return {NodeKind::Text, text, {}};
}

template <class... E>
V list(E&&... items) {
    return {NodeKind::List, {}, {std::forward<E>(items)...}};
}

template <class... E>
V table(E&&... keys_and_values) {
    return {NodeKind::Table, {}, {std::forward<E>(keys_and_values)...}};
}

void encode(NodeStore& nodes, const V& v) {
    if (v.kind == NodeKind::Text) {
        nodes.push_text(v.text);
        return;
    }
    const std::size_t head = nodes.push_head(v.kind);
    for (const V& e : v.elements) encode(nodes, e);
    nodes.add_to_count(head,
                       static_cast<std::int64_t>(v.kind == NodeKind::Table ? v.elements.size() / 2
                                                                           : v.elements.size()));
}

NodeStore store(const V& v) {
    NodeStore nodes;
    encode(nodes, v);
    return nodes;
}

std::string nul(std::string_view rest) {
    return std::string(1, '\0') + std::string(rest);
}

TEST(CellText, Scalars) {
    EXPECT_EQ(quarzel::cell_text(store(s("a\tb \"c\"")), 0), "a\tb \"c\"");
    EXPECT_EQ(quarzel::cell_text(store(s("")), 0), "");
}

TEST(CellText, Compounds) {
    std::vector<std::pair<V, std::string>> cases;
    cases.emplace_back(list(s("a"), s("b")), nul(R"(["a","b"])"));
    cases.emplace_back(list(), nul("[]"));
    cases.emplace_back(table(), nul("{}"));
    cases.emplace_back(table(s("k"), s("v")), nul(R"({"k":"v"})"));
    cases.emplace_back(list(list(s("1")), list()), nul(R"([["1"],[]])"));
    // Repeated keys are written once per entry, in order.
    cases.emplace_back(table(s("k"), s("1"), s("K"), list(s("x")), s("k"), s("2")),
                       nul(R"({"k":"1","K":["x"],"k":"2"})"));
    // Exactly five characters are escaped, keys included; the rest is copied.
    cases.emplace_back(table(s("a\"b"), s("\t\n\r\\\"")), nul(R"({"a\"b":"\t\n\r\\\""})"));
    cases.emplace_back(list(s(std::string_view("\0\x01\x7f/\xC3\xA9", 6))),
                       nul(std::string("[\"") + std::string("\0\x01\x7f/\xC3\xA9", 6) + "\"]"));
    // Placeholders and stored quoted dots are plain texts inside compounds.
    cases.emplace_back(list(s("."), s("?"), s("\".\"")), nul(R"([".","?","\".\""])"));
    // A table inside a list inside a table.
    cases.emplace_back(table(s("t"), list(table(s("x"), s("1")), s("y"))),
                       nul(R"({"t":[{"x":"1"},"y"]})"));
    // Every byte escaped, in keys and values, at the most bytes per node.
    cases.emplace_back(table(s("\"\""), s("\\\\"), s("\n"), table(s(""), list())),
                       nul(R"({"\"\"":"\\\\","\n":{"":[]}})"));

    // Several values stored one after another read back one by one.
    NodeStore all;
    std::size_t total = 0;
    for (auto& [value, expected] : cases) {
        NodeStore nodes = store(value);
        std::string text = quarzel::cell_text(nodes, 0);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(quarzel::cell_size(nodes, 0), expected.size());
        // Room reserved for the text in one pass.
        EXPECT_LE(expected.size(), nodes.cell_bound());
        all.append(nodes);
        total += expected.size();
    }
    std::size_t at = 0;
    for (auto& [value, expected] : cases) {
        std::string text;
        quarzel::StringWriter writer{text};
        quarzel::put_cell(writer, all, at, &at);
        EXPECT_EQ(text, expected);
    }
    EXPECT_EQ(at, all.size());
    EXPECT_EQ(quarzel::cell_size_of_all(all), total);
}

// The store keeps the bytes of its texts through appends and truncation.
TEST(CellText, TextBytesFollowTheNodes) {
    const std::string base = "alpha beta";
    NodeStore nodes(base.data(), base.size());
    const std::size_t head = nodes.push_head(NodeKind::Table);
    nodes.push_text(std::string_view(base).substr(0, 5));  // a slice
    nodes.push_text("elsewhere");                          // a kept view
    const std::size_t inner = nodes.size();
    nodes.push_text("k");
    nodes.add_to_count(nodes.push_head(NodeKind::List), 1);
    nodes.push_text(std::string_view(base).substr(6, 4));
    nodes.add_to_count(head, 2);
    EXPECT_EQ(nodes.text_bytes(), 5u + 9u + 1u + 4u);
    NodeStore copy;
    copy.append(nodes);
    EXPECT_EQ(copy.text_bytes(), nodes.text_bytes());
    nodes.truncate(inner);
    EXPECT_EQ(nodes.text_bytes(), 14u);
    nodes.reset();
    EXPECT_EQ(nodes.text_bytes(), 0u);
}

// Texts inside the base text are stored as slices, others as kept views;
// both read back the same, also when copied between stores.
TEST(CellText, SlicesAndKeptTexts) {
    const std::string base = "alpha beta";
    const std::string elsewhere = "gamma";
    NodeStore nodes(base.data(), base.size());
    const std::size_t head = nodes.push_head(NodeKind::List);
    nodes.push_text(std::string_view(base).substr(0, 5));
    nodes.push_text(elsewhere);
    nodes.push_text(std::string_view(base).substr(6));
    nodes.push_text(std::string_view(base).substr(10));  // empty, at the very end
    nodes.add_to_count(head, 4);
    const std::string expected = nul(R"(["alpha","gamma","beta",""])");
    EXPECT_EQ(quarzel::cell_text(nodes, 0), expected);
    EXPECT_EQ(nodes[1].text.data(), base.data());
    NodeStore same_base(base.data(), base.size()), no_base;
    same_base.append(nodes);
    no_base.append(nodes);
    EXPECT_EQ(quarzel::cell_text(same_base, 0), expected);
    EXPECT_EQ(quarzel::cell_text(no_base, 0), expected);
    // A slice too long for a node is kept as a view; both ends of the
    // limit read back whole.
    const std::string big(20000, 'x');
    NodeStore long_texts(big.data(), big.size());
    for (std::size_t n : {std::size_t{16383}, std::size_t{16384}, big.size()})
        long_texts.push_text(std::string_view(big).substr(big.size() - n));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(long_texts[i].text.data() + long_texts[i].text.size(), big.data() + big.size());
    EXPECT_EQ(long_texts[0].text.size(), 16383u);
    EXPECT_EQ(long_texts[2].text.size(), big.size());
    // Dropping the last elements and their count.
    nodes.truncate(3);
    nodes.add_to_count(head, -2);
    EXPECT_EQ(quarzel::cell_text(nodes, 0), nul(R"(["alpha","gamma"])"));
}

TEST(CellText, DeepNestingDoesNotRecurse) {
    constexpr std::size_t depth = 1'000'000;
    // The outermost level is a table; levels alternate down to the text.
    NodeStore nodes;
    for (std::size_t i = depth; i-- > 0;) {
        const bool table = i % 2 == 1;
        nodes.add_to_count(nodes.push_head(table ? NodeKind::Table : NodeKind::List), 1);
        if (table) nodes.push_text("k");
    }
    nodes.push_text("x");
    std::string text = quarzel::cell_text(nodes, 0);
    ASSERT_EQ(text.size(), quarzel::cell_size(nodes, 0));
    EXPECT_EQ(text.substr(0, 8), nul(R"({"k":[{)"));
    EXPECT_EQ(text.substr(text.size() - 5), R"(}]}]})");
    EXPECT_EQ(text.find("\"x\""), depth / 2 * 6 + 1);
}

}  // namespace
