#include <gtest/gtest.h>

#include "core/version.hpp"

using quarzel::CifVersion;
using quarzel::detect_version;

namespace {

struct VersionCase {
    const char* name;
    std::string source;
    CifVersion version;
    std::string text;
    std::uint32_t line_offset;
    std::string error;  // expected message, empty for none
};

class DetectVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(DetectVersion, Detects) {
    const VersionCase& c = GetParam();
    auto r = detect_version(c.source);
    EXPECT_EQ(r.version, c.version);
    EXPECT_EQ(std::string(r.text), c.text);
    EXPECT_EQ(r.line_offset, c.line_offset);
    EXPECT_EQ(r.text.find('\r'), std::string_view::npos);
    if (c.error.empty()) {
        EXPECT_TRUE(r.errors.empty());
    } else {
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors[0].message, c.error);
        EXPECT_EQ(r.errors[0].error_type, quarzel::ErrorType::Lexical);
        EXPECT_EQ(r.errors[0].column, 1u);
        EXPECT_EQ(r.errors[0].recovery_action, "defaulting to CIF 2.0");
        EXPECT_EQ("unrecognised CIF version: " + r.errors[0].context, c.error);
    }
}

const auto V11 = CifVersion::Cif11;
const auto V20 = CifVersion::Cif20;

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectVersion,
    ::testing::Values(
        VersionCase{"empty", "", V11, "", 0, ""},
        VersionCase{"magic_only", "#\\#CIF_2.0", V20, "", 1, ""},
        VersionCase{"magic_lf", "#\\#CIF_2.0\n", V20, "", 1, ""},
        VersionCase{"magic_crlf", "#\\#CIF_2.0\r\ndata_x\r\n", V20, "data_x\n", 1, ""},
        VersionCase{"lone_cr", "#\\#CIF_2.0\rdata_x\r", V20, "data_x\n", 1, ""},
        VersionCase{"blank_then_11", "\n\n#\\#CIF_1.1\ndata_x", V11, "data_x", 3, ""},
        VersionCase{"trailing_blanks", "#\\#CIF_2.0 \t\ndata_x", V20, "data_x", 1, ""},
        VersionCase{"trailing_nbsp", "#\\#CIF_2.0\xC2\xA0\ndata_x", V20, "data_x", 1, ""},
        VersionCase{"token_with_space", "#\\#CIF_2.0 remark\ndata_x", V11,
                    "#\\#CIF_2.0 remark\ndata_x", 0, ""},
        VersionCase{"bare_magic", "#\\#CIF_\ndata_x", V11, "#\\#CIF_\ndata_x", 0, ""},
        VersionCase{"leading_space", " #\\#CIF_2.0\ndata_x", V11, " #\\#CIF_2.0\ndata_x", 0, ""},
        VersionCase{"small_letters", "#\\#cif_2.0\n", V11, "#\\#cif_2.0\n", 0, ""},
        VersionCase{"version_200", "#\\#CIF_2.00\ndata_x", V20, "data_x", 1,
                    "unrecognised CIF version: #\\#CIF_2.00"},
        VersionCase{"version_30_late", "\n \n#\\#CIF_3.0\n", V20, "", 3,
                    "unrecognised CIF version: #\\#CIF_3.0"},
        VersionCase{"bom_magic", "\xEF\xBB\xBF#\\#CIF_2.0\ndata_x", V20, "data_x", 1, ""},
        VersionCase{"comment_first", "# hello\n#\\#CIF_2.0\n", V11, "# hello\n#\\#CIF_2.0\n", 0,
                    ""},
        VersionCase{"only_blank_crlf", "\r\n\r\n", V11, "\n\n", 0, ""},
        VersionCase{"only_unicode_blank", "\xE3\x80\x80\n\t", V11, "\xE3\x80\x80\n\t", 0, ""},
        VersionCase{"only_unicode_blank_bom_later", "\n\xEF\xBB\xBF", V11, "\n\xEF\xBB\xBF", 0,
                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A byte order mark where the text starts is dropped, whatever follows it;
// CIF 1.1 (ASCII only) reports it once, where it stood. CIF 2.0 permits it.
struct BomCase {
    const char* name;
    std::string source;
    CifVersion version;
    std::string text;
    std::uint32_t line_offset;
    std::uint32_t reported_line;  // 0: no record
};

class ByteOrderMark : public ::testing::TestWithParam<BomCase> {};

TEST_P(ByteOrderMark, DroppedWhereTheTextStarts) {
    const BomCase& c = GetParam();
    auto r = detect_version(c.source);
    EXPECT_EQ(r.version, c.version);
    EXPECT_EQ(std::string(r.text), c.text);
    EXPECT_EQ(r.line_offset, c.line_offset);
    if (c.reported_line == 0) {
        EXPECT_TRUE(r.errors.empty());
        return;
    }
    ASSERT_EQ(r.errors.size(), 1u);
    const quarzel::NativeParseError& e = r.errors[0];
    EXPECT_EQ(e.error_type, quarzel::ErrorType::Lexical);
    EXPECT_EQ(e.message, "character U+FEFF is not permitted in CIF 1.x");
    EXPECT_EQ(e.context, "\xEF\xBB\xBF");
    EXPECT_EQ(e.recovery_action, "byte order mark dropped");
    EXPECT_EQ(e.line, c.reported_line);
    EXPECT_EQ(e.column, 1u);
}

#define BOM "\xEF\xBB\xBF"
INSTANTIATE_TEST_SUITE_P(
    Cases, ByteOrderMark,
    ::testing::Values(BomCase{"before_block", BOM "data_x", V11, "data_x", 0, 1},
                      BomCase{"before_comment", BOM "# c\ndata_x", V11, "# c\ndata_x", 0, 1},
                      BomCase{"on_blank_line", BOM "\n_a 1", V11, "_a 1", 1, 1},
                      BomCase{"on_first_text_line", "\n \n" BOM "data_x", V11, "data_x", 2, 3},
                      BomCase{"crlf", BOM "data_x\r\n_a 1", V11, "data_x\n_a 1", 0, 1},
                      BomCase{"only_blank", BOM "\n\n", V11, "\n\n", 0, 1},
                      BomCase{"alone", BOM, V11, "", 0, 1},
                      BomCase{"cif11_line", BOM "#\\#CIF_1.1\ndata_x", V11, "data_x", 1, 1},
                      BomCase{"cif20_line", BOM "#\\#CIF_2.0\ndata_x", V20, "data_x", 1, 0},
                      BomCase{"blank_then_cif20", BOM "\n" BOM "#\\#CIF_2.0\n", V20, "", 2, 0},
                      // Only one, at the start: a second is text.
                      BomCase{"two", BOM BOM "data_x", V11, BOM "data_x", 0, 1},
                      BomCase{"none", "data_x", V11, "data_x", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });
#undef BOM

TEST(DetectVersion, ErrorLineIsMagicLine) {
    auto r = detect_version("\n\n#\\#CIF_9\n_a 1\n");
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].line, 3u);
    EXPECT_EQ(r.errors[0].context, "#\\#CIF_9");
}

TEST(DetectVersion, TextSurvivesMove) {
    std::string src = "#\\#CIF_2.0\r\ndata_long_enough_to_leave_small_string_storage\r\n";
    auto r = detect_version(src);
    auto moved = std::move(r);
    EXPECT_EQ(std::string(moved.text), "data_long_enough_to_leave_small_string_storage\n");
}

}  // namespace
