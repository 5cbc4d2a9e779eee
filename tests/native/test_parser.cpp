// The parser's events for CIF texts, as tables of (source, version) and the
// expected event lines (see recording_sink.hpp for the line format). Every
// case also runs through the sink guarantee checker.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "parser_harness.hpp"

namespace {

using quarzel::CifVersion;
using quarzel::testing::expect_cases;
using quarzel::testing::ParseCase;

constexpr CifVersion V1 = CifVersion::Cif11;
constexpr CifVersion V2 = CifVersion::Cif20;

TEST(Parser, BlocksAndFrames) {
    const ParseCase cases[] = {
        {"", V1, ""},
        {"  # only a comment\n", V2, ""},
        {"data_", V1, R"e(
error syntactic 1:1 data block with empty name ctx="data_" rec="using empty string"
data_block ""
)e"},
        {"DATA_Foo", V1, R"e(
data_block "Foo"
)e"},
        {"data_x\nsave_a\n_t 1\nsave_\n", V1, R"e(
data_block "x"
save_start "a"
tag "_t"
value "1" 5
save_end
)e"},
        {"data_x save_b save_a save_", V2, R"e(
data_block "x"
save_start "b"
error syntactic 1:15 nested save frame ctx="save_a" rec="implicitly closed previous save frame"
save_end
save_start "a"
save_end
)e"},
        // A new block ends the open frame without complaint.
        {"data_x save_f data_y", V1, R"e(
data_block "x"
save_start "f"
save_end
data_block "y"
)e"},
        {"save_f _a 1 Save_", V1, R"e(
error syntactic 1:1 save frame outside data block ctx="save_f" rec="continuing"
save_start "f"
error syntactic 1:8 tag "_a" outside data block ctx="_a" rec="continuing"
tag "_a"
value "1" 5
save_end
)e"},
        {"data_x save_", V1, R"e(
data_block "x"
error syntactic 1:8 save_ (frame close) outside save frame ctx="save_" rec="ignored"
)e"},
        {"data_x\nsave_f\n_a 1", V1, R"e(
data_block "x"
save_start "f"
tag "_a"
value "1" 5
error syntactic 3:4 unterminated save frame at EOF ctx="" rec="emitted on_save_frame_end"
save_end
)e"},
        // Names keep their case and may hold brackets in CIF 2.0.
        {"data_A{b} save_F[1] save_", V2, R"e(
data_block "A{b}"
save_start "F[1]"
save_end
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, TagsAndValues) {
    const ParseCase cases[] = {
        {"data_x _a _b", V1, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 tag "_a" has no value (new tag "_b") ctx="_b" rec="inserted ? placeholder"
value "?" 6
tag "_b"
error syntactic 1:11 tag "_b" has no value at EOF ctx="_b" rec="inserted ? placeholder"
value "?" 6
)e"},
        {"1", V1, R"e(
error syntactic 1:1 value "1" has no preceding tag ctx="1" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "1" 5
)e"},
        {"data_x _a 1 2", V1, R"e(
data_block "x"
tag "_a"
value "1" 5
error syntactic 1:13 value "2" has no preceding tag ctx="2" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "2" 5
)e"},
        {"_a 1", V1, R"e(
error syntactic 1:1 tag "_a" outside data block ctx="_a" rec="continuing"
tag "_a"
value "1" 5
)e"},
        {"data_x\n_a 'q' _b \"d\" _c ? _d . _e\n;text\n;\n_f ?? _g '.'", V1, R"e(
data_block "x"
tag "_a"
value "q" 4
tag "_b"
value "d" 3
tag "_c"
value "?" 6
tag "_d"
value "." 6
tag "_e"
value "text" 0
tag "_f"
value "??" 5
tag "_g"
value "." 4
)e"},
        {"data_x _a '''x''' _b \"\"\"y\"\"\"", V2, R"e(
data_block "x"
tag "_a"
value "x" 2
tag "_b"
value "y" 1
)e"},
        // Tags keep their case.
        {"data_x _A.B 1", V2, R"e(
data_block "x"
tag "_A.B"
value "1" 5
)e"},
        {"data_x _a data_y", V1, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 tag "_a" has no value (terminated by data_y) ctx="data_y" rec="inserted ? placeholder"
value "?" 6
data_block "y"
)e"},
        {"data_x _a LOOP_ _b 1", V1, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 tag "_a" has no value (terminated by loop_) ctx="LOOP_" rec="inserted ? placeholder"
value "?" 6
loop_start ["_b"]
value "1" 5
loop_end
)e"},
        // A stop_ outside a loop leaves the pending tag alone.
        {"data_x _a stop_ 1", V1, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 stop_ outside loop ctx="stop_" rec="ignored"
value "1" 5
)e"},
        // Special characters of names reach messages in quoted form.
        {"data_x _a\"b _c", V1, R"e(
data_block "x"
tag "_a\"b"
error syntactic 1:13 tag "_a\"b" has no value (new tag "_c") ctx="_c" rec="inserted ? placeholder"
value "?" 6
tag "_c"
error syntactic 1:13 tag "_c" has no value at EOF ctx="_c" rec="inserted ? placeholder"
value "?" 6
)e"},
        {"data_x _a 1 'tab\there'", V1, R"e(
data_block "x"
tag "_a"
value "1" 5
error syntactic 1:13 value "tab\there" has no preceding tag ctx="tab\there" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "tab\there" 4
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, Loops) {
    const ParseCase cases[] = {
        {"data_x loop_ _a _b 1 2 3 4", V1, R"e(
data_block "x"
loop_start ["_a", "_b"]
value "1" 5
value "2" 5
value "3" 5
value "4" 5
loop_end
)e"},
        // The parser does not count rows.
        {"data_x loop_ _a _b 1 2 3", V1, R"e(
data_block "x"
loop_start ["_a", "_b"]
value "1" 5
value "2" 5
value "3" 5
loop_end
)e"},
        // Every tag right after loop_ belongs to the loop.
        {"data_x\nloop_ _a _b\n_c 1", V1, R"e(
data_block "x"
loop_start ["_a", "_b", "_c"]
value "1" 5
loop_end
)e"},
        {"data_x\nloop_ _a _b\n]\n_c 1", V2, R"e(
data_block "x"
loop_start ["_a", "_b"]
error syntactic 3:1 unexpected ] — no open list ctx="]" rec="ignored"
error syntactic 4:1 loop has tags ["_a", "_b"] but no values ctx="_c" rec="loop emitted empty"
loop_end
tag "_c"
value "1" 5
)e"},
        {"data_x loop_ 1", V1, R"e(
data_block "x"
error syntactic 1:8 loop_ with no tags — loop skipped ctx="loop_" rec="loop ignored"
error syntactic 1:14 value "1" has no preceding tag ctx="1" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "1" 5
)e"},
        {"data_x loop_", V1, R"e(
data_block "x"
error syntactic 1:8 loop_ with no tags — loop skipped ctx="loop_" rec="loop ignored"
)e"},
        // The tags after loop_ do not move the end-of-input position.
        {"data_x\nloop_\n_a\n_b", V1, R"e(
data_block "x"
loop_start ["_a", "_b"]
error syntactic 2:1 loop has tags ["_a", "_b"] but no values ctx="EOF" rec="loop emitted empty"
loop_end
)e"},
        {"data_x loop_ _a 1 stop_ _b 2", V1, R"e(
data_block "x"
loop_start ["_a"]
value "1" 5
loop_end
tag "_b"
value "2" 5
)e"},
        {"data_x loop_ _a stop_", V1, R"e(
data_block "x"
loop_start ["_a"]
error syntactic 1:17 loop has tags ["_a"] but no values ctx="stop_" rec="loop emitted empty"
loop_end
)e"},
        {"data_x STOP_", V1, R"e(
data_block "x"
error syntactic 1:8 stop_ outside loop ctx="STOP_" rec="ignored"
)e"},
        {"loop_ _a 1", V1, R"e(
error syntactic 1:1 loop_ outside data block ctx="loop_" rec="continuing"
loop_start ["_a"]
value "1" 5
loop_end
)e"},
        {"data_x loop_ _a data_y", V1, R"e(
data_block "x"
loop_start ["_a"]
error syntactic 1:17 loop has tags ["_a"] but no values ctx="data_y" rec="loop emitted empty"
loop_end
data_block "y"
)e"},
        {"data_x loop_ _a 1 loop_ _b 2", V1, R"e(
data_block "x"
loop_start ["_a"]
value "1" 5
loop_end
loop_start ["_b"]
value "2" 5
loop_end
)e"},
        // A loop inside a frame is closed before the frame.
        {"data_x save_f loop_ _a 1 save_", V1, R"e(
data_block "x"
save_start "f"
loop_start ["_a"]
value "1" 5
loop_end
save_end
)e"},
        {"data_x loop_ _a [1 _b 2", V2, R"e(
data_block "x"
loop_start ["_a"]
list_start
value "1" 5
list_end
error syntactic 1:20 implicitly closed unclosed list (new tag "_b") ctx="_b" rec="emitted on_list_end"
error syntactic 1:20 unterminated container(s) in loop value (new tag "_b") ctx="_b" rec="containers implicitly closed"
error syntactic 1:20 loop has tags ["_a"] but no values ctx="_b" rec="loop emitted empty"
loop_end
tag "_b"
value "2" 5
)e"},
        // A closed list is one loop value.
        {"data_x loop_ _a [1] {'k':2} _b 2", V2, R"e(
data_block "x"
loop_start ["_a"]
list_start
value "1" 5
list_end
table_start
key "k" 4
value "2" 5
table_end
loop_end
tag "_b"
value "2" 5
)e"},
        {"data_x loop_ _a 1 [2", V2, R"e(
data_block "x"
loop_start ["_a"]
value "1" 5
list_start
value "2" 5
list_end
error syntactic 1:20 implicitly closed unclosed list (EOF) ctx="EOF" rec="emitted on_list_end"
error syntactic 1:20 unterminated container(s) in loop value (EOF) ctx="EOF" rec="containers implicitly closed"
loop_end
)e"},
        {"data_x loop_ _a [1 stop_", V2, R"e(
data_block "x"
loop_start ["_a"]
list_start
value "1" 5
list_end
error syntactic 1:20 implicitly closed unclosed list (stop_) ctx="stop_" rec="emitted on_list_end"
error syntactic 1:20 unterminated container(s) in loop value (stop_) ctx="stop_" rec="containers implicitly closed"
error syntactic 1:20 loop has tags ["_a"] but no values ctx="stop_" rec="loop emitted empty"
loop_end
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, GlobalHalts) {
    const ParseCase cases[] = {
        // Nothing after global_ is reported: no values, no lexical errors, no
        // end-of-input repairs.
        {"data_x save_f _a global_ _b 1 data_y 'open [", V2, R"e(
data_block "x"
save_start "f"
tag "_a"
error syntactic 1:18 tag "_a" has no value (global_) ctx="global_" rec="inserted ? placeholder"
value "?" 6
save_end
error syntactic 1:18 global_ is reserved and not permitted in CIF ctx="global_" rec="parsing halted"
)e"},
        {"data_x loop_ _a [1 GLOBAL_", V2, R"e(
data_block "x"
loop_start ["_a"]
list_start
value "1" 5
list_end
error syntactic 1:20 implicitly closed unclosed list (global_) ctx="GLOBAL_" rec="emitted on_list_end"
error syntactic 1:20 unterminated container(s) in loop value (global_) ctx="GLOBAL_" rec="containers implicitly closed"
error syntactic 1:20 loop has tags ["_a"] but no values ctx="GLOBAL_" rec="loop emitted empty"
loop_end
error syntactic 1:20 global_ is reserved and not permitted in CIF ctx="GLOBAL_" rec="parsing halted"
)e"},
        {"data_x _a [1 global_", V2, R"e(
data_block "x"
tag "_a"
list_start
value "1" 5
list_end
error syntactic 1:14 implicitly closed unclosed list (global_) ctx="global_" rec="emitted on_list_end"
error syntactic 1:14 global_ is reserved and not permitted in CIF ctx="global_" rec="parsing halted"
)e"},
        {"global_", V1, R"e(
error syntactic 1:1 global_ is reserved and not permitted in CIF ctx="global_" rec="parsing halted"
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, Lists) {
    const ParseCase cases[] = {
        {"data_x _a [1 [2 3] 4]", V2, R"e(
data_block "x"
tag "_a"
list_start
value "1" 5
list_start
value "2" 5
value "3" 5
list_end
value "4" 5
list_end
)e"},
        {"data_x _a [] _b 1", V2, R"e(
data_block "x"
tag "_a"
list_start
list_end
tag "_b"
value "1" 5
)e"},
        {"data_x [1]", V2, R"e(
data_block "x"
error syntactic 1:8 container without preceding tag ctx="[" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
list_start
value "1" 5
list_end
)e"},
        // The reserved tag is answered by the list: a following value has no tag.
        {"data_x [] 2", V2, R"e(
data_block "x"
error syntactic 1:8 container without preceding tag ctx="[" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
list_start
list_end
error syntactic 1:11 value "2" has no preceding tag ctx="2" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "2" 5
)e"},
        {"data_x _a ]", V2, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 unexpected ] — no open list ctx="]" rec="ignored"
error syntactic 1:11 tag "_a" has no value at EOF ctx="_a" rec="inserted ? placeholder"
value "?" 6
)e"},
        {"data_x _a [ }]", V2, R"e(
data_block "x"
tag "_a"
list_start
error syntactic 1:13 unexpected } — no open table ctx="}" rec="ignored"
list_end
)e"},
        {"data_x _a [1 [2", V2, R"e(
data_block "x"
tag "_a"
list_start
value "1" 5
list_start
value "2" 5
list_end
error syntactic 1:15 unterminated list at EOF ctx="" rec="emitted on_list_end"
list_end
error syntactic 1:15 unterminated list at EOF ctx="" rec="emitted on_list_end"
)e"},
        {"data_x _a [1 _b 2", V2, R"e(
data_block "x"
tag "_a"
list_start
value "1" 5
error syntactic 1:14 tag "_b" encountered inside open container ctx="_b" rec="implicitly closing containers"
list_end
error syntactic 1:14 implicitly closed unclosed list (tag "_b") ctx="_b" rec="emitted on_list_end"
tag "_b"
value "2" 5
)e"},
        {"data_x _a [[1] save_f", V2, R"e(
data_block "x"
tag "_a"
list_start
list_start
value "1" 5
list_end
list_end
error syntactic 1:16 implicitly closed unclosed list (terminated by save_f) ctx="save_f" rec="emitted on_list_end"
save_start "f"
error syntactic 1:16 unterminated save frame at EOF ctx="" rec="emitted on_save_frame_end"
save_end
)e"},
        // A colon outside a table is an ordinary value.
        {"data_x _a [a : b] _b :", V2, R"e(
data_block "x"
tag "_a"
list_start
value "a" 5
value ":" 5
value "b" 5
list_end
tag "_b"
value ":" 5
)e"},
        // In CIF 1.1 brackets are word material.
        {"data_x _a [1 2]", V1, R"e(
data_block "x"
tag "_a"
error lexical 1:11 bare word beginning with '[' is not permitted in CIF 1.x ctx="[" rec="lexer recovery"
value "[1" 5
error syntactic 1:14 value "2]" has no preceding tag ctx="2]" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "2]" 5
)e"},
        // ... also standing alone: CIF 1.1 has no lists or tables, and a lone
        // brace, quoted bracket or colon is an ordinary (valid) value.
        {"data_x _a [ 1 ]", V1, R"e(
data_block "x"
tag "_a"
error lexical 1:11 bare word beginning with '[' is not permitted in CIF 1.x ctx="[" rec="lexer recovery"
value "[" 5
error syntactic 1:13 value "1" has no preceding tag ctx="1" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "1" 5
error syntactic 1:15 value "]" has no preceding tag ctx="]" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "]" 5
)e"},
        {"data_x _a { _b } _c '[' _d \"]\" _e : loop_ _f _g { '{' } ':'", V1, R"e(
data_block "x"
tag "_a"
value "{" 5
tag "_b"
value "}" 5
tag "_c"
value "[" 4
tag "_d"
value "]" 3
tag "_e"
value ":" 5
loop_start ["_f", "_g"]
value "{" 5
value "{" 4
value "}" 5
value ":" 4
loop_end
)e"},
    };
    expect_cases(cases);
}

// Only the unquoted punctuation tokens are structure: a one-character
// "[", "]", "{", "}" or ":" in quotes, triple quotes or a text field is a
// string, in every position and on the loop's path too.
TEST(Parser, OnlyUnquotedPunctuationIsStructure) {
    const ParseCase cases[] = {
        {"data_x _a '[' _b \"]\" _c '''{''' _d \"\"\"}\"\"\" _e ':'", V2, R"e(
data_block "x"
tag "_a"
value "[" 4
tag "_b"
value "]" 3
tag "_c"
value "{" 2
tag "_d"
value "}" 1
tag "_e"
value ":" 4
)e"},
        {"data_x _a\n;[\n;\n_b\n;}\n;", V2, R"e(
data_block "x"
tag "_a"
value "[" 0
tag "_b"
value "}" 0
)e"},
        // A quoted colon is a table's value, or its key.
        {"data_x _t {'a':':' ':':'}' 'b':'{'}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
value ":" 4
key ":" 4
value "}" 4
key "b" 4
value "{" 4
table_end
)e"},
        // In a table waiting for the colon, a quoted one is a value.
        {"data_x _t {'a' ':'}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:16 table key "a" not followed by : separator ctx=":" rec="emitted on_table_key; treating current token as value"
key "a" 4
value ":" 4
table_end
)e"},
        // Each a loop value of its own (the loop's general path).
        {"data_x loop_ _a _b '[' \"]\" x '{'\n'}' ':' y", V2, R"e(
data_block "x"
loop_start ["_a", "_b"]
value "[" 4
value "]" 3
value "x" 5
value "{" 4
value "}" 4
value ":" 4
value "y" 5
loop_end
)e"},
        // The punctuation itself stays structure.
        {"data_x _a [ ] _b { } _c '['[]']'", V2, R"e(
data_block "x"
tag "_a"
list_start
list_end
tag "_b"
table_start
table_end
tag "_c"
value "[" 4
error syntactic 1:28 container without preceding tag ctx="[" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
list_start
list_end
error syntactic 1:30 value "]" has no preceding tag ctx="]" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
value "]" 4
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, Tables) {
    const ParseCase cases[] = {
        {"data_x _t {'a':1 'b':[2]}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
value "1" 5
key "b" 4
list_start
value "2" 5
list_end
table_end
)e"},
        {"data_x _t {\"a\":{'b':'''c'''}}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 3
table_start
key "b" 4
value "c" 2
table_end
table_end
)e"},
        {"data_x _t {a : 1}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:12 table key must be a quoted string, got unquoted: "a" ctx="a" rec="treating as key anyway"
key "a" 5
value "1" 5
table_end
)e"},
        // A text field as key: unquoted, and its colon is not checked.
        {"data_x _t {\n;k\n; : 1}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 2:1 table key must be a quoted string, got unquoted: "k" ctx="k" rec="treating as key anyway"
key "k" 0
value "1" 5
table_end
)e"},
        {"data_x _t {'a' : 1}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:16 whitespace between table key "a" and : separator ctx=":" rec="accepted"
key "a" 4
value "1" 5
table_end
)e"},
        {"data_x _t {'a'\n: 1}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 2:1 whitespace between table key "a" and : separator ctx=":" rec="accepted"
key "a" 4
value "1" 5
table_end
)e"},
        {"data_x _t {'''a\nb''' : 1 \"\"\"cd\"\"\":2 '''e''' : 3}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a\nb" 2
value "1" 5
key "cd" 1
value "2" 5
error syntactic 2:29 whitespace between table key "e" and : separator ctx=":" rec="accepted"
key "e" 2
value "3" 5
table_end
)e"},
        // The span of a key counts characters, not bytes.
        {"data_x _t {'caf\xC3\xA9':1 \"\xE2\x82\xAC\xE2\x82\xAC\":2}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "café" 4
value "1" 5
key "€€" 3
value "2" 5
table_end
)e"},
        {"data_x _t {'a' 1}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:16 table key "a" not followed by : separator ctx="1" rec="emitted on_table_key; treating current token as value"
key "a" 4
value "1" 5
table_end
)e"},
        {"data_x _t {'a':}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
error syntactic 1:16 table key has no value ctx="}" rec="inserted ? placeholder"
value "?" 6
table_end
)e"},
        {"data_x _t {'a'}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:15 table key "a" missing : separator ctx="}" rec="emitted on_table_key; inserted ? placeholder"
key "a" 4
value "?" 6
table_end
)e"},
        {"data_x _t {[1] 'a':2}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:12 container in table key position ctx="[" rec="treating container as table value (no key)"
list_start
value "1" 5
list_end
key "a" 4
value "2" 5
table_end
)e"},
        {"data_x _t {'a' [1]}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:16 table key "a" missing : separator ctx="[" rec="emitted on_table_key; treating container as value"
key "a" 4
list_start
value "1" 5
list_end
table_end
)e"},
        {"data_x _t {:}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:12 unexpected : in table — no pending key ctx=":" rec="ignored"
table_end
)e"},
        {"data_x _t {'a'::1}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
error syntactic 1:16 unexpected : in table value position ctx=":" rec="ignored"
value "1" 5
table_end
)e"},
        {"data_x _t {'a':1 ]}", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
value "1" 5
error syntactic 1:18 unexpected ] — no open list ctx="]" rec="ignored"
table_end
)e"},
        {"data_x _a }", V2, R"e(
data_block "x"
tag "_a"
error syntactic 1:11 unexpected } — no open table ctx="}" rec="ignored"
error syntactic 1:11 tag "_a" has no value at EOF ctx="_a" rec="inserted ? placeholder"
value "?" 6
)e"},
        {"data_x _t {'a':1 'b'", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
value "1" 5
error syntactic 1:18 table key "b" missing : separator ctx="EOF" rec="emitted on_table_key; inserted ? placeholder"
key "b" 4
value "?" 6
table_end
error syntactic 1:18 unterminated table at EOF ctx="" rec="emitted on_table_end"
)e"},
        {"data_x _t {'a':", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
error syntactic 1:15 table key has no value ctx="EOF" rec="inserted ? placeholder"
value "?" 6
table_end
error syntactic 1:15 unterminated table at EOF ctx="" rec="emitted on_table_end"
)e"},
        {"data_x _t {'a': _b 1", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
error syntactic 1:17 tag "_b" encountered inside open container ctx="_b" rec="implicitly closing containers"
error syntactic 1:17 table key has no value ctx="_b" rec="inserted ? placeholder"
value "?" 6
table_end
error syntactic 1:17 implicitly closed unclosed table (tag "_b") ctx="_b" rec="emitted on_table_end"
tag "_b"
value "1" 5
)e"},
        // An implicitly closed container completes the entry that holds it.
        {"data_x _t {'a':[1 'b':{'c':[ _d", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
list_start
value "1" 5
value "b" 4
value ":" 5
table_start
key "c" 4
list_start
error syntactic 1:30 tag "_d" encountered inside open container ctx="_d" rec="implicitly closing containers"
list_end
error syntactic 1:30 implicitly closed unclosed list (tag "_d") ctx="_d" rec="emitted on_list_end"
table_end
error syntactic 1:30 implicitly closed unclosed table (tag "_d") ctx="_d" rec="emitted on_table_end"
list_end
error syntactic 1:30 implicitly closed unclosed list (tag "_d") ctx="_d" rec="emitted on_list_end"
table_end
error syntactic 1:30 implicitly closed unclosed table (tag "_d") ctx="_d" rec="emitted on_table_end"
tag "_d"
error syntactic 1:30 tag "_d" has no value at EOF ctx="_d" rec="inserted ? placeholder"
value "?" 6
)e"},
        {"data_x _t {'a':{[", V2, R"e(
data_block "x"
tag "_t"
table_start
key "a" 4
table_start
error syntactic 1:17 container in table key position ctx="[" rec="treating container as table value (no key)"
list_start
list_end
error syntactic 1:17 unterminated list at EOF ctx="" rec="emitted on_list_end"
table_end
error syntactic 1:17 unterminated table at EOF ctx="" rec="emitted on_table_end"
table_end
error syntactic 1:17 unterminated table at EOF ctx="" rec="emitted on_table_end"
)e"},
        {"data_x _t {'a' data_y", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:16 table key "a" missing : separator ctx="data_y" rec="emitted on_table_key; inserted ? placeholder"
key "a" 4
value "?" 6
table_end
error syntactic 1:16 implicitly closed unclosed table (terminated by data_y) ctx="data_y" rec="emitted on_table_end"
data_block "y"
)e"},
        {"data_x {'a':1}", V2, R"e(
data_block "x"
error syntactic 1:8 container without preceding tag ctx="{" rec="attached to _quarzel_error_value"
tag "_quarzel_error_value"
table_start
key "a" 4
value "1" 5
table_end
)e"},
        // A colon directly after a closing bracket is punctuation too.
        {"data_x _t {[1]:2}", V2, R"e(
data_block "x"
tag "_t"
table_start
error syntactic 1:12 container in table key position ctx="[" rec="treating container as table value (no key)"
list_start
value "1" 5
list_end
error syntactic 1:15 unexpected : in table — no pending key ctx=":" rec="ignored"
error syntactic 1:16 table key must be a quoted string, got unquoted: "2" ctx="2" rec="treating as key anyway"
error syntactic 1:17 table key "2" missing : separator ctx="}" rec="emitted on_table_key; inserted ? placeholder"
key "2" 5
value "?" 6
table_end
)e"},
    };
    expect_cases(cases);
}

TEST(Parser, LexicalErrorsComeBeforeTheirToken) {
    const ParseCase cases[] = {
        {"data_x _a 'caf\xC3\xA9'", V1, R"e(
data_block "x"
tag "_a"
error lexical 1:15 character U+00E9 is not permitted in CIF 1.x ctx="é" rec="lexer recovery"
value "café" 4
)e"},
        // The token after the loop's tags is handled (and its errors
        // reported) after the loop has started.
        {"data_x loop_ _a 'x", V1, R"e(
data_block "x"
loop_start ["_a"]
error lexical 1:17 unterminated single quoted string ctx="'x" rec="lexer recovery"
value "x" 4
loop_end
)e"},
        {"data_x _a\n;open", V2, R"e(
data_block "x"
tag "_a"
error lexical 2:1 unterminated multiline string ctx=";" rec="lexer recovery"
value "open" 0
)e"},
        {"data_x _a '''x'''", V1, R"e(
data_block "x"
tag "_a"
error lexical 1:11 triple-quoted strings are not valid in CIF 1.x ctx="'''" rec="lexer recovery"
value "x" 5
)e"},
    };
    expect_cases(cases);
}

}  // namespace

namespace {

using quarzel::NativeParseError;
using quarzel::ValueType;

// Counts events; for inputs too large to record line by line.
struct CountingSink {
    std::size_t list_start = 0, list_end = 0, table_start = 0, table_end = 0, values = 0, keys = 0,
                tags = 0, errors = 0, other = 0;
    void on_data_block(std::string_view) { ++other; }
    void on_save_frame_start(std::string_view) { ++other; }
    void on_save_frame_end() { ++other; }
    void on_loop_start(std::span<const std::string_view>) { ++other; }
    void on_loop_end() { ++other; }
    void add_tag(std::string_view) { ++tags; }
    void add_value(std::string_view, ValueType) { ++values; }
    void on_list_start() { ++list_start; }
    void on_list_end() { ++list_end; }
    void on_table_start() { ++table_start; }
    void on_table_key(std::string_view, ValueType) { ++keys; }
    void on_table_end() { ++table_end; }
    void on_parse_error(NativeParseError) { ++errors; }
};

CountingSink parse_counting(const std::string& text) {
    quarzel::Lexer lexer(text, V2, 0);
    CountingSink counts;
    quarzel::testing::GuaranteeChecker checker;
    quarzel::testing::TeeSink<CountingSink, quarzel::testing::GuaranteeChecker> tee{counts,
                                                                                    checker};
    quarzel::parse(lexer, tee);
    checker.finish();
    EXPECT_EQ(checker.violations().size(), 0u)
        << (checker.violations().empty() ? "" : checker.violations().front());
    return counts;
}

constexpr std::size_t kDeep = 1'000'000;

TEST(ParserDeepNesting, UnclosedListsCloseAtEndOfInput) {
    const CountingSink c = parse_counting("data_x _a " + std::string(kDeep, '['));
    EXPECT_EQ(c.list_start, kDeep);
    EXPECT_EQ(c.list_end, kDeep);
    EXPECT_EQ(c.errors, kDeep);  // one "unterminated list at EOF" each
    EXPECT_EQ(c.values, 0u);     // the outermost list answered the tag
}

TEST(ParserDeepNesting, ClosedListsHaveNoErrors) {
    const CountingSink c = parse_counting("data_x _a " + std::string(kDeep, '[') + "1" +
                                          std::string(kDeep, ']') + " _b 2");
    EXPECT_EQ(c.list_start, kDeep);
    EXPECT_EQ(c.list_end, kDeep);
    EXPECT_EQ(c.errors, 0u);
    EXPECT_EQ(c.values, 2u);
}

TEST(ParserDeepNesting, TagClosesEveryContainerOfALoopValue) {
    const CountingSink c = parse_counting("data_x loop_ _a " + std::string(kDeep, '[') + " _b 1");
    EXPECT_EQ(c.list_end, kDeep);
    // One per list, then "unterminated container(s)" and "no values".
    EXPECT_EQ(c.errors, kDeep + 2);
}

TEST(ParserDeepNesting, UnclosedTables) {
    const CountingSink c = parse_counting("data_x _a " + std::string(kDeep, '{'));
    EXPECT_EQ(c.table_start, kDeep);
    EXPECT_EQ(c.table_end, kDeep);
    // Each inner table stands in a key position; each table is unterminated.
    EXPECT_EQ(c.errors, 2 * kDeep - 1);
    EXPECT_EQ(c.keys, 0u);
}

}  // namespace

namespace {

// Hands out prepared tokens; for token shapes the lexer never produces.
struct TokenVector {
    std::vector<quarzel::Token> tokens;
    std::vector<quarzel::LexerError> errors;
    std::size_t next_index = 0;
    bool next(quarzel::Token& out) {
        if (next_index == tokens.size()) return false;
        out = tokens[next_index++];
        return true;
    }
    std::span<const quarzel::LexerError> errors_of(const quarzel::Token& t) const {
        return {errors.data() + t.error_begin, t.error_count};
    }
    bool is_cif2() const { return true; }
};

quarzel::Token token(std::string_view text, quarzel::TokenType type, ValueType kind,
                     std::uint32_t column) {
    quarzel::Token t;
    t.value = text;
    t.line = 1;
    t.column = column;
    t.type = type;
    t.value_type = kind;
    return t;
}

TEST(Parser, KindlessValuesReachTheSinkAsStrings) {
    using quarzel::TokenType;
    TokenVector source;
    source.tokens = {
        token("data_x", TokenType::Keyword, ValueType::None, 1),
        token("_a", TokenType::Tag, ValueType::None, 8),
        token("v", TokenType::Value, ValueType::None, 11),
        token("_t", TokenType::Tag, ValueType::None, 13),
        token("{", TokenType::Value, ValueType::None, 16),
        token("k", TokenType::Value, ValueType::None, 17),
        token(":", TokenType::Value, ValueType::None, 18),
        token("w", TokenType::Value, ValueType::None, 19),
        token("}", TokenType::Value, ValueType::None, 20),
    };
    // A lexer error on a tag collected after loop_ comes before the loop.
    source.errors = {{"odd tag", "_b", 2, 3}};
    auto tagged = token("_b", TokenType::Tag, ValueType::None, 3);
    tagged.line = 2;
    tagged.error_count = 1;
    source.tokens.push_back(token("loop_", TokenType::Keyword, ValueType::None, 22));
    source.tokens.push_back(tagged);

    quarzel::testing::RecordingSink recording;
    quarzel::parse(source, recording);
    EXPECT_EQ(recording.text(), R"e(data_block "x"
tag "_a"
value "v" 5
tag "_t"
table_start
error syntactic 1:17 table key must be a quoted string, got unquoted: "k" ctx="k" rec="treating as key anyway"
key "k" 5
value "w" 5
table_end
error lexical 2:3 odd tag ctx="_b" rec="lexer recovery"
loop_start ["_b"]
error syntactic 1:22 loop has tags ["_b"] but no values ctx="EOF" rec="loop emitted empty"
loop_end
)e");
}

}  // namespace
