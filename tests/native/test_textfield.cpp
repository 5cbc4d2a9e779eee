#include <gtest/gtest.h>

#include <string>

#include "core/error.hpp"
#include "core/textfield.hpp"

namespace {

struct FoldCase {
    const char* name;
    std::string raw;
    std::string expected;  // equal to raw when nothing applies
};

void PrintTo(const FoldCase& c, std::ostream* os) {
    *os << c.name;
}

class TransformMultiline : public ::testing::TestWithParam<FoldCase> {};

TEST_P(TransformMultiline, Transforms) {
    const FoldCase& c = GetParam();
    const std::string got = quarzel::transform_multiline(c.raw);
    EXPECT_EQ(got, c.expected) << "raw:      " << quarzel::quoted(c.raw)
                               << "\nexpected: " << quarzel::quoted(c.expected)
                               << "\ngot:      " << quarzel::quoted(got);
    const auto changed = quarzel::transform_multiline_if_changed(c.raw);
    if (c.expected == c.raw) {
        EXPECT_FALSE(changed.has_value());
    } else {
        ASSERT_TRUE(changed.has_value());
        EXPECT_EQ(*changed, c.expected);
    }
}

#define UNCHANGED(name, raw) \
    FoldCase {               \
        name, raw, raw       \
    }

INSTANTIATE_TEST_SUITE_P(Unchanged, TransformMultiline,
                         ::testing::Values(UNCHANGED("empty", ""),
                                           UNCHANGED("plain_field", "\nfirst line\nsecond line"),
                                           UNCHANGED("backslash_only_on_later_line", "\n\\\nx\\"),
                                           UNCHANGED("file_path", "C:\\dir\\file\nnext"),
                                           UNCHANGED("three_backslashes", "\\\\\\\nx"),
                                           UNCHANGED("text_after_single_marker", "\\ x\nline"),
                                           UNCHANGED("text_after_double_marker", "\\\\x\nline"),
                                           UNCHANGED("prefix_missing_on_a_line", ">\\\n>a\nb"),
                                           UNCHANGED("short_line_lacks_prefix", "ab\\\nabc\na"),
                                           UNCHANGED("empty_line_lacks_prefix", ">\\\n>a\n")),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Folding, TransformMultiline,
    ::testing::Values(FoldCase{"lone_backslash", "\\", ""},
                      FoldCase{"marker_with_blanks", "\\ \t\nabc", "abc"},
                      FoldCase{"keeps_space_before_backslash", "\\\nlong line \\\ncontinued",
                               "long line continued"},
                      FoldCase{"blanks_after_continuation_backslash", "\\\na\\  \t\nb\nc", "ab\nc"},
                      FoldCase{"blank_line_is_not_continuation", "\\\n \t\nx", " \t\nx"},
                      FoldCase{"trailing_blanks_of_plain_line_kept", "\\\na\\\nb  \nc", "ab  \nc"},
                      FoldCase{"last_line_continuation", "\\\na\nb\\", "a\nb"},
                      FoldCase{"last_line_only_backslash", "\\\na\n\\", "a"},
                      FoldCase{"several_continuations", "\\\na\\\nb\\\nc\nd", "abc\nd"},
                      FoldCase{"empty_lines_kept", "\\\n\na\n", "\na\n"},
                      FoldCase{"backslash_line_in_middle", "\\\na\n\\\nb", "a\nb"},
                      FoldCase{"inner_backslash_stays", "\\\na\\b\nc", "a\\b\nc"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Prefix, TransformMultiline,
    ::testing::Values(FoldCase{"greater_than", ">\\\n>a\n>b", "a\nb"},
                      FoldCase{"prefix_alone_does_not_fold", "> \\\n> a\\\n> b\n> c",
                               "a\\\nb\nc"},
                      FoldCase{"prefix_then_folding", "> \\\\\n> a\\\n> b\n> c", "ab\nc"},
                      FoldCase{"prefix_folding_blanks_after_marker", "|\\\\ \t\n|a\\ \n|b",
                               "ab"},
                      FoldCase{"prefix_is_whole_line", "ab\\\nab\nabc", "\nc"},
                      FoldCase{"prefix_folding_escaped_backslash", "#\\\\ \n#x\\\\\n#\n#y",
                               "x\\\ny"},
                      FoldCase{"prefix_no_later_line", ">>\\", ""},
                      FoldCase{"prefix_folding_no_later_line", ">\\\\", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Two backslashes without a prefix, and a prefix starting with ';' (no later
// line could carry it), signal nothing.
INSTANTIATE_TEST_SUITE_P(
    NoProtocol, TransformMultiline,
    ::testing::Values(UNCHANGED("double_marker_without_prefix", "\\\\\na\\\nb"),
                      UNCHANGED("double_marker_blanks", "\\\\ \t\nx"),
                      UNCHANGED("double_marker_alone", "\\\\"),
                      UNCHANGED("semicolon_prefix", ";\\"),
                      UNCHANGED("semicolon_prefix_double", ";>\\\\")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
