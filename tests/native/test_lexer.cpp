#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/lexer.hpp"
#include "core/version.hpp"
#include "corpus.hpp"

using quarzel::CifVersion;
using quarzel::Lexer;
using quarzel::Token;
using quarzel::TokenList;
using quarzel::TokenType;
using quarzel::ValueType;

namespace {

const auto V11 = CifVersion::Cif11;
const auto V20 = CifVersion::Cif20;

const char* type_name(TokenType t) {
    switch (t) {
        case TokenType::Tag:
            return "TAG";
        case TokenType::Keyword:
            return "KEYWORD";
        case TokenType::Value:
            return "VALUE";
    }
    return "?";
}

std::string value_type_name(ValueType v) {
    if (v == ValueType::None) return "-";
    return std::string(quarzel::kValueTypeNames[static_cast<int>(v)]);
}

// One line per token: quoted value, type, value type, line:column; each error
// on its own line below: "  ! message | quoted context | line:column".
std::string render(const TokenList& list) {
    std::ostringstream out;
    for (const Token& t : list.tokens) {
        out << quarzel::quoted(t.value) << ' ' << type_name(t.type) << ' '
            << value_type_name(t.value_type) << ' ' << t.line << ':' << t.column << '\n';
        for (const auto& e : list.errors_of(t))
            out << "  ! " << e.message << " | " << quarzel::quoted(e.context) << " | " << e.line
                << ':' << e.column << '\n';
    }
    return out.str();
}

std::string lex(std::string_view text, CifVersion version, std::uint32_t offset = 0) {
    return render(quarzel::tokenise(Lexer(text, version, offset)));
}

struct LexCase {
    const char* name;
    std::string text;
    CifVersion version;
    std::uint32_t line_offset;
    std::string expected;
};

void PrintTo(const LexCase& c, std::ostream* os) {
    *os << c.name;
}

class LexTable : public ::testing::TestWithParam<LexCase> {};

TEST_P(LexTable, Tokens) {
    const LexCase& c = GetParam();
    std::string got = lex(c.text, c.version, c.line_offset);
    EXPECT_EQ(got, c.expected) << "expected:\n" << c.expected << "got:\n" << got;
}

const std::string kWorked = "data_x\n_a [1 'b']\n_t {'k':v}\n;\ntext\n;\n";

INSTANTIATE_TEST_SUITE_P(
    WorkedExample, LexTable,
    ::testing::Values(
        LexCase{"cif2", kWorked, V20, 1,
                "\"data_x\" KEYWORD - 2:1\n"
                "\"_a\" TAG - 3:1\n"
                "\"[\" VALUE STRING 3:4\n"
                "\"1\" VALUE STRING 3:5\n"
                "\"b\" VALUE SINGLE_QUOTED 3:7\n"
                "\"]\" VALUE STRING 3:10\n"
                "\"_t\" TAG - 4:1\n"
                "\"{\" VALUE STRING 4:4\n"
                "\"k\" VALUE SINGLE_QUOTED 4:5\n"
                "\":\" VALUE STRING 4:8\n"
                "\"v\" VALUE STRING 4:9\n"
                "\"}\" VALUE STRING 4:10\n"
                "\"\\ntext\" VALUE MULTILINE_STRING 5:1\n"},
        LexCase{"cif1", kWorked, V11, 1,
                "\"data_x\" KEYWORD - 2:1\n"
                "\"_a\" TAG - 3:1\n"
                "\"[1\" VALUE STRING 3:4\n"
                "  ! bare word beginning with '[' is not permitted in CIF 1.x | \"[\" | 3:4\n"
                "\"b']\" VALUE SINGLE_QUOTED 3:7\n"
                "  ! unterminated single quoted string | \"'b']\" | 3:7\n"
                "\"_t\" TAG - 4:1\n"
                "\"{'k':v}\" VALUE STRING 4:4\n"
                "\"\\ntext\" VALUE MULTILINE_STRING 5:1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Words, LexTable,
    ::testing::Values(
        LexCase{"empty", "", V20, 0, ""}, LexCase{"only_blanks", " \t\n \n", V11, 0, ""},
        LexCase{"keywords",
                "data_Block DATA_b Save_f save_ data_ loop_ LOOP_ stop_ global_ GLOBAL_", V11, 0,
                "\"data_Block\" KEYWORD - 1:1\n"
                "\"DATA_b\" KEYWORD - 1:12\n"
                "\"Save_f\" KEYWORD - 1:19\n"
                "\"save_\" KEYWORD - 1:26\n"
                "\"data_\" KEYWORD - 1:32\n"
                "\"loop_\" KEYWORD - 1:38\n"
                "\"LOOP_\" KEYWORD - 1:44\n"
                "\"stop_\" KEYWORD - 1:50\n"
                "\"global_\" KEYWORD - 1:56\n"
                "\"GLOBAL_\" KEYWORD - 1:64\n"},
        LexCase{"not_keywords", "loop_x global data stop global__ dat_a", V11, 0,
                "\"loop_x\" VALUE STRING 1:1\n"
                "\"global\" VALUE STRING 1:8\n"
                "\"data\" VALUE STRING 1:15\n"
                "\"stop\" VALUE STRING 1:20\n"
                "\"global__\" VALUE STRING 1:25\n"
                "\"dat_a\" VALUE STRING 1:34\n"},
        LexCase{"tags_and_placeholders", "_a.b _ ? . .. ?a _data_x", V20, 0,
                "\"_a.b\" TAG - 1:1\n"
                "\"_\" TAG - 1:6\n"
                "\"?\" VALUE PLACEHOLDER 1:8\n"
                "\".\" VALUE PLACEHOLDER 1:10\n"
                "\"..\" VALUE STRING 1:12\n"
                "\"?a\" VALUE STRING 1:15\n"
                "\"_data_x\" TAG - 1:18\n"},
        LexCase{"comment_after_blank", "abc ghi\nx # y\n#z", V11, 0,
                "\"abc\" VALUE STRING 1:1\n"
                "\"ghi\" VALUE STRING 1:5\n"
                "\"x\" VALUE STRING 2:1\n"},
        LexCase{"quotes_inside_word", "a'b\"c a;b", V20, 0,
                "\"a'b\\\"c\" VALUE STRING 1:1\n"
                "\"a;b\" VALUE STRING 1:7\n"},
        LexCase{"semicolon_not_column_1", "a ;b\n ;c\n", V11, 0,
                "\"a\" VALUE STRING 1:1\n"
                "\";b\" VALUE STRING 1:3\n"
                "\";c\" VALUE STRING 2:2\n"},
        LexCase{"line_offset", "\n  x", V11, 3, "\"x\" VALUE STRING 5:3\n"},
        LexCase{"byte_order_mark",
                "\xEF\xBB\xBF"
                "data_x _t",
                V11, 0,
                "\"\\u{feff}data_x\" VALUE STRING 1:1\n"
                "\"_t\" TAG - 1:9\n"},
        LexCase{"control_and_nbsp_are_word_material",
                "a\xC2\xA0"
                "b \x0B \x0C"
                "c",
                V11, 0,
                "\"a\\u{a0}b\" VALUE STRING 1:1\n"
                "\"\\u{b}\" VALUE STRING 1:5\n"
                "\"\\u{c}c\" VALUE STRING 1:7\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A number sign after a token's first byte belongs to the token; at the
// start of a token (after white space, a closing quote or bracket, a colon)
// it opens a comment.
INSTANTIATE_TEST_SUITE_P(
    NumberSign, LexTable,
    ::testing::Values(
        LexCase{"words_cif1", "abc#def a# AMCSD#0010129 &#x00A1;\n", V11, 0,
                "\"abc#def\" VALUE STRING 1:1\n"
                "\"a#\" VALUE STRING 1:9\n"
                "\"AMCSD#0010129\" VALUE STRING 1:12\n"
                "\"&#x00A1;\" VALUE STRING 1:26\n"},
        LexCase{"words_cif2", "abc#def a# x##\n", V20, 0,
                "\"abc#def\" VALUE STRING 1:1\n"
                "\"a#\" VALUE STRING 1:9\n"
                "\"x##\" VALUE STRING 1:12\n"},
        LexCase{"word_start_is_comment", "#a b\n c #d\n\t#e\nf", V20, 0,
                "\"c\" VALUE STRING 2:2\n"
                "\"f\" VALUE STRING 4:1\n"},
        LexCase{"tags_cif1", "_tag#1 _a# _#", V11, 0,
                "\"_tag#1\" TAG - 1:1\n"
                "\"_a#\" TAG - 1:8\n"
                "\"_#\" TAG - 1:12\n"},
        LexCase{"tags_cif2", "_tag#1 _a#[1]", V20, 0,
                "\"_tag#1\" TAG - 1:1\n"
                "\"_a#[1]\" TAG - 1:8\n"},
        LexCase{"headers_cif1", "data_a#b save_x#y data_# save_", V11, 0,
                "\"data_a#b\" KEYWORD - 1:1\n"
                "\"save_x#y\" KEYWORD - 1:10\n"
                "\"data_#\" KEYWORD - 1:19\n"
                "\"save_\" KEYWORD - 1:26\n"},
        LexCase{"headers_cif2", "data_a#b save_x#[y] save_", V20, 0,
                "\"data_a#b\" KEYWORD - 1:1\n"
                "\"save_x#[y]\" KEYWORD - 1:10\n"
                "\"save_\" KEYWORD - 1:21\n"},
        // Not a keyword followed by a comment: a word, as loop_x is.
        LexCase{"keyword_then_number_sign", "loop_#x stop_#", V11, 0,
                "\"loop_#x\" VALUE STRING 1:1\n"
                "\"stop_#\" VALUE STRING 1:9\n"},
        LexCase{"semicolon_word", "a ;#x", V11, 0,
                "\"a\" VALUE STRING 1:1\n"
                "\";#x\" VALUE STRING 1:3\n"},
        LexCase{"non_ascii_before_and_after", "\xC3\xA9#\xC3\xA9 x", V20, 0,
                "\"\xC3\xA9#\xC3\xA9\" VALUE STRING 1:1\n"
                "\"x\" VALUE STRING 1:5\n"},
        LexCase{"list_items", "[a#b c#] [#d\n]", V20, 0,
                "\"[\" VALUE STRING 1:1\n"
                "\"a#b\" VALUE STRING 1:2\n"
                "\"c#\" VALUE STRING 1:6\n"
                "\"]\" VALUE STRING 1:8\n"
                "\"[\" VALUE STRING 1:10\n"
                "\"]\" VALUE STRING 2:1\n"},
        LexCase{"word_before_bracket", "a#[b]#c\nd", V20, 0,
                "\"a#\" VALUE STRING 1:1\n"
                "\"[\" VALUE STRING 1:3\n"
                "\"b\" VALUE STRING 1:4\n"
                "\"]\" VALUE STRING 1:5\n"
                "\"d\" VALUE STRING 2:1\n"},
        LexCase{"table_key_and_value", "{'k#1':v#2 'k':#c\n}", V20, 0,
                "\"{\" VALUE STRING 1:1\n"
                "\"k#1\" VALUE SINGLE_QUOTED 1:2\n"
                "\":\" VALUE STRING 1:7\n"
                "\"v#2\" VALUE STRING 1:8\n"
                "\"k\" VALUE SINGLE_QUOTED 1:12\n"
                "\":\" VALUE STRING 1:15\n"
                "\"}\" VALUE STRING 2:1\n"},
        LexCase{"after_quote_cif2", "'a'#b c\n\"d\"#e\nf", V20, 0,
                "\"a\" VALUE SINGLE_QUOTED 1:1\n"
                "\"d\" VALUE DOUBLE_QUOTED 2:1\n"
                "\"f\" VALUE STRING 3:1\n"},
        LexCase{"after_triple_quote_cif2", "'''a'''#b\nc", V20, 0,
                "\"a\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "\"c\" VALUE STRING 2:1\n"},
        // A CIF 1.1 quote followed by '#' does not close the string.
        LexCase{"after_quote_cif1", "\"a\"#b\" c", V11, 0,
                "\"a\\\"#b\" VALUE DOUBLE_QUOTED 1:1\n"
                "\"c\" VALUE STRING 1:8\n"},
        LexCase{"brackets_are_word_material_cif1", "[a]#b c", V11, 0,
                "\"[a]#b\" VALUE STRING 1:1\n"
                "  ! bare word beginning with '[' is not permitted in CIF 1.x | \"[\" | 1:1\n"
                "\"c\" VALUE STRING 1:7\n"},
        LexCase{"after_text_field", ";\nx\n;#y\nz", V11, 0,
                "\"\\nx\" VALUE MULTILINE_STRING 1:1\n"
                "\"z\" VALUE STRING 4:1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cif2Punctuation, LexTable,
    ::testing::Values(
        LexCase{"list", "[1 2]", V20, 0,
                "\"[\" VALUE STRING 1:1\n"
                "\"1\" VALUE STRING 1:2\n"
                "\"2\" VALUE STRING 1:4\n"
                "\"]\" VALUE STRING 1:5\n"},
        LexCase{"tag_keeps_brackets", "_tag[1] _T{x}", V20, 0,
                "\"_tag[1]\" TAG - 1:1\n"
                "\"_T{x}\" TAG - 1:9\n"},
        LexCase{"names_keep_brackets", "data_a{b} SAVE_[x] data_[", V20, 0,
                "\"data_a{b}\" KEYWORD - 1:1\n"
                "\"SAVE_[x]\" KEYWORD - 1:11\n"
                "\"data_[\" KEYWORD - 1:20\n"},
        LexCase{"other_words_stop", "ab[c dat[a loop_[ x}y", V20, 0,
                "\"ab\" VALUE STRING 1:1\n"
                "\"[\" VALUE STRING 1:3\n"
                "\"c\" VALUE STRING 1:4\n"
                "\"dat\" VALUE STRING 1:6\n"
                "\"[\" VALUE STRING 1:9\n"
                "\"a\" VALUE STRING 1:10\n"
                "\"loop_\" KEYWORD - 1:12\n"
                "\"[\" VALUE STRING 1:17\n"
                "\"x\" VALUE STRING 1:19\n"
                "\"}\" VALUE STRING 1:20\n"
                "\"y\" VALUE STRING 1:21\n"},
        LexCase{"colon_after_token", "{'k':v \"k\":'w' ]: a:b}", V20, 0,
                "\"{\" VALUE STRING 1:1\n"
                "\"k\" VALUE SINGLE_QUOTED 1:2\n"
                "\":\" VALUE STRING 1:5\n"
                "\"v\" VALUE STRING 1:6\n"
                "\"k\" VALUE DOUBLE_QUOTED 1:8\n"
                "\":\" VALUE STRING 1:11\n"
                "\"w\" VALUE SINGLE_QUOTED 1:12\n"
                "\"]\" VALUE STRING 1:16\n"
                "\":\" VALUE STRING 1:17\n"
                "\"a:b\" VALUE STRING 1:19\n"
                "\"}\" VALUE STRING 1:22\n"},
        LexCase{"colon_after_space_starts_word", ":x 'k' :v : 'k'#c\n:", V20, 0,
                "\":x\" VALUE STRING 1:1\n"
                "\"k\" VALUE SINGLE_QUOTED 1:4\n"
                "\":v\" VALUE STRING 1:8\n"
                "\":\" VALUE STRING 1:11\n"
                "\"k\" VALUE SINGLE_QUOTED 1:13\n"
                "\":\" VALUE STRING 2:1\n"},
        LexCase{"colon_word_stops_at_bracket", " :a[", V20, 0,
                "\":a\" VALUE STRING 1:2\n"
                "\"[\" VALUE STRING 1:4\n"},
        LexCase{"colon_after_text_field", ";\nx\n;:y", V20, 0,
                "\"\\nx\" VALUE MULTILINE_STRING 1:1\n"
                "\":\" VALUE STRING 3:2\n"
                "\"y\" VALUE STRING 3:3\n"},
        LexCase{"cif1_brackets_are_words", "[1 $a {'k':v} a]b _x[1] : 'k':v", V11, 0,
                "\"[1\" VALUE STRING 1:1\n"
                "  ! bare word beginning with '[' is not permitted in CIF 1.x | \"[\" | 1:1\n"
                "\"$a\" VALUE STRING 1:4\n"
                "  ! bare word beginning with '$' is not permitted in CIF 1.x | \"$\" | 1:4\n"
                "\"{'k':v}\" VALUE STRING 1:7\n"
                "\"a]b\" VALUE STRING 1:15\n"
                "\"_x[1]\" TAG - 1:19\n"
                "\":\" VALUE STRING 1:25\n"
                "\"k':v\" VALUE SINGLE_QUOTED 1:27\n"
                "  ! unterminated single quoted string | \"'k':v\" | 1:27\n"},
        LexCase{"cif2_dollar_is_fine", "$a", V20, 0, "\"$a\" VALUE STRING 1:1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    QuotedStrings, LexTable,
    ::testing::Values(LexCase{"empty_single_cif1", "'' x", V11, 0,
                              "\"\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"x\" VALUE STRING 1:4\n"},
                      LexCase{"empty_single_cif2", "'' x", V20, 0,
                              "\"\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"x\" VALUE STRING 1:4\n"},
                      LexCase{"double", "\"a b\" c", V11, 0,
                              "\"a b\" VALUE DOUBLE_QUOTED 1:1\n"
                              "\"c\" VALUE STRING 1:7\n"},
                      LexCase{"cif2_closes_at_next_quote", "'a'b", V20, 0,
                              "\"a\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"b\" VALUE STRING 1:4\n"},
                      LexCase{"cif1_quote_inside", "'a'b", V11, 0,
                              "\"a'b\" VALUE SINGLE_QUOTED 1:1\n"
                              "  ! unterminated single quoted string | \"'a'b\" | 1:1\n"},
                      LexCase{"cif1_its", "'it's' x", V11, 0,
                              "\"it's\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"x\" VALUE STRING 1:8\n"},
                      LexCase{"cif1_quote_then_hash_does_not_close", "'a'#b'\tc", V11, 0,
                              "\"a'#b\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"c\" VALUE STRING 1:8\n"},
                      LexCase{"cif1_closing_rules", "'a'\n\"b\"", V11, 0,
                              "\"a\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"b\" VALUE DOUBLE_QUOTED 2:1\n"},
                      LexCase{"cif1_closed_by_nul", std::string("'a'\0b", 5), V11, 0,
                              "\"a\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"\\0b\" VALUE STRING 1:4\n"},
                      LexCase{"other_quote_is_content", "'a\"b' \"c'd\"", V20, 0,
                              "\"a\\\"b\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"c'd\" VALUE DOUBLE_QUOTED 1:7\n"},
                      LexCase{"line_end_ends_string", "x 'abc\ny", V20, 0,
                              "\"x\" VALUE STRING 1:1\n"
                              "\"abc\" VALUE SINGLE_QUOTED 1:3\n"
                              "  ! unterminated single quoted string | \"'abc\" | 1:3\n"
                              "\"y\" VALUE STRING 2:1\n"},
                      LexCase{"end_of_text_ends_string", "\"", V11, 0,
                              "\"\" VALUE DOUBLE_QUOTED 1:1\n"
                              "  ! unterminated double quoted string | \"\\\"\" | 1:1\n"},
                      LexCase{"context_cut_at_40_bytes", "'" + std::string(45, 'a'), V20, 0,
                              "\"" + std::string(45, 'a') + "\" VALUE SINGLE_QUOTED 1:1\n" +
                                  "  ! unterminated single quoted string | \"'" +
                                  std::string(40, 'a') + "\" | 1:1\n"},
                      LexCase{"context_cut_at_character_boundary",
                              "\"" + std::string(39, 'a') + "\xC3\xA9z", V20, 0,
                              "\"" + std::string(39, 'a') +
                                  "\xC3\xA9z\" VALUE DOUBLE_QUOTED 1:1\n" +
                                  "  ! unterminated double quoted string | \"\\\"" +
                                  std::string(39, 'a') + "\" | 1:1\n"},
                      LexCase{"cif2_no_character_test", "'\xC3\xA9\x0C' x", V20, 0,
                              "\"\xC3\xA9\\u{c}\" VALUE SINGLE_QUOTED 1:1\n"
                              "\"x\" VALUE STRING 1:6\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cif1CharacterTest, LexTable,
    ::testing::Values(
        LexCase{"accent_in_quoted", "x 'caf\xC3\xA9' y", V11, 0,
                "\"x\" VALUE STRING 1:1\n"
                "\"caf\xC3\xA9\" VALUE SINGLE_QUOTED 1:3\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 1:7\n"
                "\"y\" VALUE STRING 1:10\n"},
        LexCase{"several_and_wide",
                "\"\xC3\xA9"
                "a\xF0\x9F\x98\x80\x7F\"",
                V11, 2,
                "\"\xC3\xA9"
                "a\xF0\x9F\x98\x80\\u{7f}\" VALUE DOUBLE_QUOTED 3:1\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 3:2\n"
                "  ! character U+1F600 is not permitted in CIF 1.x | \"\xF0\x9F\x98\x80\" | 3:4\n"
                "  ! character U+007F is not permitted in CIF 1.x | \"\\u{7f}\" | 3:5\n"},
        LexCase{"nul_and_errors_before_unterminated", std::string("'\0\xE2\x82\xAC", 5), V11, 0,
                "\"\\0\xE2\x82\xAC\" VALUE SINGLE_QUOTED 1:1\n"
                "  ! character U+0000 is not permitted in CIF 1.x | \"\\0\" | 1:2\n"
                "  ! character U+20AC is not permitted in CIF 1.x | \"\xE2\x82\xAC\" | 1:3\n"
                "  ! unterminated single quoted string | \"'\\0\xE2\x82\xAC\" | 1:1\n"},
        LexCase{"tab_passes", "'a\tb'", V11, 0, "\"a\\tb\" VALUE SINGLE_QUOTED 1:1\n"},
        // Long texts are checked eight bytes at a time: faults on both sides
        // of word boundaries, the last byte of the text included.
        LexCase{"long_quoted",
                "'0123456789\x1F"
                "0123456\x7F"
                "89abcdefghi\xC3\xA9z~\t\x01'",
                V11, 0,
                "\"0123456789\\u{1f}0123456\\u{7f}89abcdefghi\xC3\xA9z~\\t\\u{1}\" VALUE "
                "SINGLE_QUOTED 1:1\n"
                "  ! character U+001F is not permitted in CIF 1.x | \"\\u{1f}\" | 1:12\n"
                "  ! character U+007F is not permitted in CIF 1.x | \"\\u{7f}\" | 1:20\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 1:32\n"
                "  ! character U+0001 is not permitted in CIF 1.x | \"\\u{1}\" | 1:36\n"},
        // Runs of eight plain bytes are passed whole: a quote inside content
        // and a non-ASCII character after such runs are still seen.
        LexCase{"long_quoted_quote_inside", "'abcdefgh'ijklmnop' x", V11, 0,
                "\"abcdefgh'ijklmnop\" VALUE SINGLE_QUOTED 1:1\n"
                "\"x\" VALUE STRING 1:21\n"},
        LexCase{"long_quoted_cif2_non_ascii",
                "'\xC3\xA9"
                "bcdefghijklmnop' x",
                V20, 0,
                "\"\xC3\xA9"
                "bcdefghijklmnop\" VALUE SINGLE_QUOTED 1:1\n"
                "\"x\" VALUE STRING 1:20\n"},
        LexCase{"not_in_words_comments_triples", "\xC3\xA9 #\xC3\xA9\n'''\xC3\xA9'''", V11, 0,
                "\"\xC3\xA9\" VALUE STRING 1:1\n"
                "\"\xC3\xA9\" VALUE STRING 2:1\n"
                "  ! triple-quoted strings are not valid in CIF 1.x | \"'''\" | 2:1\n"},
        LexCase{"text_field_lines_and_columns", ";\xC3\xA9\nab\x0C\tc\xC3\xA9\n;", V11, 0,
                "\"\xC3\xA9\\nab\\u{c}\\tc\xC3\xA9\" VALUE MULTILINE_STRING 1:1\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 1:2\n"
                "  ! character U+000C is not permitted in CIF 1.x | \"\\u{c}\" | 2:3\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 2:6\n"},
        LexCase{"text_field_errors_before_unterminated", ";\n\xC3\xA9", V11, 4,
                "\"\\n\xC3\xA9\" VALUE MULTILINE_STRING 5:1\n"
                "  ! character U+00E9 is not permitted in CIF 1.x | \"\xC3\xA9\" | 6:1\n"
                "  ! unterminated multiline string | \";\" | 5:1\n"},
        LexCase{"cif2_text_field_untested", ";\xC3\xA9\x0C\n;", V20, 0,
                "\"\xC3\xA9\\u{c}\" VALUE MULTILINE_STRING 1:1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    TripleQuoted, LexTable,
    ::testing::Values(
        LexCase{"cif2_spans_lines", "'''a\nb\"c'd''' x\n\"\"\"q\"\"\"", V20, 0,
                "\"a\\nb\\\"c'd\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "\"x\" VALUE STRING 2:10\n"
                "\"q\" VALUE TRIPLE_DOUBLE_QUOTED 3:1\n"},
        LexCase{"cif2_four_quotes", "'''a'''' b", V20, 0,
                "\"a\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "\" b\" VALUE SINGLE_QUOTED 1:8\n"
                "  ! unterminated single quoted string | \"' b\" | 1:8\n"},
        LexCase{"cif2_empty", "'''''' x", V20, 0,
                "\"\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "\"x\" VALUE STRING 1:8\n"},
        LexCase{"two_quotes_at_end_are_empty_string", "x ''", V20, 0,
                "\"x\" VALUE STRING 1:1\n"
                "\"\" VALUE SINGLE_QUOTED 1:3\n"},
        LexCase{"cif2_unterminated",
                "_t \"\"\"" + std::string(30, 'a') + "\n" + std::string(20, 'b'), V20, 0,
                "\"_t\" TAG - 1:1\n"
                "\"" +
                    std::string(30, 'a') + "\\n" + std::string(20, 'b') +
                    "\" VALUE TRIPLE_DOUBLE_QUOTED 1:4\n" +
                    "  ! unterminated triple double quoted string | \"\\\"\\\"\\\"" +
                    std::string(30, 'a') + "\\n" + std::string(9, 'b') + "\" | 1:4\n"},
        LexCase{"cif2_unterminated_single", "'''ab\xC3\xA9", V20, 0,
                "\"ab\xC3\xA9\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "  ! unterminated triple single quoted string | \"'''ab\xC3\xA9\" | 1:1\n"},
        LexCase{"non_ascii_columns_after_lines", "'''\xC3\xA9\n\xC3\xA9\xC3\xA9''' x", V20, 0,
                "\"\xC3\xA9\\n\xC3\xA9\xC3\xA9\" VALUE TRIPLE_SINGLE_QUOTED 1:1\n"
                "\"x\" VALUE STRING 2:7\n"},
        LexCase{"cif1_one_token_one_error", "'''abc''' x", V11, 0,
                "\"abc\" VALUE STRING 1:1\n"
                "  ! triple-quoted strings are not valid in CIF 1.x | \"'''\" | 1:1\n"
                "\"x\" VALUE STRING 1:11\n"},
        LexCase{"cif1_unterminated", "x \"\"\"a\nb", V11, 0,
                "\"x\" VALUE STRING 1:1\n"
                "\"a\\nb\" VALUE STRING 1:3\n"
                "  ! triple-quoted strings are not valid in CIF 1.x | \"\\\"\\\"\\\"\" | 1:3\n"
                "  ! unterminated triple-quoted string | \"\\\"\\\"\\\"a\\nb\" | 1:3\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    TextFields, LexTable,
    ::testing::Values(LexCase{"two_lines", ";\nfirst\nsecond\n;\n_x", V11, 0,
                              "\"\\nfirst\\nsecond\" VALUE MULTILINE_STRING 1:1\n"
                              "\"_x\" TAG - 5:1\n"},
                      LexCase{"text_after_closing", ";\na\n;x y", V20, 0,
                              "\"\\na\" VALUE MULTILINE_STRING 1:1\n"
                              "\"x\" VALUE STRING 3:2\n"
                              "\"y\" VALUE STRING 3:4\n"},
                      LexCase{"empty_field", ";\n;", V11, 0, "\"\" VALUE MULTILINE_STRING 1:1\n"},
                      LexCase{"text_on_opening_line", ";abc\n;", V11, 0,
                              "\"abc\" VALUE MULTILINE_STRING 1:1\n"},
                      LexCase{"semicolon_at_end", "x\n;", V20, 0,
                              "\"x\" VALUE STRING 1:1\n"
                              "\"\" VALUE MULTILINE_STRING 2:1\n"
                              "  ! unterminated multiline string | \";\" | 2:1\n"},
                      LexCase{"inner_semicolons", ";\na;b\n ;\n;;\n", V11, 0,
                              "\"\\na;b\\n ;\" VALUE MULTILINE_STRING 1:1\n"
                              "\";\" VALUE STRING 4:2\n"},
                      LexCase{"non_ascii_inside", ";\xC3\xA9\n\xC3\xA9\n;\xC3\xA9 x", V20, 0,
                              "\"\xC3\xA9\\n\xC3\xA9\" VALUE MULTILINE_STRING 1:1\n"
                              "\"\xC3\xA9\" VALUE STRING 3:2\n"
                              "\"x\" VALUE STRING 3:4\n"},
                      LexCase{"after_other_tokens", "_a\n;\nv\n;", V11, 0,
                              "\"_a\" TAG - 1:1\n"
                              "\"\\nv\" VALUE MULTILINE_STRING 2:1\n"},
                      LexCase{"unterminated_keeps_everything", ";a\nb\n", V11, 0,
                              "\"a\\nb\\n\" VALUE MULTILINE_STRING 1:1\n"
                              "  ! unterminated multiline string | \";\" | 1:1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Columns, LexTable,
    ::testing::Values(LexCase{"code_points_not_bytes",
                              "\xC3\xA9 x\n\xE2\x82\xAC\xF0\x9F\x98\x80 'y' \"\xC3\xA9\" z", V20, 0,
                              "\"\xC3\xA9\" VALUE STRING 1:1\n"
                              "\"x\" VALUE STRING 1:3\n"
                              "\"\xE2\x82\xAC\xF0\x9F\x98\x80\" VALUE STRING 2:1\n"
                              "\"y\" VALUE SINGLE_QUOTED 2:4\n"
                              "\"\xC3\xA9\" VALUE DOUBLE_QUOTED 2:8\n"
                              "\"z\" VALUE STRING 2:12\n"},
                      LexCase{"tab_counts_one", "\t\tx", V11, 0, "\"x\" VALUE STRING 1:3\n"},
                      LexCase{"comment_with_accents", "a #\xC3\xA9\xC3\xA9\nb", V11, 0,
                              "\"a\" VALUE STRING 1:1\n"
                              "\"b\" VALUE STRING 2:1\n"},
                      LexCase{"semicolon_after_non_ascii_word", "\xC3\xA9;\n\xC3\xA9 ;", V11, 0,
                              "\"\xC3\xA9;\" VALUE STRING 1:1\n"
                              "\"\xC3\xA9\" VALUE STRING 2:1\n"
                              "\";\" VALUE STRING 2:3\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The pull interface and tokenise see the same tokens and errors.
void expect_pull_matches_tokenise(std::string_view text, CifVersion version) {
    TokenList all = quarzel::tokenise(Lexer(text, version, 7));
    Lexer pull(text, version, 7);
    Token t;
    std::size_t i = 0;
    while (pull.next(t)) {
        ASSERT_LT(i, all.tokens.size());
        const Token& u = all.tokens[i++];
        EXPECT_EQ(t.value, u.value);
        EXPECT_EQ(t.value.data(), u.value.data());
        EXPECT_EQ(t.line, u.line);
        EXPECT_EQ(t.column, u.column);
        EXPECT_EQ(t.type, u.type);
        EXPECT_EQ(t.value_type, u.value_type);
        EXPECT_EQ(t.ascii, u.ascii);
        auto a = pull.errors_of(t);
        auto b = all.errors_of(u);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t k = 0; k < a.size(); ++k) {
            EXPECT_EQ(a[k].message, b[k].message);
            EXPECT_EQ(a[k].context, b[k].context);
        }
    }
    EXPECT_EQ(i, all.tokens.size());
    EXPECT_FALSE(pull.next(t));
}

TEST_P(LexTable, PullAgreesWithTokenise) {
    expect_pull_matches_tokenise(GetParam().text, GetParam().version);
}

// Every token's value is a slice of the text, its ascii flag is right, and
// its position is the one found by counting code points from the start.
void expect_sound(std::string_view text, CifVersion version) {
    TokenList all = quarzel::tokenise(Lexer(text, version, 0));
    std::size_t at = 0;  // counted up to here, tokens come in text order
    std::uint32_t line = 1, column = 1;
    for (const Token& t : all.tokens) {
        ASSERT_GE(t.value.data(), text.data());
        ASSERT_LE(t.value.data() + t.value.size(), text.data() + text.size());
        bool ascii = true;
        for (char c : t.value) ascii &= static_cast<unsigned char>(c) < 0x80;
        EXPECT_EQ(t.ascii, ascii);
        // Start of the token: the value itself, or its opening delimiter.
        std::size_t start = static_cast<std::size_t>(t.value.data() - text.data());
        if (t.value_type == ValueType::SingleQuoted || t.value_type == ValueType::DoubleQuoted ||
            t.value_type == ValueType::MultilineString)
            start -= 1;
        else if (t.value_type == ValueType::TripleSingleQuoted ||
                 t.value_type == ValueType::TripleDoubleQuoted ||
                 (t.value_type == ValueType::String && version == CifVersion::Cif11 &&
                  all.errors_of(t).size() && all.errors_of(t)[0].message.starts_with("triple")))
            start -= 3;
        for (; at < start; ++at) {
            if (text[at] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        EXPECT_EQ(t.line, line) << quarzel::quoted(t.value);
        EXPECT_EQ(t.column, column) << quarzel::quoted(t.value);
    }
}

TEST(LexCorpus, PullAgreesAndPositionsAreSound) {
    const auto paths = quarzel::testing::corpus_files();
    ASSERT_FALSE(paths.empty()) << "no test data in " QUARZEL_TEST_DATA_DIR;
    int files = 0;
    for (const auto& path : paths) {
        std::string source = quarzel::testing::read_file(path);
        auto detected = quarzel::detect_version(source);
        SCOPED_TRACE(path.string());
        for (CifVersion v : {V11, V20}) {
            expect_pull_matches_tokenise(detected.text, v);
            expect_sound(detected.text, v);
        }
        ++files;
    }
    EXPECT_GT(files, 10);
}

// Generated texts made of the characters that matter to the lexer.
TEST(LexGenerated, PullAgreesAndPositionsAreSound) {
    static const std::string_view pieces[] = {" ",
                                              "\t",
                                              "\n",
                                              "\n;",
                                              ";",
                                              "'",
                                              "\"",
                                              "'''",
                                              "\"\"\"",
                                              "#",
                                              "a#",
                                              "[",
                                              "]",
                                              "{",
                                              "}",
                                              ":",
                                              "_",
                                              "a",
                                              "data_",
                                              "save_",
                                              "$",
                                              "?",
                                              ".",
                                              "\xC3\xA9",
                                              "\xF0\x9F\x98\x80",
                                              std::string_view("\0", 1),
                                              "\x0C"};
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next_random = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const std::size_t count = next_random() % 40;
        for (std::size_t i = 0; i < count; ++i) text += pieces[next_random() % std::size(pieces)];
        SCOPED_TRACE(quarzel::quoted(text));
        for (CifVersion v : {V11, V20}) {
            expect_pull_matches_tokenise(text, v);
            expect_sound(text, v);
        }
        if (HasFailure()) return;
    }
}

}  // namespace
