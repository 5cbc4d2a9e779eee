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
        // Format characters, separators, private use and unassigned code
        // points are written escaped; other letters and symbols as they are.
        {"a\xC2\xA0"
         "b\xE3\x80\x80",
         "\"a\\u{a0}b\\u{3000}\""},
        {"\xE2\x81\xA6x\xE2\x81\xA9", "\"\\u{2066}x\\u{2069}\""},
        {"\xD8\x9C\xE1\xA0\x8E\xE2\x81\xAA\xE2\x81\xAF", "\"\\u{61c}\\u{180e}\\u{206a}\\u{206f}\""},
        {"\xF3\xA0\x80\x81\xF3\xA0\x81\xBF", "\"\\u{e0001}\\u{e007f}\""},
        {"\xE2\x80\xA8\xE2\x80\xA9\xC2\xAD", "\"\\u{2028}\\u{2029}\\u{ad}\""},
        {"\xEE\x80\x80\xF4\x8F\xBF\xBF\xCD\xB8", "\"\\u{e000}\\u{10ffff}\\u{378}\""},
        // Assigned after the interpreter's Unicode version: unassigned to it.
        {"\xEA\x9F\x8E", "\"\\u{a7ce}\""},
        {"\xE2\x82\xAC\xF0\x9F\x98\x80\xCC\x81", "\"\xE2\x82\xAC\xF0\x9F\x98\x80\xCC\x81\""},
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
