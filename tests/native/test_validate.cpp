// The validator's native parts: POSIX constructs, DDLm contents, rule-set
// text, and checks with positions over small documents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/pipeline.hpp"
#include "validate/checker.hpp"
#include "validate/contents.hpp"
#include "validate/pattern.hpp"
#include "validate/positions.hpp"
#include "validate/rules_text.hpp"

namespace {

using namespace quarzel::validate;

struct MatchCase {
    const char* pattern;
    const char* text;
    bool match;
};

// Real dictionaries' constructs and the readings they need.
const MatchCase kMatches[] = {
    // PDBx code: ']' first in a bracket, a backslash and braces inside
    {R"([][_,.;:"&<>()/\{}'`~!@#$%A-Za-z0-9*|+-]*)", R"(a\b{c}[d])", true},
    {R"([][_,.;:"&<>()/\{}'`~!@#$%A-Za-z0-9*|+-]*)", "a b", false},
    {R"([][_,.;:"&<>()/\{}'`~!@#$%A-Za-z0-9*|+-]*)", "", true},
    // PDBx text: \n and \t inside a bracket are newline and tab
    {R"([][ \n\t()_,.;:"&<>/\{}'`~!@#$%?+=*A-Za-z0-9|^-]*)", "two\nlines\tand ^", true},
    {R"([][ \n\t()_,.;:"&<>/\{}'`~!@#$%?+=*A-Za-z0-9|^-]*)", "n", true},
    {R"([][ \n\t()_,.;:"&<>/\{}'`~!@#$%?+=*A-Za-z0-9|^-]*)", "caf\xc3\xa9", false},
    // int, float (whole value only)
    {"[+-]?[0-9]+", "-12", true},
    {"[+-]?[0-9]+", "12a", false},
    {"[+-]?[0-9]+", "a12", false},
    {R"(-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?)", "-1.5(3)e-2", true},
    {R"(-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?)", "1.5.2", false},
    // intervals; a brace that opens none is a brace
    {"EMD-[0-9]{4,}", "EMD-12345", true},
    {"EMD-[0-9]{4,}", "EMD-123", false},
    {"[1-9][A-Z0-9]{3}", "1ABC", true},
    {"a{b", "a{b", true},
    {"a}", "a}", true},
    // outside brackets a backslash makes the next character literal; \n is a newline
    {R"(10\..*)", "10.1000/x", true},
    {R"(10\..*)", "10a", false},
    {R"(\n--X)", "\n--X", true},
    // dot and negated brackets take newlines; ^ and $ only at the ends
    {"a.b", "a\nb", true},
    {"[^x]+", "a\nb", true},
    {"[^x]+", "axb", false},
    {R"([a-z ]+$)", "ab c", true},
    {"^ab$", "ab", true},
    // alternation, classes, equivalence and collating elements
    {"YES|NO", "NO", true},
    {"YES|NO", "YESNO", false},
    {"[[:digit:]]+[[:alpha:]]", "12a", true},
    {"[[=a=]b]+", "abba", true},
    {"[[.-.]a]+", "a-a", true},
    // the byte-table form: non-ASCII characters stay out of ASCII sets,
    // a negated set takes them
    {"[A-Za-z]*", "\xc3\xa9", false},
    {"[^ ]+", "\xc3\xa9", true},
    {"[abc]+", "", false},
    {".*", "anything\nat all", true},
};

TEST(ValidatePattern, RealConstructsAndPosixReadings) {
    for (const MatchCase& c : kMatches) {
        const Pattern p = Pattern::compile(c.pattern);
        ASSERT_TRUE(p.ok()) << c.pattern << ": " << p.error();
        EXPECT_EQ(p.full_match(c.text), c.match) << c.pattern << " on '" << c.text << "'";
    }
}

TEST(ValidatePattern, BadExpressionsAreReportedNeverMatchAll) {
    const char* bad[] = {"[A-Z", "[[:nothing:]]", "*a", "a(b", "[z-a]", "a{2000}", "(?i)a"};
    for (const char* b : bad) {
        const Pattern p = Pattern::compile(b);
        EXPECT_FALSE(p.ok()) << b;
        EXPECT_FALSE(p.error().empty()) << b;
        EXPECT_FALSE(p.full_match("A")) << b;
        EXPECT_FALSE(p.full_match("")) << b;
    }
}

// PDBx's int, positive_int and float constructs have scanners of their own;
// the same expressions in parentheses go through RE2. Both must agree on
// every string of the characters that matter, up to 6 long.
TEST(ValidatePattern, ScannersAgreeWithRe2) {
    const char* constructs[] = {
        "[+-]?[0-9]+", "[1-9][0-9]*",
        "-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?"};
    const std::string alphabet = "09.-+eE()x";
    for (const char* c : constructs) {
        const Pattern fast = Pattern::compile(c);
        const Pattern slow = Pattern::compile(std::string("(") + c + ")");
        ASSERT_TRUE(fast.ok() && slow.ok());
        std::vector<std::string> layer{""};
        for (int len = 0; len <= 6; ++len) {
            std::vector<std::string> next;
            for (const std::string& s : layer) {
                ASSERT_EQ(fast.full_match(s), slow.full_match(s)) << c << " on '" << s << "'";
                if (len < 6)
                    for (char ch : alphabet) next.push_back(s + ch);
            }
            layer = std::move(next);
        }
    }
}

// Longer floats, which the scanner may test a word at a time: strings of 4
// to 9 bytes drawn from digits, the bytes either side of them ('/' and
// ':'), signs, dots and the rest of the construct, against RE2.
struct FloatDraw {
    const char* alphabet;
    unsigned seed;
};

class ScanFloatWords : public testing::TestWithParam<FloatDraw> {};

TEST_P(ScanFloatWords, AgreesWithRe2) {
    const char* construct = "-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?";
    const Pattern fast = Pattern::compile(construct);
    const Pattern slow = Pattern::compile(std::string("(") + construct + ")");
    ASSERT_TRUE(fast.ok() && slow.ok());
    const std::string alphabet = GetParam().alphabet;
    std::uint32_t state = GetParam().seed;
    const auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int i = 0; i < 60000; ++i) {
        std::string s(4 + next() % 6, ' ');
        for (char& ch : s) ch = alphabet[next() % alphabet.size()];
        ASSERT_EQ(fast.full_match(s), slow.full_match(s)) << "'" << s << "'";
    }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, ScanFloatWords,
                         testing::Values(FloatDraw{"0123456789.-", 1}, FloatDraw{"09./:-", 2},
                                         FloatDraw{"0.-e()+", 3},
                                         FloatDraw{"9.-\x80\xae\xb0 ", 4}));

// The byte-table form against RE2 on the same expression: `(X)` is never
// matched by a table, so RE2 decides it. Values cover the empty text,
// nulls, newlines and tabs, quotes, non-ASCII characters of two to four
// bytes, a NUL and DEL. (Texts reach the checker as well-formed UTF-8: RE2
// matches no stray byte, where a negated set's table takes any byte.)
TEST(ValidatePattern, TableFormAgreesWithRe2) {
    const char* constructs[] = {
        R"([][_,.;:"&<>()/\{}'`~!@#$%A-Za-z0-9*|+-]*)",          // code, ucode
        R"([][ \t_(),.;:"&<>/\{}'`~!@#$%?+=*A-Za-z0-9|^-]*)",    // line, atcode
        R"([][ \n\t()_,.;:"&<>/\{}'`~!@#$%?+=*A-Za-z0-9|^-]*)",  // text
        "[_A-Za-z0-9]+",                                         // idname
        "[A-Za-z0-9]+",                                          // asym_id
        "[^ ]+",
        "[^\n]*",
        "[[:alpha:][:digit:]]+",
        "[[:space:]]*",
        ".*",
    };
    const std::string values[] = {"",
                                  "?",
                                  ".",
                                  "\"?\"",
                                  "A",
                                  "CA",
                                  "HETATM",
                                  "O5'",
                                  "a b",
                                  " ",
                                  "two\nlines",
                                  "tab\there",
                                  "\r\n",
                                  "x_1-2+3",
                                  "[1]{2}",
                                  "back\\slash",
                                  "caf\xc3\xa9",
                                  "\xe2\x82\xac",
                                  "\xf0\x9f\x98\x80 x",
                                  std::string("nul\0in", 6),
                                  "\x7f",
                                  "~!@#$%^&*()",
                                  "'quoted'"};
    for (const char* c : constructs) {
        const Pattern fast = Pattern::compile(c);
        const Pattern slow = Pattern::compile(std::string("(") + c + ")");
        ASSERT_TRUE(fast.ok() && slow.ok()) << c;
        EXPECT_EQ(fast.form(), Pattern::Form::Table) << c;
        EXPECT_EQ(slow.form(), Pattern::Form::General) << c;
        for (const std::string& v : values)
            EXPECT_EQ(fast.full_match(v), slow.full_match(v)) << c << " on '" << v << "'";
    }
}

// The checker's inline number test against number_shape() on every string
// of the characters that matter, up to 6 long.
TEST(ValidateContents, InlineNumberTestAgreesWithShape) {
    const std::string alphabet = "05.-+eE()x";
    std::vector<std::string> layer{""};
    for (int len = 0; len <= 6; ++len) {
        std::vector<std::string> next;
        for (const std::string& s : layer) {
            const NumberShape shape = number_shape(s);
            bool nonzero = false;
            ASSERT_EQ(is_number(s, nonzero), shape.number) << "'" << s << "'";
            if (shape.number) {
                ASSERT_EQ(nonzero, !shape.zero) << "'" << s << "'";
            }
            if (len < 6)
                for (char ch : alphabet) next.push_back(s + ch);
        }
        layer = std::move(next);
    }
}

// The same past eight characters, where the inline test reads eight bytes
// at a time: mantissas whose runs end at each byte of a word, straddle two
// words or fill them, and views cut short of the text around them.
TEST(ValidateContents, InlineNumberTestAgreesWithShapeOnLongValues) {
    const char* cases[] = {
        "12345678",
        "1234567x",
        "0.68350(9)",
        "00000000",
        "00000000.0000001",
        "-0000000.00000",
        "123456789012345",
        "1234567.",
        ".12345678",
        "12345678e-12",
        "1234567(12)",
        "+0.000000000(1)",
        "1234\x80"
        "567",
        "12345678901234567890.5",
        "1.2.3456789",
        "0.0000000e5",
        "0000000/",
        "0000000:",
        "12345678 ",
        "9999999999999999999(99)",
    };
    for (const char* c : cases) {
        const std::string s = c;
        bool nonzero = false;
        const NumberShape shape = number_shape(s);
        ASSERT_EQ(is_number(s, nonzero), shape.number) << "'" << s << "'";
        if (shape.number) {
            ASSERT_EQ(nonzero, !shape.zero) << "'" << s << "'";
        }
        // A view of its first characters only, the rest of the text after it.
        for (std::size_t cut = 0; cut < s.size(); ++cut) {
            const std::string_view v(s.data(), cut);
            const NumberShape part = number_shape(v);
            ASSERT_EQ(is_number(v, nonzero), part.number) << "'" << v << "'";
            if (part.number) {
                ASSERT_EQ(nonzero, !part.zero) << "'" << v << "'";
            }
        }
    }
    // Every placement of one other byte or point in a run of 7 to 17 digits.
    for (std::size_t len = 7; len <= 17; ++len)
        for (const char other : {'.', 'x', '(', '\x80', '/', ':', '0'})
            for (std::size_t at = 0; at < len; ++at) {
                std::string s(len, '0');
                s[at] = other;
                for (const char digit : {'0', '7'}) {
                    s[(at + 3) % len] = digit;
                    bool nonzero = false;
                    const NumberShape shape = number_shape(s);
                    ASSERT_EQ(is_number(s, nonzero), shape.number) << "'" << s << "'";
                    if (shape.number) {
                        ASSERT_EQ(nonzero, !shape.zero) << "'" << s << "'";
                    }
                }
            }
}

struct ContentsCase {
    Contents contents;
    const char* value;
    bool ok;
};

const ContentsCase kContents[] = {
    {Contents::Real, "1.5(2)", true},
    {Contents::Real, "1.5e3", true},
    {Contents::Real, "x", false},
    {Contents::Integer, "-3", true},
    {Contents::Integer, "3.0", false},
    {Contents::Count, "0", true},
    {Contents::Count, "-1", false},
    {Contents::Index, "1", true},
    {Contents::Index, "0", false},
    {Contents::Code, "a_b", true},
    {Contents::Code, "a b", false},
    {Contents::Name, "atom_site", true},
    {Contents::Name, "atom-site", false},
    {Contents::Tag, "_a.b", true},
    {Contents::Tag, "a.b", false},
    {Contents::Date, "2024-02-29", true},
    {Contents::Date, "2023-02-29", false},
    {Contents::Date, "2023-13-01", false},
    {Contents::DateTime, "2023-01-02T03:04:05Z", true},
    {Contents::DateTime, "2023-01-02 03:04+01:00", true},
    {Contents::DateTime, "2023-01-02", false},
    {Contents::Version, "3.11.09", true},
    {Contents::Version, "3.x", false},
    {Contents::Dimension, "[3, 3]", true},
    {Contents::Dimension, "[]", true},
    {Contents::Dimension, "[a]", false},
    {Contents::Range, "0.0:", true},
    {Contents::Range, ":5", true},
    {Contents::Range, "a:b", false},
    {Contents::Imag, "2.5j", true},
    {Contents::Complex, "1.5+2j", true},
    {Contents::Complex, "1.5+j2", true},
    {Contents::Complex, "1.5+2", false},
    {Contents::Symop, "2_555", true},
    {Contents::Symop, "3 455", true},
    {Contents::Symop, "2_55", false},
    {Contents::Binary, "\\b0101", true},
    {Contents::Hexadecimal, "\\xFf", true},
    {Contents::Octal, "\\o78", false},
    {Contents::Number, "-4.5e-3(2)", true},
};

TEST(ValidateContents, EachForm) {
    for (const ContentsCase& c : kContents)
        EXPECT_EQ(matches_contents(c.contents, c.value), c.ok)
            << contents_name(c.contents) << " '" << c.value << "'";
}

// The form checks' number grammar agrees with the core's scanner.
TEST(ValidateContents, NumberShapeAgreesWithTheCoreScanner) {
    const std::string alphabet = "09.-+eE()";
    std::vector<std::string> layer{""};
    for (int len = 0; len <= 6; ++len) {
        std::vector<std::string> next;
        for (const std::string& s : layer) {
            quarzel::NumberParts parts;
            const bool core = quarzel::scan_number(s, parts);
            const NumberShape shape = number_shape(s);
            ASSERT_EQ(shape.number, core) << "'" << s << "'";
            if (core) {
                EXPECT_EQ(shape.integer, !parts.has_point && !parts.has_exponent) << s;
                EXPECT_EQ(shape.has_su, !parts.su_digits.empty()) << s;
            }
            if (len < 6)
                for (char ch : alphabet) next.push_back(s + ch);
        }
        layer = std::move(next);
    }
}

TEST(ValidateContents, TypeSpecs) {
    auto alt = parse_type_spec("Integer|Code");
    ASSERT_TRUE(alt);
    EXPECT_TRUE(alt->matches("12", 0));
    EXPECT_TRUE(alt->matches("abc", 0));
    EXPECT_FALSE(alt->matches("a b", 0));
    auto seq = parse_type_spec("Real,Code");
    ASSERT_TRUE(seq);
    EXPECT_TRUE(seq->matches("1.5", 0));
    EXPECT_FALSE(seq->matches("x", 0));
    EXPECT_TRUE(seq->matches("x", 1));
    EXPECT_TRUE(parse_type_spec("Text|Real")->any());
    EXPECT_FALSE(parse_type_spec("Real|Nothing"));
    EXPECT_FALSE(parse_type_spec("Real,Code|Text"));
}

TEST(ValidateRulesText, MalformedTextIsRefusedNamingTheLine) {
    const char* bad[] = {
        "",
        "rules 1\n",
        "quarzel-rules 1\nitem\tname=_a\tcat=3\n",
        "quarzel-rules 1\nitem\tname=_a\tsu=maybe\n",
        "quarzel-rules 1\nitem\tname=_a\ttype=Nothing\n",
        "quarzel-rules 1\nitem\tname=_a\trange=1\n",
        "quarzel-rules 1\nitem\tname=_a\trange=a:1\n",
        "quarzel-rules 1\nitem\tname=_a\tdim=-1\n",
        "quarzel-rules 1\nitem\tnoequals\n",
        "quarzel-rules 1\nitem\tname=a\\q\n",
        "quarzel-rules 1\nwhat\tname=_a\n",
        "quarzel-rules 1\nitem\tname=_a\nlink\tchild=0\tparent=7\n",
        "quarzel-rules 1\nitem\tname=_a\nlink\tchild=0\n",
        "quarzel-rules 1\nitem\tname=_a\tpattern=0\n",
        "quarzel-rules 1\ndict\tname=d\trule.nothing=x\n",
    };
    for (const char* b : bad) EXPECT_THROW(parse_rules(b), RulesError) << b;
}

// Findings of `text` as "code tag row line:column", sorted as they come.
std::vector<std::string> check(const char* rules_text, const char* text) {
    auto rules = parse_rules(rules_text);
    quarzel::ParseResult parsed = quarzel::parse_document(text, false);
    std::vector<Finding> findings = check_document(parsed.document, *rules, Options{});
    resolve_positions(findings, parsed.document, parsed.detected);
    std::vector<std::string> out;
    for (const Finding& f : findings)
        out.push_back(std::string(code_name(f.code)) + " " + (f.tags.empty() ? "-" : f.tags[0]) +
                      " " + std::to_string(f.row) + " " + std::to_string(f.line) + ":" +
                      std::to_string(f.column));
    return out;
}

const char* kRules =
    "quarzel-rules 1\n"
    "dict\tname=d\tversion=1\tddl=ddl2\n"
    "pattern\tsource=[0-9]+\n"
    "category\tname=a\tkey=0\n"
    "category\tname=b\n"
    "item\tname=_a.id\tcat=0\tpattern=0\tcompare=numeric\n"
    "item\tname=_a.v\tcat=0\ttype=Real\trange=0:1\tranges=inclusive\n"
    "item\tname=_b.l\tcat=1\tcontainer=List\ttype=Integer\tdim=2\n";

TEST(ValidateCheck, FindingsWithPositions) {
    // A CR-LF text, a version line, a quoted value, a text field, a list and
    // a second reading for the tag position; findings in the order of the
    // checks (values, then categories).
    const char* text =
        "#\\#CIF_2.0\r\ndata_x\r\nloop_\r\n_a.id\r\n_a.v\r\n1 0.5\r\n01 'x'\r\n"
        "z\r\n;1.5\r\n;\r\n_b.l [1 2 3]\r\n_b 1\r\n";
    EXPECT_EQ(check(kRules, text),
              (std::vector<std::string>{"type _a.id 2 8:1", "type _a.v 1 7:4", "range _a.v 2 9:1",
                                        "container _b.l -1 11:6", "unknown _b -1 12:1",
                                        "duplicate-key _a.id 1 7:1"}));
}

TEST(ValidateCheck, TagPositionsInSaveFramesAndLaterBlocks) {
    const char* text = "data_one\n_a.id 1\ndata_two\nsave_f\n  _c 1\nsave_\n  _d 2\nloop_ _e 1 2\n";
    EXPECT_EQ(
        check(kRules, text),
        (std::vector<std::string>{"unknown _d -1 7:3", "unknown _e -1 8:7", "unknown _c -1 5:3"}));
}

// Links are taken from the items a block gives: in the dictionary's order
// whatever the order of their items, a link given by its second component
// alone, one finding for a link whose two components are both given, and
// none for a link none of whose child items is given.
const char* kLinkRules =
    "quarzel-rules 1\n"
    "dict\tname=d\tversion=1\tddl=ddl1\n"
    "category\tname=p\n"
    "category\tname=c\n"
    "category\tname=d\n"
    "item\tname=_p.id\tcat=0\n"
    "item\tname=_p.k\tcat=0\n"
    "item\tname=_c.x\tcat=1\n"
    "item\tname=_c.y\tcat=1\n"
    "item\tname=_d.z\tcat=2\n"
    "link\tchild=4\tparent=0\n"
    "link\tchild=2\tchild=3\tparent=0\tparent=1\n"
    "link\tchild=2\tparent=1\tdefault=0\n"
    "link\tchild=3\tparent=0\n";

// A text and the findings its checks give, in order.
struct FindingsCase {
    const char* text;
    std::vector<std::string> findings;
};

class LinksTaken : public ::testing::TestWithParam<FindingsCase> {};

TEST_P(LinksTaken, InDictionaryOrder) {
    EXPECT_EQ(check(kLinkRules, GetParam().text), GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(
    ValidateCheck, LinksTaken,
    ::testing::Values(
        // _c.y (item 3) before _d.z (item 4): its links 1 and 3 after link 0.
        FindingsCase{"data_x\nloop_ _p.id _p.k 1 a 2 b\nloop_ _c.y a zz\n_d.z 9\n",
                     {"link _d.z -1 4:6", "link _c.y 1 3:14", "link _c.y 0 3:12"}},
        // Both components of link 1 given: one finding; link 2 is off by default.
        FindingsCase{"data_x\nloop_ _p.id _p.k 1 a 2 b\nloop_ _c.x _c.y 1 a 2 zz\n",
                     {"link _c.x 1 3:21", "link _c.y 0 3:19"}},
        // No child item given: no link checked, whatever the parents.
        FindingsCase{"data_x\nloop_ _p.id _p.k 1 a 2 b\n", {}},
        // A child in a save frame is checked against parents in its block.
        FindingsCase{"data_x\n_p.id 1\nsave_f\n_d.z 2\nsave_\n", {"link _d.z -1 4:6"}},
        // Rows of a two-component link that give one component (the other
        // null) look up the parents of that one: found, missing, or found
        // only as the other component's value.
        FindingsCase{"data_x\nloop_ _p.id _p.k 1 a 2 b\nloop_ _c.x _c.y 1 ? ? b 3 ? ? 1 2 b\n",
                     {"link _c.x 2 3:25", "link _c.y 1 3:23"}},
        // One-component links against parents with nulls and repeats: a
        // null parent value is no parent of anything.
        FindingsCase{"data_x\nloop_ _p.id ? 1 1 .\nloop_ _d.z 1 ? . 2 1\n", {"link _d.z 3 3:18"}}));

// Runs of nulls and of the last passing text pass without a visit; the
// rows of the values that fail after them stay those of the column.
const char* kEnumRules =
    "quarzel-rules 1\n"
    "dict\tname=d\tversion=1\tddl=ddl1\n"
    "item\tname=_e\tenum=a\tenum=b\n"
    "item\tname=_r\ttype=Real\trange=0:1\n";

class PassingRuns : public ::testing::TestWithParam<FindingsCase> {};

TEST_P(PassingRuns, KeepTheRowsOfFailures) {
    EXPECT_EQ(check(kEnumRules, GetParam().text), GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(
    ValidateCheck, PassingRuns,
    ::testing::Values(FindingsCase{"data_x\nloop_ _e ? a a . b ? x a x\n",
                                   {"enumeration _e 6 2:22", "enumeration _e 8 2:26"}},
                      // The same text failing again after one that passed.
                      FindingsCase{"data_x\nloop_ _e x a x x\n",
                                   {"enumeration _e 0 2:10", "enumeration _e 2 2:14",
                                    "enumeration _e 3 2:16"}},
                      // Quoted placeholders are values, bare ones nulls.
                      FindingsCase{"data_x\nloop_ _r 1 1 '?' ? 2 1.0 '.'\n",
                                   {"type _r 2 2:14", "range _r 4 2:20", "type _r 6 2:26"}}));

TEST(ValidateLineIndex, PositionsCountCodePoints) {
    LineIndex index("ab\n\xc3\xa9x\n", 3);
    std::uint32_t line, column;
    index.position(4, line, column);  // inside the second character of line 2? no: 'x'
    EXPECT_EQ(line, 4u);
    index.position(5, line, column);
    EXPECT_EQ(column, 2u);
    index.position(1, line, column);
    EXPECT_EQ(line, 3u);
    EXPECT_EQ(column, 2u);
}

// Offsets asked in any order, against positions counted byte by byte: the
// index reads forward from the last offset asked, and past 64 bytes counts
// line breaks a block at a time.
struct LineCase {
    std::string text;
    std::vector<std::uint64_t> offsets;
};

class LineIndexOrder : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineIndexOrder, AgreesWithACountFromTheStart) {
    const std::string& text = GetParam().text;
    LineIndex index(text, 7);
    for (std::uint64_t offset : GetParam().offsets) {
        std::uint32_t line = 0, column = 0, want_line = 7, want_column = 1;
        for (std::uint64_t i = 0; i < offset && i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++want_line;
                want_column = 1;
            } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                ++want_column;
            }
        }
        if (offset > text.size()) want_line = want_column = 0;
        index.position(offset, line, column);
        EXPECT_EQ(line, want_line) << "offset " << offset;
        EXPECT_EQ(column, want_column) << "offset " << offset;
    }
}

std::string lines_of(std::size_t count, std::size_t width) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += std::string(width, 'a' + i % 26) + "\n";
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    ValidateLineIndex, LineIndexOrder,
    ::testing::Values(
        // Rising, then behind the last line (read again), then the same line.
        LineCase{lines_of(40, 9), {3, 95, 96, 399, 12, 11, 399, 398}},
        // Line breaks at the ends of 64-byte blocks and runs of empty lines.
        LineCase{lines_of(10, 63) + std::string(130, '\n') + "z", {64, 128, 129, 700, 771, 772}},
        // A long line: columns far from the last break, asked backwards.
        LineCase{"x\n" + std::string(300, 'y'), {301, 250, 2, 1, 0}},
        // Code points of two bytes, and an offset past the end.
        LineCase{"\xc3\xa9\xc3\xa9\n" + lines_of(3, 70) + "\xc3\xa9", {4, 5, 220, 221, 300}},
        LineCase{"", {0, 1}}));

}  // namespace
