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
                      FoldCase{"prefix_then_folding", "> \\\n> a\\\n> b\n> c", "ab\nc"},
                      FoldCase{"prefix_is_whole_line", "ab\\\nab\nabc", "\nc"},
                      FoldCase{"prefix_with_double_marker", "#\\\\ \n#x\n#\\", "\\ \nx\n\\"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DoubleMarker, TransformMultiline,
    ::testing::Values(FoldCase{"first_line_one_backslash", "\\\\\na\\\nb", "\\\na\\\nb"},
                      FoldCase{"keeps_trailing_blanks", "\\\\ \t\nx", "\\ \t\nx"},
                      FoldCase{"alone", "\\\\", "\\"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
