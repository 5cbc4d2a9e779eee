#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace {

TEST(Quoted, Escapes) {
    struct {
        std::string_view in, out;
    } cases[] = {
        {"abc", "\"abc\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\t\r\n", "\"\\t\\r\\n\""},
        {std::string_view("\0", 1), "\"\\0\""},
        {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"\xC2\x85", "\"\\u{85}\""},
        {"", "\"\""},
    };
    for (auto& c : cases) EXPECT_EQ(quarzel::quoted(c.in), c.out) << c.in;
}

TEST(Quoted, List) {
    std::vector<std::string_view> tags = {"_a", "_b"};
    EXPECT_EQ(quarzel::quoted_list(tags), "[\"_a\", \"_b\"]");
    EXPECT_EQ(quarzel::quoted_list(std::vector<std::string_view>{}), "[]");
}

TEST(Utf8Prefix, NeverSplitsACharacter) {
    std::string s(39, 'a');
    s += "\xC3\xA9xyz";  // é straddles byte 40
    EXPECT_EQ(quarzel::utf8_prefix(s, 40), std::string(39, 'a'));
    EXPECT_EQ(quarzel::utf8_prefix(s, 41), std::string(39, 'a') + "\xC3\xA9");
    EXPECT_EQ(quarzel::utf8_prefix("short", 40), "short");
}

}  // namespace
