// Random soups of CIF fragments, both versions: whatever the input, the
// parser must keep every promise it makes to sinks, and nothing may follow
// the halt at global_.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser_harness.hpp"

namespace {

using quarzel::CifVersion;

// clang-format off
constexpr std::string_view kFragments[] = {
    "data_x", "data_", "DATA_y", "save_f", "save_g", "save_", "loop_", "LOOP_", "stop_",
    "_a", "_b", "_c", "1", "2", "?", ".", "'q'", "\"d\"", "'''t'''", "\"\"\"u\"\"\"",
    "[", "]", "[", "]", "{", "}", "{", "}", ":", "'k':", "\"k\":", "'k'", "'[' ",
    "\n;text\n;\n", "# comment\n", "'open", "caf\xC3\xA9", "[1", "x]", "\n", "\t",
};
// clang-format on
constexpr std::string_view kSeparators[] = {" ", " ", " ", "\n", ""};

std::string soup(std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> length(1, 60);
    std::uniform_int_distribution<std::size_t> fragment(0, std::size(kFragments) - 1);
    std::uniform_int_distribution<std::size_t> separator(0, std::size(kSeparators) - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string text;
    const std::size_t n = length(rng);
    for (std::size_t i = 0; i < n; ++i) {
        // global_ halts, so it is rare and mostly late.
        if (percent(rng) == 0)
            text += "global_";
        else
            text += kFragments[fragment(rng)];
        text += kSeparators[separator(rng)];
    }
    return text;
}

void check_soups(CifVersion version) {
    for (std::uint32_t seed = 0; seed < 4000; ++seed) {
        const std::string text = soup(seed);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + quarzel::quoted(text));
        const std::string events = quarzel::testing::parse_events(text, version);
        const std::size_t halt = events.find("rec=\"parsing halted\"\n");
        if (halt != std::string::npos) {
            EXPECT_EQ(halt + std::string_view("rec=\"parsing halted\"\n").size(), events.size())
                << events;
        }
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(ParserGenerated, SoupsKeepTheSinkGuaranteesCif11) {
    check_soups(CifVersion::Cif11);
}
TEST(ParserGenerated, SoupsKeepTheSinkGuaranteesCif20) {
    check_soups(CifVersion::Cif20);
}

}  // namespace

namespace {

using quarzel::ValueType;
using quarzel::testing::GuaranteeChecker;

// Feeds the checker a stream written as words: block frame endframe loop
// endloop tag value value7 list endlist table key endtable.
std::vector<std::string> verdict(std::string_view script) {
    static const std::string_view tags[] = {"_a"};
    GuaranteeChecker c;
    std::size_t pos = 0;
    while (pos < script.size()) {
        std::size_t end = script.find(' ', pos);
        if (end == std::string_view::npos) end = script.size();
        const std::string_view w = script.substr(pos, end - pos);
        pos = end + 1;
        if (w == "block")
            c.on_data_block("x");
        else if (w == "frame")
            c.on_save_frame_start("f");
        else if (w == "endframe")
            c.on_save_frame_end();
        else if (w == "loop")
            c.on_loop_start(tags);
        else if (w == "endloop")
            c.on_loop_end();
        else if (w == "tag")
            c.add_tag("_a");
        else if (w == "value")
            c.add_value("1", ValueType::String);
        else if (w == "value7")
            c.add_value("1", ValueType::None);
        else if (w == "list")
            c.on_list_start();
        else if (w == "endlist")
            c.on_list_end();
        else if (w == "table")
            c.on_table_start();
        else if (w == "key")
            c.on_table_key("k", ValueType::SingleQuoted);
        else if (w == "endtable")
            c.on_table_end();
        else
            ADD_FAILURE() << "unknown word " << w;
    }
    c.finish();
    return c.violations();
}

// The checker must reject broken streams, or the tests above prove nothing.
TEST(GuaranteeChecker, RejectsBrokenStreams) {
    const std::string_view broken[] = {
        "tag",
        "tag tag value",
        "value",
        "tag value value",
        "tag value7",
        "frame frame endframe",
        "frame",
        "endframe",
        "frame block endframe",
        "loop",
        "loop tag value endloop",
        "loop value endloop endloop",
        "tag list",
        "tag list table endlist endtable",
        "tag list tag value endlist",
        "tag table value endtable",
        "tag table key endtable",
        "tag table key key value endtable",
        "tag list key value endlist",
        "loop list endloop endlist",
        "tag list endlist list endlist",
    };
    for (std::string_view script : broken) EXPECT_FALSE(verdict(script).empty()) << script;
}

TEST(GuaranteeChecker, AcceptsSoundStreams) {
    const std::string_view sound[] = {
        "",
        "block tag value frame tag list value endlist endframe block",
        "block frame endframe frame endframe",
        "loop value list value endlist table key value endtable endloop",
        // A container in a table's key position arrives as a value without key.
        "tag table list endlist key table endtable endtable",
    };
    for (std::string_view script : sound) {
        const std::vector<std::string> v = verdict(script);
        EXPECT_TRUE(v.empty()) << script << ": " << (v.empty() ? "" : v.front());
    }
}

}  // namespace
