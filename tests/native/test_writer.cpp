// The writer: the form each value takes, and that the reader gets every
// value back (as an item and as a loop value, in both versions and at
// several line limits) without a problem record, within the line limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/pipeline.hpp"
#include "core/writer.hpp"

namespace {

using quarzel::CifVersion;
using quarzel::CifWriter;
using quarzel::WriteError;
using quarzel::WriteOptions;

WriteOptions opts(CifVersion v, std::size_t limit = 2048) {
    WriteOptions o;
    o.version = v;
    o.line_limit = limit;
    return o;
}

// The document `data_t _v <value>` as written.
std::string item_text(std::string_view value, const WriteOptions& o) {
    CifWriter w(o);
    w.begin_document();
    w.data_block("t");
    w.item("_v", 0);
    w.value(value);
    return w.finish_string();
}

// `value` as one item, and as the middle value of a loop row of three.
std::string both_text(std::string_view value, const WriteOptions& o) {
    CifWriter w(o);
    w.begin_document();
    w.data_block("t");
    w.item("_v", 0);
    w.value(value);
    w.begin_loop();
    w.loop_tag("_a");
    w.loop_tag("_b");
    w.loop_tag("_c");
    // One row value by value, one as the binding writes rows: plain words
    // in one pass, the others one by one.
    w.begin_row();
    w.loop_value("x");
    w.loop_value(value);
    w.loop_value("y");
    w.begin_row();
    const std::string_view row[] = {"x", value, "y"};
    for (std::size_t j = 0; j < 3;) {
        j += w.plain_row_values(row + j, nullptr, 3 - j);
        if (j < 3) w.loop_value(row[j++]);
    }
    w.end_loop();
    return w.finish_string();
}

std::size_t longest_line(std::string_view text) {
    std::size_t longest = 0, cur = 0;
    for (unsigned char c : text) {
        if (c == '\n') {
            longest = std::max(longest, cur);
            cur = 0;
        } else if ((c & 0xC0) != 0x80) {
            ++cur;
        }
    }
    return std::max(longest, cur);
}

struct FormCase {
    const char* name;
    std::string value;
    CifVersion version;
    std::string written;  // the item's value as it appears after "_v "
};

void PrintTo(const FormCase& c, std::ostream* os) {
    *os << c.name;
}

class WriterForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(WriterForm, PlainestSafeForm) {
    const FormCase& c = GetParam();
    const std::string text = item_text(c.value, opts(c.version));
    const std::string head =
        std::string(c.version == CifVersion::Cif20 ? "#\\#CIF_2.0\n" : "#\\#CIF_1.1\n") +
        "data_t\n_v";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_EQ(text.substr(head.size()), c.written + "\n") << quarzel::quoted(text);
}

constexpr auto V1 = CifVersion::Cif11;
constexpr auto V2 = CifVersion::Cif20;

INSTANTIATE_TEST_SUITE_P(
    Forms, WriterForm,
    ::testing::Values(
        FormCase{"word", "abc", V1, " abc"}, FormCase{"number", "1.5(3)", V2, " 1.5(3)"},
        FormCase{"placeholder_q", "?", V1, " ?"}, FormCase{"placeholder_dot", ".", V2, " ."},
        FormCase{"quoted_q", "\"?\"", V1, " \"?\""}, FormCase{"quoted_dot", "\".\"", V2, " \".\""},
        FormCase{"empty", "", V1, " ''"}, FormCase{"blank", "a b", V1, " 'a b'"},
        FormCase{"underscore", "_x", V2, " '_x'"}, FormCase{"hash_first", "#x", V1, " '#x'"},
        FormCase{"hash_inside", "a#b", V1, " a#b"}, FormCase{"dollar", "$x", V1, " '$x'"},
        FormCase{"semicolon", ";x", V1, " ';x'"}, FormCase{"bracket_v1", "[x", V1, " '[x'"},
        FormCase{"bracket_inside_v1", "a[1]", V1, " a[1]"},
        FormCase{"bracket_inside_v2", "a[1]", V2, " 'a[1]'"},
        FormCase{"colon_v2", ":x", V2, " ':x'"}, FormCase{"colon_v1", ":x", V1, " :x"},
        FormCase{"keyword_data", "DATA_x", V1, " 'DATA_x'"},
        FormCase{"keyword_loop", "Loop_", V2, " 'Loop_'"},
        FormCase{"keyword_global", "global_", V1, " 'global_'"},
        FormCase{"not_keyword", "loop_x", V1, " loop_x"},
        FormCase{"apostrophe_inside", "it's", V1, " it's"},
        FormCase{"v1_quote_then_blank", "a' b", V1, " \"a' b\""},
        FormCase{"v1_quote_not_closing", "it's a", V1, " 'it's a'"},
        FormCase{"v1_double_not_closing", "a' \"b", V1, " \"a' \"b\""},
        FormCase{"v1_both_quotes", "a' \" b", V1, "\n;a' \" b\n;"},
        FormCase{"v1_two_quotes_first", "''x", V1, " \"''x\""},
        FormCase{"v1_triples", "'''\"\"\"", V1, " \"'''\"\"\"\""},
        FormCase{"v2_both_quotes", "a' \"b", V2, " '''a' \"b'''"},
        FormCase{"v2_triple_double", "a''' \"b", V2, " \"\"\"a''' \"b\"\"\""},
        FormCase{"text", "\nline 1\nline 2", V1, "\n;\nline 1\nline 2\n;"},
        FormCase{"text_semicolon_line_v2", "a\n;b", V2, " '''a\n;b'''"},
        FormCase{"text_semicolon_line_v1", "a\n;b", V1, "\n;>\\\n>a\n>;b\n;"},
        FormCase{"lone_bracket", "[", V2, " '['"}, FormCase{"lone_colon", ":", V2, " ':'"},
        FormCase{"lone_bracket_v1", "[", V1, " '['"}, FormCase{"lone_close_v1", "]", V1, " ']'"},
        FormCase{"lone_brace_v1", "{", V1, " '{'"},
        FormCase{"lone_close_brace_v1", "}", V1, " '}'"},
        FormCase{"semicolon_line_backslash_end", "a\\\n;b", V1, "\n;>\\\n>a\\\n>;b\n;"},
        FormCase{"backslash_first_line", "x\\\ny", V1, "\n;\\\nx\\\\\n\ny\n;"}),
    [](const auto& info) { return std::string(info.param.name); });

// Values every version can hold, and those only CIF 2.0 can.
const std::vector<std::string>& hostile_values() {
    static const std::vector<std::string> values = {"",
                                                    " ",
                                                    "a b",
                                                    "_x",
                                                    "#x",
                                                    "a#b",
                                                    "$x",
                                                    "'x",
                                                    "\"x",
                                                    ";x",
                                                    "[x",
                                                    "]x",
                                                    "{x",
                                                    "}x",
                                                    "x]",
                                                    "[",
                                                    "]",
                                                    "{",
                                                    "}",
                                                    ":",
                                                    ":x",
                                                    "data_x",
                                                    "DATA_",
                                                    "save_x",
                                                    "Save_",
                                                    "loop_",
                                                    "LOOP_",
                                                    "stop_",
                                                    "global_",
                                                    "GLOBAL_",
                                                    "loop_x",
                                                    "a' b",
                                                    "a\" b",
                                                    "a' b\" c",
                                                    "it's",
                                                    "'",
                                                    "\"",
                                                    "''",
                                                    "x'",
                                                    "\nline1\n;line2",
                                                    ";",
                                                    "x\n;",
                                                    "'''",
                                                    "\"\"\"",
                                                    "'''\"\"\"",
                                                    "a'''b\"\"\"c\nd",
                                                    "tab\there",
                                                    "\t",
                                                    std::string(5000, 'x'),
                                                    "line\n" + std::string(5000, 'y') + "\n;z",
                                                    "?",
                                                    ".",
                                                    "\"?\"",
                                                    "\".\"",
                                                    "??",
                                                    "..",
                                                    "\\",
                                                    "a\\",
                                                    "\\\n",
                                                    "x\\ \nabc",
                                                    "\\\\\nabc",
                                                    ">\\\n>a",
                                                    "end'''",
                                                    "\n",
                                                    "\n\n",
                                                    "trailing space ",
                                                    "\"\"\"'''\n",
                                                    "''x",
                                                    "\"\"y",
                                                    "a' \" b",
                                                    "a' \"b\n;c\\\n",
                                                    std::string(3000, ';'),
                                                    "\n" + std::string(100, '\\')};
    return values;
}

const std::vector<std::string>& cif2_values() {
    static const std::vector<std::string> values = {"é",
                                                    "ü x",
                                                    "日本語",
                                                    "\u00a0",
                                                    "\ufdcf\ufdf0\ufffd",
                                                    "\U0001fffd",
                                                    std::string(3000, 'e') + "é"};
    return values;
}

struct RoundCase {
    CifVersion version;
    std::size_t limit;
};

class WriterRoundTrip : public ::testing::TestWithParam<RoundCase> {};

void expect_round_trip(const std::string& value, const WriteOptions& o) {
    const std::string text = both_text(value, o);
    EXPECT_LE(longest_line(text), o.line_limit) << quarzel::quoted(value);
    const quarzel::ParseResult r = quarzel::parse_document(text, false);
    ASSERT_TRUE(r.document.errors.empty()) << quarzel::quoted(value) << "\n"
                                           << r.document.errors[0].message << "\n"
                                           << text;
    ASSERT_EQ(r.document.blocks.size(), 1u);
    const auto& data = r.document.blocks[0].data;
    const auto* v = data.find("_v");
    const auto* b = data.find("_b");
    ASSERT_NE(v, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(v->size(), 1u);
    ASSERT_EQ(b->size(), 2u);
    EXPECT_EQ((*v)[0].text, value) << text;
    EXPECT_EQ((*b)[1].text, value) << text;
    EXPECT_EQ((*data.find("_c"))[1].text, "y") << text;
}

TEST_P(WriterRoundTrip, HostileValuesReadBack) {
    const RoundCase& c = GetParam();
    for (const std::string& value : hostile_values())
        expect_round_trip(value, opts(c.version, c.limit));
    for (const std::string& value : cif2_values()) {
        if (c.version == CifVersion::Cif20)
            expect_round_trip(value, opts(c.version, c.limit));
        else
            EXPECT_THROW(item_text(value, opts(c.version, c.limit)), WriteError)
                << quarzel::quoted(value);
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, WriterRoundTrip,
                         ::testing::Values(RoundCase{V1, 2048}, RoundCase{V2, 2048},
                                           RoundCase{V1, 80}, RoundCase{V2, 80}, RoundCase{V1, 16},
                                           RoundCase{V2, 16}),
                         [](const auto& info) {
                             return std::string(info.param.version == V1 ? "cif1_" : "cif2_") +
                                    std::to_string(info.param.limit);
                         });

struct RefusedCase {
    const char* name;
    std::string value;
    CifVersion version;
};

class WriterRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(WriterRefuses, ThrowsWriteError) {
    EXPECT_THROW(item_text(GetParam().value, opts(GetParam().version)), WriteError);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WriterRefuses,
    ::testing::Values(
        RefusedCase{"carriage_return", "a\rb", V2}, RefusedCase{"carriage_return_v1", "a\r\n", V1},
        RefusedCase{"non_ascii_v1", "é", V1}, RefusedCase{"control_v1", "a\x01", V1},
        RefusedCase{"control_v2", "x\x01y", V2}, RefusedCase{"form_feed_v2", "\x0c", V2},
        RefusedCase{"nul_v2", std::string("n\0ul", 4), V2}, RefusedCase{"del_v2", "\x7f", V2},
        RefusedCase{"c1_first_v2", "a\u0080", V2}, RefusedCase{"c1_last_v2", "\u009f", V2},
        RefusedCase{"nonchar_fdd0_v2", "\ufdd0", V2}, RefusedCase{"nonchar_fdef_v2", "x\ufdef", V2},
        RefusedCase{"nonchar_fffe_v2", "\ufffe", V2}, RefusedCase{"nonchar_ffff_v2", "\uffff", V2},
        RefusedCase{"nonchar_1fffe_v2", "\U0001fffe", V2},
        RefusedCase{"nonchar_10ffff_v2", "\U0010ffff", V2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriterNames, RulesForEachKind) {
    using quarzel::NameKind;
    EXPECT_NO_THROW(quarzel::check_name("_a.b[1]", NameKind::Tag));
    EXPECT_NO_THROW(quarzel::check_name("_a#1", NameKind::Tag));
    EXPECT_NO_THROW(quarzel::check_name("x", NameKind::Block));
    for (const char* bad : {"", "_", "a", "_a b", "_a\tb"})
        EXPECT_THROW(quarzel::check_name(bad, NameKind::Tag), WriteError) << bad;
    for (const char* bad : {"", "a b", "a\nb"})
        EXPECT_THROW(quarzel::check_name(bad, NameKind::SaveFrame), WriteError) << bad;
    CifWriter w(opts(V1, 16));
    EXPECT_THROW(w.item("_a_tag_longer_than_sixteen", 0), WriteError);
    EXPECT_THROW(w.data_block("é"), WriteError);
}

// Characters no version permits are refused in names too, whatever the kind.
TEST(WriterNames, CharactersNoVersionPermits) {
    using quarzel::NameKind;
    for (const char* bad : {"a\x01b", "a\x7f", "a\u0085", "\ufdd0", "a\U0010fffe"}) {
        EXPECT_THROW(quarzel::check_name(bad, NameKind::Block), WriteError) << bad;
        EXPECT_THROW(quarzel::check_name(std::string("_") + bad, NameKind::Tag), WriteError) << bad;
    }
    EXPECT_NO_THROW(quarzel::check_name("\u00e9\ufdcf", NameKind::SaveFrame));
}

// The text is ASCII only while every byte written is: names count too.
TEST(WriterAscii, FlagFollowsNames) {
    using Step = void (*)(CifWriter&);
    const Step steps[] = {
        [](CifWriter& w) { w.data_block("\u00e9"); },
        [](CifWriter& w) {
            w.data_block("b");
            w.save_frame("\u00e9");
        },
        [](CifWriter& w) {
            w.data_block("b");
            w.item("_\u00e9", 0);
            w.value("1");
        },
        [](CifWriter& w) {
            w.data_block("b");
            w.begin_loop();
            w.loop_tag("_\u00e9");
            w.begin_row();
            w.loop_value("1");
            w.end_loop();
        },
    };
    for (const Step& step : steps) {
        CifWriter w(opts(V2));
        w.begin_document();
        step(w);
        EXPECT_FALSE(w.ascii()) << w.text();
    }
    CifWriter w(opts(V2));
    w.begin_document();
    w.data_block("b");
    w.item("_a", 0);
    w.value("1");
    EXPECT_TRUE(w.ascii());
}

TEST(WriterVersion, UpgradeSignalledWhenAllowed) {
    WriteOptions o = opts(V1);
    o.may_upgrade = true;
    CifWriter w(o);
    w.begin_document();
    w.data_block("t");
    w.item("_v", 0);
    EXPECT_THROW(w.value("é"), quarzel::NeedsCif2);
    EXPECT_THROW(w.begin_list(), quarzel::NeedsCif2);
    // What CIF 2.0 cannot hold either is refused outright.
    for (const char* v : {"a\x01", "\x7f", "\u0085"}) {
        try {
            w.value(v);
            ADD_FAILURE() << v;
        } catch (const quarzel::NeedsCif2&) {
            ADD_FAILURE() << "upgrade asked for " << v;
        } catch (const WriteError& e) {
            EXPECT_NE(std::string(e.what()).find("not permitted in CIF"), std::string::npos);
        }
    }
}

// Tables with awkward keys, and a list nested a million deep (written
// without recursion), read back.
TEST(WriterContainers, TablesReadBack) {
    CifWriter w(opts(V2, 80));
    w.begin_document();
    w.data_block("t");
    w.item("_t", 0);
    w.begin_table();
    const std::vector<std::string> keys = {"a", "",  "it's", "a\"b'c", "l\ni\"ne", ":x",
                                           "é", "[", "]",    "{",      "}",        ":"};
    for (const std::string& key : keys) {
        w.key(key);
        w.value(key);
    }
    w.key("k");
    w.value(":");
    w.end_table();
    w.item("_deep", 0);
    constexpr int kDepth = 1'000'000;
    for (int i = 0; i < kDepth; ++i) w.begin_list();
    w.value("x");
    for (int i = 0; i < kDepth; ++i) w.end_list();
    const std::string text = w.finish_string();
    EXPECT_LE(longest_line(text), 80u);
    const quarzel::ParseResult r = quarzel::parse_document(text, false);
    ASSERT_TRUE(r.document.errors.empty()) << r.document.errors[0].message;
    const auto* t = r.document.blocks[0].data.find("_t");
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE((*t)[0].compound != nullptr);
    const auto& nodes = *(*t)[0].compound;
    std::size_t at = (*t)[0].root;
    EXPECT_EQ(nodes[at].count, keys.size() + 1);
    std::size_t k = 0;
    for (const std::string& key : keys) {
        EXPECT_EQ(nodes[at + 1 + 2 * k].text, key);
        EXPECT_EQ(nodes[at + 2 + 2 * k].text, key);
        ++k;
    }
    EXPECT_EQ(nodes[at + 2 + 2 * k].text, ":");
}

}  // namespace

namespace {

// Rows written by value identity: a repeated id reuses the value found plain
// before; values that are not plain are looked at every time; a new loop
// forgets what the last one saw.
TEST(WriterRows, RepeatedValuesByIdentity) {
    CifWriter w(opts(quarzel::CifVersion::Cif20));
    w.begin_document();
    w.data_block("t");
    const int a = 0, b = 0, c = 0;
    const std::string_view row1[] = {"ATOM", "b c", "x"};
    const std::string_view row2[] = {"ATOM", "b c", "y"};
    const void* ids1[] = {&a, &b, &c};
    const void* ids2[] = {&a, &b, &b};  // "y" under an id seen before in another column
    for (int loop = 0; loop < 2; ++loop) {
        w.begin_loop();
        for (const char* tag : {"_p", "_q", "_r"}) w.loop_tag(tag);
        for (int r = 0; r < 3; ++r) {
            const std::string_view* row = r == 1 ? row2 : row1;
            const void* const* ids = r == 1 ? ids2 : ids1;
            w.begin_row();
            for (std::size_t j = 0; j < 3;) {
                j += w.plain_row_values(row + j, nullptr, 3 - j, ids + j, j);
                if (j < 3) w.loop_value(row[j++]);
            }
        }
        w.end_loop();
    }
    const std::string text = w.finish_string();
    const std::string loop = "loop_\n_p\n_q\n_r\nATOM 'b c' x\nATOM 'b c' y\nATOM 'b c' x\n";
    EXPECT_EQ(text, "#\\#CIF_2.0\ndata_t\n" + loop + loop);
}

// Row values that end their allocation (as slices at the end of a parsed
// text do): the one-pass route reads no byte past them (checked by the
// sanitized build), in either version, with pads or without.
TEST(WriterRows, ValuesEndingTheirAllocation) {
    for (auto version : {V1, V2}) {
        for (bool pads : {false, true}) {
            std::vector<std::unique_ptr<char[]>> owned;
            std::vector<std::string_view> row;
            std::string want =
                "#\\#CIF_" + std::string(version == V1 ? "1.1" : "2.0") + "\ndata_t\nloop_\n";
            std::string line;
            for (std::size_t n = 1; n <= 16; ++n) {
                owned.push_back(std::make_unique<char[]>(n));
                for (std::size_t k = 0; k < n; ++k) owned.back()[k] = static_cast<char>('a' + k);
                row.emplace_back(owned.back().get(), n);
                want += "_c" + std::to_string(n) + "\n";
                line += (n == 1 ? "" : " ") + std::string(row.back());
            }
            const std::vector<std::size_t> pad(row.size(), 0);
            CifWriter w(opts(version));
            w.begin_document();
            w.data_block("t");
            w.begin_loop();
            for (std::size_t n = 1; n <= 16; ++n) w.loop_tag("_c" + std::to_string(n));
            w.begin_row();
            EXPECT_EQ(w.plain_row_values(row.data(), pads ? pad.data() : nullptr, row.size()),
                      row.size());
            w.end_loop();
            EXPECT_EQ(w.finish_string(), want + line + "\n");
        }
    }
}

// Aligned loop columns at a small line limit: a plain word longer than the
// limit goes on lines of its own (no width to align to), and a pad wider
// than the line is cut to it.
TEST(WriterRows, PadsStayWithinTheLineLimit) {
    for (auto version : {V1, V2}) {
        const WriteOptions o = opts(version, 20);
        const std::string word33(33, 'w');
        CifWriter w(o);
        EXPECT_EQ(w.row_width(word33), 0u);
        EXPECT_EQ(w.row_width("w"), 1u);
        w.begin_document();
        w.data_block("t");
        w.begin_loop();
        w.loop_tag("_a");
        w.loop_tag("_b");
        for (std::string_view v : {std::string_view("v1"), std::string_view(word33)}) {
            w.begin_row();
            w.loop_value(v, w.row_width(word33));
            w.loop_value("x", 40);
        }
        w.end_loop();
        const std::string text = w.finish_string();
        EXPECT_LE(longest_line(text), 20u) << text;
        const quarzel::ParseResult r = quarzel::parse_document(text, false);
        ASSERT_TRUE(r.document.errors.empty()) << text;
        const auto* a = r.document.blocks.at(0).data.find("_a");
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->size(), 2u);
        EXPECT_EQ((*a)[1].text, word33) << text;
    }
}

}  // namespace
