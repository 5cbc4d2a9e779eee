#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/builder.hpp"
#include "core/categories.hpp"
#include "core/cell_text.hpp"
#include "core/lexer.hpp"
#include "core/lowercase.hpp"
#include "core/parser.hpp"
#include "core/pipeline.hpp"
#include "corpus.hpp"

using quarzel::CifVersion;
using quarzel::ParsedCif;
using quarzel::RawBuilder;
using quarzel::ValueType;

namespace {

// One sink operation with its arguments.
struct Ev {
    enum Op {
        Data,
        FrameStart,
        FrameEnd,
        LoopStart,
        LoopEnd,
        Tag,
        Value,
        ListStart,
        ListEnd,
        TableStart,
        TableKey,
        TableEnd,
        Error
    } op;
    std::vector<std::string> args = {};
    ValueType kind = ValueType::String;
};

Ev D(std::string n) {
    return {Ev::Data, {std::move(n)}};
}
Ev SF(std::string n) {
    return {Ev::FrameStart, {std::move(n)}};
}
const Ev SE{Ev::FrameEnd};
Ev LS(std::vector<std::string> tags) {
    return {Ev::LoopStart, std::move(tags)};
}
const Ev LE{Ev::LoopEnd};
Ev T(std::string t) {
    return {Ev::Tag, {std::move(t)}};
}
Ev V(std::string v, ValueType k = ValueType::String) {
    return {Ev::Value, {std::move(v)}, k};
}
Ev P(std::string v) {
    return V(std::move(v), ValueType::Placeholder);
}
const Ev L{Ev::ListStart};
const Ev LX{Ev::ListEnd};
const Ev TS{Ev::TableStart};
Ev K(std::string k) {
    return {Ev::TableKey, {std::move(k)}};
}
const Ev TX{Ev::TableEnd};
Ev ERR(std::string m) {
    return {Ev::Error, {std::move(m)}};
}

void drive(RawBuilder& b, const std::vector<Ev>& events) {
    for (const Ev& e : events) {
        // Every text argument is a temporary copy, gone after the call: the
        // builder must keep its own.
        std::vector<std::string> args = e.args;
        switch (e.op) {
            case Ev::Data:
                b.on_data_block(args[0]);
                break;
            case Ev::FrameStart:
                b.on_save_frame_start(args[0]);
                break;
            case Ev::FrameEnd:
                b.on_save_frame_end();
                break;
            case Ev::LoopStart: {
                std::vector<std::string_view> views(args.begin(), args.end());
                b.on_loop_start(views);
                break;
            }
            case Ev::LoopEnd:
                b.on_loop_end();
                break;
            case Ev::Tag:
                b.add_tag(args[0]);
                break;
            case Ev::Value:
                b.add_value(args[0], e.kind);
                break;
            case Ev::ListStart:
                b.on_list_start();
                break;
            case Ev::ListEnd:
                b.on_list_end();
                break;
            case Ev::TableStart:
                b.on_table_start();
                break;
            case Ev::TableKey:
                b.on_table_key(args[0], ValueType::String);
                break;
            case Ev::TableEnd:
                b.on_table_end();
                break;
            case Ev::Error:
                b.on_parse_error({quarzel::ErrorType::Syntactic, args[0], 7, 3, "ctx", "skipped"});
                break;
        }
        for (auto& a : args) a.assign(a.size(), '#');
    }
}

// A value as "[a b]" and "{k:v}".
void render(std::string& out, const quarzel::NodeStore& nodes, std::size_t root) {
    struct Writer {
        std::string& out;
        bool text(std::string_view t) {
            out += t;
            return true;
        }
        bool open(quarzel::NodeKind kind, std::uint64_t) {
            out += kind == quarzel::NodeKind::List ? '[' : '{';
            return true;
        }
        bool close(quarzel::NodeKind kind) {
            out += kind == quarzel::NodeKind::List ? ']' : '}';
            return true;
        }
        bool element(bool in_table, std::uint64_t index, std::string_view key) {
            if (index) out += ' ';
            if (in_table) {
                out += key;
                out += ':';
            }
            return true;
        }
    } writer{out};
    EXPECT_TRUE(quarzel::walk_value(nodes, root, writer));
}

void render_frame(std::string& out, const quarzel::FrameData& f, const std::string& indent) {
    for (const auto& loop : f.loops) {
        out += indent + "loop";
        for (const auto& t : loop) (out += ' ') += t;
        out += '\n';
    }
    for (const auto& tag : f.tag_order) {
        out += indent;
        (out += tag) += ":";
        const quarzel::ValueColumn* col = f.find(tag);
        ASSERT_NE(col, nullptr);
        EXPECT_EQ(col, &f.columns[f.position(tag)]);
        for (std::size_t i = 0; i < col->size(); ++i) {
            out += ' ';
            auto ref = (*col)[i];
            if (ref.compound)
                render(out, *ref.compound, ref.root);
            else
                out += ref.text;
        }
        out += '\n';
    }
    EXPECT_EQ(f.columns.size(), f.tag_order.size());
}

// The document as text, one line per item.
std::string dump(const ParsedCif& doc) {
    std::string out;
    for (const auto& e : doc.errors) {
        out += "E " + std::string(quarzel::error_type_name(e.error_type)) + " " +
               std::to_string(e.line) + ":" + std::to_string(e.column) + " " + e.context + " | " +
               e.message + " | " + e.recovery_action + "\n";
    }
    for (const auto& b : doc.blocks) {
        out += "block " + b.name + "\n";
        render_frame(out, b.data, "  ");
        for (const auto& f : b.save_frames) {
            out += "  frame " + f.name + "\n";
            render_frame(out, f.data, "    ");
        }
    }
    return out;
}

struct BuildCase {
    const char* name;
    std::vector<Ev> events;
    std::string expected;
    bool strict = false;
};

class Builder : public ::testing::TestWithParam<BuildCase> {};

std::string case_name(const ::testing::TestParamInfo<BuildCase>& info) {
    return info.param.name;
}

TEST_P(Builder, Builds) {
    const BuildCase& c = GetParam();
    RawBuilder b(CifVersion::Cif20, c.strict, {});
    drive(b, c.events);
    ParsedCif doc = std::move(b).finish();
    EXPECT_EQ(dump(doc), c.expected);
}

const char* kDupBlock =
    "E semantic 0:0 RawBuilder | duplicate data block name: \"a\" | duplicate block stored with "
    "distinct internal id\n";
const char* const kOverValue = "later occurrence kept, earlier value dropped";
const char* const kOverColumn = "later occurrence kept, earlier loop column dropped";
const char* const kInHeader = "later column kept, earlier one dropped";

// The record of a tag given again (the builder has no text here: no position).
std::string dup(const std::string& tag, const std::string& recovery) {
    return "E semantic 0:0 " + tag + " | duplicate data name: \"" + tag + "\" | " + recovery + "\n";
}

const char* kShortLoop =
    "E semantic 0:0 RawBuilder | loop value count 3 is not divisible by tag count 2 (1 value(s) "
    "missing from final row); tags: _a, _b | ";

INSTANTIATE_TEST_SUITE_P(
    Structure, Builder,
    ::testing::Values(
        BuildCase{
            "names_lower_cased", {D("ABC"), T("_Tag.X"), V("Val")}, "block abc\n  _tag.x: Val\n"},
        BuildCase{
            "unicode_names_lower_cased", {D("ÄΣΑΣ"), T("_ÖΣ"), V("x")}, "block äσας\n  _öς: x\n"},
        BuildCase{"repeated_tag_later_value_wins",
                  {D("x"), T("_a"), V("1"), T("_b"), V("2"), T("_A"), V("3")},
                  dup("_A", kOverValue) + "block x\n  _b: 2\n  _a: 3\n"},
        BuildCase{"value_without_tag_dropped",
                  {D("x"), V("1"), T("_a"), V("2"), V("3")},
                  "block x\n  _a: 2\n"},
        BuildCase{"pending_tag_replaced", {D("x"), T("_a"), T("_b"), V("1")}, "block x\n  _b: 1\n"},
        BuildCase{"before_first_block_dropped",
                  {T("_a"), V("1"), LS({"_l"}), V("2"), LE, SF("f"), SE, D("x")},
                  "block x\n"},
        BuildCase{"empty_block_name", {D("")}, "block \n"},
        BuildCase{
            "save_frames",
            {D("x"), T("_a"), V("1"), SF("F1"), T("_b"), V("2"), SE, SF("f2"), SE, T("_c"), V("3")},
            "block x\n  _a: 1\n  _c: 3\n  frame f1\n    _b: 2\n  frame f2\n"},
        BuildCase{
            "frame_open_at_end_not_attached", {D("x"), SF("f"), T("_a"), V("1")}, "block x\n"},
        BuildCase{"frame_open_at_new_block_discarded",
                  {D("x"), SF("f"), T("_a"), V("1"), D("y")},
                  "block x\nblock y\n"},
        BuildCase{"frame_name_repeated_in_other_block",
                  {D("x"), SF("f"), SE, D("y"), SF("F"), SE},
                  "block x\n  frame f\nblock y\n  frame f\n"},
        BuildCase{
            "duplicate_frame",
            {D("x"), SF("f"), SE, SF("F"), T("_a"), V("1"), SE},
            "E semantic 0:0 RawBuilder | duplicate save frame name: \"F\" | duplicate save "
            "frame stored with distinct internal id\nblock x\n  frame f\n  frame f\n    _a: 1\n"},
        BuildCase{"duplicate_block",
                  {D("A"), T("_x"), V("1"), D("a"), T("_x"), V("2")},
                  std::string(kDupBlock) + "block a\n  _x: 1\nblock a\n  _x: 2\n"},
        BuildCase{"duplicate_name_quoted",
                  {D("b\"q"), D("B\"Q")},
                  "E semantic 0:0 RawBuilder | duplicate data block name: \"B\\\"Q\" | duplicate "
                  "block stored with distinct internal id\nblock b\"q\nblock b\"q\n"},
        BuildCase{"parse_errors_kept_in_order",
                  {ERR("first"), D("x"), ERR("second")},
                  "E syntactic 7:3 ctx | first | skipped\nE syntactic 7:3 ctx | second | skipped\n"
                  "block x\n"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Loops, Builder,
    ::testing::Values(
        BuildCase{"columns",
                  {D("x"), LS({"_A", "_b"}), V("1"), V("2"), V("3"), V("4"), LE},
                  "block x\n  loop _a _b\n  _a: 1 3\n  _b: 2 4\n"},
        BuildCase{"padding",
                  {D("x"), LS({"_A", "_b"}), V("1"), V("2"), V("3"), LE},
                  std::string(kShortLoop) +
                      "padded 1 placeholder(s)\nblock x\n  loop _a _b\n  _a: 1 3\n  _b: 2 ?\n"},
        BuildCase{
            "padding_several",
            {D("x"), LS({"_a", "_b", "_c"}), V("1"), LE},
            "E semantic 0:0 RawBuilder | loop value count 1 is not divisible by tag count 3 "
            "(2 value(s) missing from final row); tags: _a, _b, _c | padded 2 placeholder(s)\n"
            "block x\n  loop _a _b _c\n  _a: 1\n  _b: ?\n  _c: ?\n"},
        BuildCase{
            "no_values", {D("x"), LS({"_a", "_b"}), LE}, "block x\n  loop _a _b\n  _a:\n  _b:\n"},
        // A tag given again: the later occurrence wins, takes the later
        // place and leaves the earlier loop, whose other columns stay whole.
        BuildCase{"plain_then_looped",
                  {D("x"), T("_a"), V("0"), T("_z"), V("9"), LS({"_b", "_a"}), V("1"), V("2"), LE},
                  dup("_a", kOverValue) + "block x\n  loop _b _a\n  _z: 9\n  _b: 1\n  _a: 2\n"},
        BuildCase{"looped_then_plain",
                  {D("x"), LS({"_a", "_b"}), V("1"), V("2"), V("3"), V("4"), LE, T("_A"), V("5")},
                  dup("_A", kOverColumn) + "block x\n  loop _b\n  _b: 2 4\n  _a: 5\n"},
        BuildCase{"two_loops_same_tag",
                  {D("x"), LS({"_a", "_b"}), V("1"), V("2"), V("3"), V("4"), LE, LS({"_a"}), V("5"),
                   LE, LS({"_c"}), V("6"), LE},
                  dup("_a", kOverColumn) +
                      "block x\n  loop _b\n  loop _a\n  loop _c\n  _b: 2 4\n  _a: 5\n  _c: 6\n"},
        // A loop left without tags goes; the later loops move up.
        BuildCase{
            "loop_emptied_goes",
            {D("x"), LS({"_a"}), V("1"), LE, LS({"_b"}), V("2"), LE, T("_a"), V("3"), LS({"_c"}),
             V("4"), LE},
            dup("_a", kOverColumn) + "block x\n  loop _b\n  loop _c\n  _b: 2\n  _a: 3\n  _c: 4\n"},
        BuildCase{
            "loop_of_given_again_tags",
            {D("x"), LS({"_a", "_b"}), V("1"), V("2"), LE, LS({"_b", "_a"}), V("3"), V("4"), LE},
            dup("_b", kOverColumn) + dup("_a", kOverColumn) +
                "block x\n  loop _b _a\n  _b: 3\n  _a: 4\n"},
        // A tag repeated in the header: rows keep every position, the last
        // column of the tag is kept, at its place.
        BuildCase{
            "repeated_header_tag",
            {D("x"), LS({"_a", "_b", "_A"}), V("1"), V("2"), V("3"), V("4"), V("5"), V("6"), LE},
            dup("_A", kInHeader) + "block x\n  loop _b _a\n  _b: 2 5\n  _a: 3 6\n"},
        BuildCase{"header_tag_thrice",
                  {D("x"), LS({"_a", "_a", "_b", "_a"}), V("1"), V("2"), V("3"), V("4"), LE},
                  dup("_a", kInHeader) + dup("_a", kInHeader) +
                      "block x\n  loop _b _a\n  _b: 3\n  _a: 4\n"},
        BuildCase{
            "repeated_header_tag_short_row",
            {D("x"), LS({"_a", "_a"}), V("1"), V("2"), V("3"), LE},
            dup("_a", kInHeader) +
                "E semantic 0:0 RawBuilder | loop value count 3 is not divisible by tag count "
                "2 (1 value(s) missing from final row); tags: _a, _a | padded 1 "
                "placeholder(s)\nblock x\n  loop _a\n  _a: 2 ?\n"},
        // Names repeat only within one block or save frame.
        BuildCase{"same_tag_in_block_and_frame",
                  {D("x"), T("_a"), V("1"), SF("f"), T("_a"), V("2"), LS({"_a"}), V("3"), LE, SE,
                   T("_b"), V("4"), D("y"), T("_a"), V("5")},
                  dup("_a", kOverValue) +
                      "block x\n  _a: 1\n  _b: 4\n  frame f\n    loop _a\n    _a: 3\nblock y\n"
                      "  _a: 5\n"},
        // The tag of values without one gathers them all.
        BuildCase{"reserved_tag_gathers",
                  {D("x"), T("_quarzel_error_value"), V("1"), T("_b"), V("2"),
                   T("_quarzel_error_value"), V("3")},
                  "block x\n  _quarzel_error_value: 1 3\n  _b: 2\n"},
        BuildCase{"reserved_tag_looped_is_replaced",
                  {D("x"), LS({"_quarzel_error_value", "_b"}), V("1"), V("2"), LE,
                   T("_quarzel_error_value"), V("3")},
                  dup("_quarzel_error_value", kOverColumn) +
                      "block x\n  loop _b\n  _b: 2\n  _quarzel_error_value: 3\n"},
        // Only a placeholder stays a bare "." or "?" in a loop too.
        BuildCase{
            "one_byte_values",
            {D("x"), LS({"_a"}), P("."), P("?"), V(".", ValueType::SingleQuoted),
             V("?", ValueType::DoubleQuoted), V(".", ValueType::String), V("?", ValueType::String),
             V(".", ValueType::TripleSingleQuoted), V("?", ValueType::TripleDoubleQuoted),
             V(".", ValueType::MultilineString), V("x", ValueType::String), LE},
            "block x\n  loop _a\n  _a: . ? \".\" \"?\" \".\" \"?\" \".\" \"?\" . x\n"},
        BuildCase{"loop_in_save_frame",
                  {D("x"), SF("f"), LS({"_a"}), V("1"), LE, SE},
                  "block x\n  frame f\n    loop _a\n    _a: 1\n"},
        BuildCase{"loop_cut_by_block",
                  {D("x"), LS({"_a"}), V("1"), D("y"), V("2"), LE, T("_b"), V("3")},
                  "block x\nblock y\n  _b: 3\n"},
        BuildCase{"loop_end_without_loop", {D("x"), LE, T("_a"), V("1")}, "block x\n  _a: 1\n"},
        BuildCase{"compound_loop_values",
                  {D("x"), LS({"_a", "_b"}), L, V("1"), LX, TS, K("K"), V("2"), TX, LE},
                  "block x\n  loop _a _b\n  _a: [1]\n  _b: {K:2}\n"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Values, Builder,
    ::testing::Values(
        BuildCase{
            "placeholders_and_quoted",
            {D("x"), T("_a"), P("."), T("_b"), P("?"), T("_c"), V(".", ValueType::SingleQuoted),
             T("_d"), V("?", ValueType::DoubleQuoted), T("_e"), V("..", ValueType::SingleQuoted),
             T("_f"), V(".", ValueType::String), T("_g"), V("?", ValueType::TripleDoubleQuoted),
             T("_h"), V("x", ValueType::SingleQuoted), T("_i"), V("", ValueType::SingleQuoted)},
            "block x\n  _a: .\n  _b: ?\n  _c: \".\"\n  _d: \"?\"\n  _e: ..\n  _f: \".\"\n"
            "  _g: \"?\"\n  _h: x\n  _i: \n"},
        BuildCase{"text_field_dot_kept",
                  {D("x"), T("_a"), V(".", ValueType::MultilineString)},
                  "block x\n  _a: .\n"},
        BuildCase{"nested",
                  {D("x"), T("_a"), L, V("1"), L, V("2"), LX, TS, K("k"), P("."), TX, LX},
                  "block x\n  _a: [1 [2] {k:.}]\n"},
        BuildCase{"table_keys_keep_case_and_repeats",
                  {D("x"), T("_a"), TS, K("Key"), V("1"), K("key"), V("2"), K("Key"), V("3"), TX},
                  "block x\n  _a: {Key:1 key:2 Key:3}\n"},
        BuildCase{"table_value_without_key_dropped",
                  {D("x"), T("_a"), TS, V("1"), K("k"), L, V("2"), LX, TX},
                  "block x\n  _a: {k:[2]}\n"},
        BuildCase{"table_key_replaced",
                  {D("x"), T("_a"), TS, K("a"), K("b"), V("1"), TX},
                  "block x\n  _a: {b:1}\n"},
        BuildCase{"key_outside_table_ignored",
                  {D("x"), T("_a"), L, K("k"), V("1"), LX},
                  "block x\n  _a: [1]\n"},
        BuildCase{
            "mismatched_ends_discard",
            {D("x"), T("_a"), L, V("1"), TX, T("_b"), TS, K("k"), V("2"), LX, T("_c"), V("3")},
            "block x\n  _c: 3\n"},
        // A nested value dropped by a mismatched end leaves its parent as it
        // was before the value began: count and pending key.
        BuildCase{"nested_mismatch_gives_key_back",
                  {D("x"), T("_a"), TS, K("k"), L, V("1"), TX, V("2"), TX},
                  "block x\n  _a: {k:2}\n"},
        BuildCase{"nested_mismatch_in_list",
                  {D("x"), T("_a"), L, V("1"), TS, K("k"), V("2"), LX, V("3"), LX},
                  "block x\n  _a: [1 3]\n"},
        BuildCase{"keyless_nested_table_dropped",
                  {D("x"), T("_a"), TS, TS, K("x"), L, V("1"), LX, TX, K("k"), V("2"), TX},
                  "block x\n  _a: {k:2}\n"},
        BuildCase{
            "ends_on_empty_stack_ignored", {D("x"), LX, TX, T("_a"), V("1")}, "block x\n  _a: 1\n"},
        BuildCase{"containers_cut_by_block",
                  {D("x"), T("_a"), L, V("1"), D("y"), T("_b"), V("2")},
                  "block x\nblock y\n  _b: 2\n"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Strict, Builder,
    ::testing::Values(
        BuildCase{"short_loop_stops",
                  {D("x"), T("_z"), V("0"), LS({"_A", "_b"}), V("1"), V("2"), V("3"), LE, T("_y"),
                   V("4"), ERR("later"), D("y"), T("_q"), V("5")},
                  std::string(kShortLoop) +
                      "stopped\nE syntactic 7:3 ctx | later | skipped\nblock x\n  _z: 0\n",
                  true},
        BuildCase{"duplicate_block_keeps_empty_duplicate",
                  {D("A"), T("_x"), V("1"), D("a"), T("_x"), V("2"), D("b")},
                  std::string(kDupBlock) + "block a\n  _x: 1\nblock a\n",
                  true},
        BuildCase{
            "duplicate_frame_left_out",
            {D("x"), T("_a"), V("1"), SF("f"), SE, SF("F"), T("_b"), V("2"), SE, T("_c"), V("3")},
            "E semantic 0:0 RawBuilder | duplicate save frame name: \"F\" | duplicate save "
            "frame stored with distinct internal id\nblock x\n  _a: 1\n  frame f\n",
            true},
        BuildCase{"repeated_tag_stops",
                  {D("x"), T("_a"), V("1"), T("_a"), V("2"), T("_b"), V("3")},
                  dup("_a", "stopped") + "block x\n  _a: 1\n",
                  true},
        BuildCase{"repeated_header_tag_stops",
                  {D("x"), T("_z"), V("0"), LS({"_a", "_A"}), V("1"), V("2"), LE, T("_b"), V("3")},
                  dup("_A", "stopped") + "block x\n  _z: 0\n",
                  true},
        BuildCase{
            "loop_giving_a_tag_again_stops",
            {D("x"), LS({"_a", "_b"}), V("1"), V("2"), LE, LS({"_c", "_b"}), V("3"), V("4"), LE},
            dup("_b", "stopped") + "block x\n  loop _a _b\n  _a: 1\n  _b: 2\n",
            true},
        BuildCase{"no_problem_no_stop",
                  {D("x"), LS({"_a"}), V("1"), LE, D("y"), T("_b"), V("2")},
                  "block x\n  loop _a\n  _a: 1\nblock y\n  _b: 2\n",
                  true}),
    case_name);

// A tag given again is reported where it stands again, counted as the lexer
// counts: source lines (a version line and a byte order mark cut off),
// columns in code points.
struct PlacedCase {
    const char* name;
    std::string_view text;
    std::string expected;  // "line:column context | recovery" per record
};

class DuplicatePlaced : public ::testing::TestWithParam<PlacedCase> {};

TEST_P(DuplicatePlaced, WhereTheTagStandsAgain) {
    const PlacedCase& c = GetParam();
    for (bool plain_words : {true, false}) {
        const quarzel::ParseResult r =
            quarzel::parse_document(c.text, false, quarzel::ColumnLayout::Refs, plain_words);
        std::string got;
        for (const auto& e : r.document.errors)
            if (e.message.starts_with("duplicate data name"))
                got += std::to_string(e.line) + ":" + std::to_string(e.column) + " " + e.context +
                       " | " + e.recovery_action + "\n";
        EXPECT_EQ(got, c.expected) << quarzel::quoted(c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DuplicatePlaced,
    ::testing::Values(
        PlacedCase{"item", "data_x _a 1\n_b 2 _A 3", "2:6 _A | " + std::string(kOverValue) + "\n"},
        PlacedCase{"header_after_version_line", "\n\n#\\#CIF_2.0\ndata_x\n loop_ _a _b _a 1 2 3",
                   "5:14 _a | " + std::string(kInHeader) + "\n"},
        PlacedCase{"code_points", "data_\xC3\xA9 _\xC3\xA4 1 _\xC3\x84 2",
                   "1:13 _\xC3\x84 | " + std::string(kOverValue) + "\n"},
        PlacedCase{"after_byte_order_mark",
                   "\xEF\xBB\xBF"
                   "data_x _a 1 _a 2",
                   "1:13 _a | " + std::string(kOverValue) + "\n"},
        PlacedCase{"crlf_lines", "data_x\r\n_a 1\r\n\r\n_a 2",
                   "4:1 _a | " + std::string(kOverValue) + "\n"},
        PlacedCase{"loops_in_order", "data_x loop_ _a _b\n1 2\nloop_ _c\n_b 3\n_c 4",
                   "4:1 _b | " + std::string(kOverColumn) + "\n5:1 _c | " +
                       std::string(kOverColumn) + "\n"},
        PlacedCase{"frames_apart", "data_x _a 1 save_f _a 2 save_ _b 3 data_y _a 4 _b 5", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Builder, PushedErrorsComeFirst) {
    RawBuilder b(CifVersion::Cif11, false, {});
    b.on_parse_error({quarzel::ErrorType::Lexical, "version", 1, 1, "#\\#CIF_9", "defaulting"});
    drive(b, {D("x"), ERR("parse")});
    ParsedCif doc = std::move(b).finish();
    ASSERT_EQ(doc.errors.size(), 2u);
    EXPECT_EQ(doc.errors[0].message, "version");
    EXPECT_EQ(doc.errors[1].message, "parse");
    EXPECT_EQ(doc.version, CifVersion::Cif11);
}

TEST(Builder, SlicesOfTextAreViews) {
    std::string text = "data_x _a abc _b 'xyz'";
    std::string_view tv = text;
    RawBuilder b(CifVersion::Cif20, false, tv);
    b.on_data_block(tv.substr(5, 1));
    b.add_tag(tv.substr(7, 2));
    b.add_value(tv.substr(10, 3), ValueType::String);
    std::string other = "copy";
    b.add_tag(tv.substr(14, 2));
    b.add_value(other, ValueType::String);
    other = "gone";
    ParsedCif doc = std::move(b).finish();
    auto a = (*doc.blocks[0].data.find("_a"))[0].text;
    auto c = (*doc.blocks[0].data.find("_b"))[0].text;
    EXPECT_EQ(a.data(), text.data() + 10);
    EXPECT_EQ(c, "copy");
}

// Loop values that are slices of the text take the inline lane; lists, a
// copied value, quoted placeholders and values too long for a short
// reference take the other paths. Order and texts must not depend on which.
TEST(Builder, LoopValuesAcrossEveryPath) {
    const std::string longest(32767, 'x'), too_long(32768, 'y');
    std::string text = "a b c " + longest + " " + too_long + " . ?";
    std::string_view tv = text;
    auto at = [&](std::string_view part) { return tv.substr(text.find(part), part.size()); };
    RawBuilder b(CifVersion::Cif20, false, tv);
    b.on_data_block(at("a"));
    const std::vector<std::string_view> tags{"_p", "_q"};
    b.on_loop_start(tags);
    b.add_value(at("a"), ValueType::String);
    b.on_list_start();
    b.add_value(at("b"), ValueType::String);
    b.on_list_end();
    b.add_value(at(longest), ValueType::String);
    b.add_value(at(too_long), ValueType::String);
    std::string copy = "copied";
    b.add_value(copy, ValueType::String);
    copy = "gone!!";
    b.add_value(at("."), ValueType::Placeholder);
    b.add_value(at("?"), ValueType::SingleQuoted);
    b.add_value(at("c"), ValueType::String);
    b.on_loop_end();
    ParsedCif doc = std::move(b).finish();
    const quarzel::FrameData& f = doc.blocks[0].data;
    const quarzel::ValueColumn& p = *f.find("_p");
    const quarzel::ValueColumn& q = *f.find("_q");
    ASSERT_EQ(p.size(), 4u);
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(p[0].text, "a");
    ASSERT_NE(q[0].compound, nullptr);
    EXPECT_EQ((*q[0].compound)[q[0].root + 1].text, "b");
    EXPECT_EQ(p[1].text.data(), text.data() + text.find(longest));
    EXPECT_EQ(p[1].text.size(), longest.size());
    EXPECT_EQ(q[1].text, too_long);
    EXPECT_EQ(p[2].text, "copied");
    EXPECT_EQ(q[2].text, ".");
    EXPECT_EQ(p[3].text, "\"?\"");
    EXPECT_EQ(q[3].text, "c");
    // The slice totals plus the values kept aside give each column's text size.
    for (const quarzel::ValueColumn* col : {&p, &q}) {
        std::uint64_t total = col->text_bytes(), expected = 0;
        const quarzel::NodeStore& side = col->side_values();
        for (std::size_t i = 0; i < side.size();) {
            if (side[i].kind == quarzel::NodeKind::Text) {
                total += side[i++].text.size();
            } else {
                quarzel::SizeCounter skip;
                quarzel::put_cell(skip, side, i, &i);
            }
        }
        for (std::size_t i = 0; i < col->size(); ++i)
            if (!(*col)[i].compound) expected += (*col)[i].text.size();
        EXPECT_EQ(total, expected);
    }
    EXPECT_TRUE(doc.errors.empty());
}

// A strict builder that has stopped takes no value, whichever path the
// value would have taken.
TEST(Builder, StrictStopClosesTheLane) {
    std::string text = "x 1 2 3 4";
    std::string_view tv = text;
    RawBuilder b(CifVersion::Cif11, true, tv);
    const std::vector<std::string_view> tags{"_a"};
    b.on_data_block(tv.substr(0, 1));
    b.on_loop_start(tags);
    b.add_value(tv.substr(2, 1), ValueType::String);
    b.on_loop_end();
    b.on_data_block(tv.substr(0, 1));  // duplicate: stops
    b.on_loop_start(tags);
    b.add_value(tv.substr(4, 1), ValueType::String);
    b.on_loop_end();
    ParsedCif doc = std::move(b).finish();
    ASSERT_EQ(doc.blocks.size(), 2u);
    EXPECT_EQ(doc.errors.size(), 1u);
    EXPECT_EQ((*doc.blocks[0].data.find("_a"))[0].text, "1");
    EXPECT_TRUE(doc.blocks[1].data.columns.empty());
}

// The size and text bytes of every column, as the conversions read them
// before the values.
std::string column_totals(const ParsedCif& doc) {
    std::string out;
    auto frame = [&out](const quarzel::FrameData& f) {
        for (const auto& col : f.columns)
            out += std::to_string(col.size()) + "/" + std::to_string(col.text_bytes()) + " ";
        out += '\n';
    };
    for (const auto& b : doc.blocks) {
        frame(b.data);
        for (const auto& f : b.save_frames) frame(f.data);
    }
    return out;
}

// Plain words read straight off the text into a loop's columns give the
// document (values, errors and their positions) that the general path gives.
void expect_paths_agree(std::string_view text) {
    for (bool strict : {false, true}) {
        quarzel::ParseResult fast = quarzel::parse_document(text, strict);
        quarzel::ParseResult general =
            quarzel::parse_document(text, strict, quarzel::ColumnLayout::Refs, false);
        ASSERT_EQ(dump(fast.document), dump(general.document));
        ASSERT_EQ(column_totals(fast.document), column_totals(general.document));
    }
}

TEST(PlainWords, AgreeWithTheGeneralPathOnCorpus) {
    const auto paths = quarzel::testing::corpus_files();
    ASSERT_FALSE(paths.empty()) << "no test data in " QUARZEL_TEST_DATA_DIR;
    int files = 0;
    for (const auto& path : paths) {
        SCOPED_TRACE(path.string());
        expect_paths_agree(quarzel::testing::read_file(path));
        ++files;
    }
    EXPECT_GT(files, 10);
}

TEST(PlainWords, AgreeWithTheGeneralPathOnGeneratedLoops) {
    // Loop rows broken by everything that ends a run of plain words.
    static constexpr std::string_view kPieces[] = {
        "a",      "bb",      "caf\xC3\xA9", "\xCF\x80x", ".",         "?",
        "'q r'",  "\"s\"",   "'''t'''",     "#c\n",      "\n;f\n;\n", ";x",
        "[1 2]",  "{'k':v}", "x]",          "[",         "$y",        "data_z",
        "save_s", "save_",   "loop_",       "_t",        "stop_",     "global_",
        "Loop_",  "datum",   "d",           "l[",        "data_[b]",  ":",
        "a:b",    "a#b",     "x#",          "d#[",       "'''?'''",   "\"\"\".\"\"\"",
    };
    static constexpr std::string_view kGaps[] = {" ", " ", "\t", "\n", "\n\n", "  \t "};
    std::mt19937 rng(7);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 3000; ++i) {
        std::string text = i % 2 ? "#\\#CIF_2.0\n" : "";
        text += "data_x\nloop_ _a _b _c\n";
        const std::size_t n = 1 + pick(80);
        for (std::size_t k = 0; k < n; ++k) {
            text += pick(4) ? std::string_view("w") : kPieces[pick(std::size(kPieces))];
            text += kGaps[pick(std::size(kGaps))];
        }
        SCOPED_TRACE(quarzel::quoted(text));
        expect_paths_agree(text);
        if (::testing::Test::HasFailure()) return;
    }
}

// Long loop rows, read by the plain-word run 64 bytes at a time: words of
// every length about a window's, non-ASCII bytes anywhere, blank runs with
// line ends in them, headers that name a tag twice, and now and then a word
// too long for a reference. Every text ends in an open save frame, whose
// error at the end of the input carries the position of the last word.
TEST(PlainWords, AgreeWithTheGeneralPathAcrossWindows) {
    static constexpr std::string_view kHeaders[] = {
        "loop_ _a _b _c\n",
        "loop_ _a\n",
        "loop_ _a _b _a\n",
        "loop_ _a _b _c _d _e _f _g _h _i _j _k _l\n",
    };
    static constexpr std::size_t kLengths[] = {1,  2,  3,  5,  8,   13,  31,  32,  33,
                                               63, 64, 65, 66, 127, 128, 129, 200, 300};
    static constexpr std::string_view kGaps[] = {" ", " ", " ", "  ", "\t", "\n", " \n  ", "\n\n"};
    static constexpr std::string_view kBody = "abcXYZ0123456789.-+()#'\"_[]{}";
    std::mt19937 rng(19);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 160; ++i) {
        std::string text = i % 2 ? "#\\#CIF_2.0\n" : "";
        text += "data_x\nsave_f\n";
        text += kHeaders[pick(std::size(kHeaders))];
        const std::size_t words = 1 + pick(1500);
        for (std::size_t k = 0; k < words; ++k) {
            std::string word(1, "abcXYZ0123456789-+"[pick(18)]);
            const std::size_t length = pick(400) == 0 ? 33000 : kLengths[pick(std::size(kLengths))];
            while (word.size() < length) {
                if (pick(24) == 0)
                    word += "\xC3\xA9";
                else
                    word += kBody[pick(kBody.size())];
            }
            text += word;
            const std::size_t gap = pick(12);
            if (gap < std::size(kGaps))
                text += kGaps[gap];
            else
                text += std::string(60 + pick(8), ' ') + (pick(2) ? "\n" : "");
        }
        SCOPED_TRACE(testing::Message() << "text " << i);
        expect_paths_agree(text);
        if (::testing::Test::HasFailure()) return;
    }
}

// The windows' edges: every kind of token placed so that it starts at
// each offset about the end of the first and second window (from the loop's
// first value on), and the text cut there too. The window pairs the starts
// and ends of its words from bit masks; a token on the edge must stop the
// run, or be read whole, as the general path reads it.
TEST(PlainWords, AgreeWithTheGeneralPathAtWindowEdges) {
    static constexpr std::string_view kTokens[] = {
        "w",     "word",  "'q r'", "\"d\"",  "_t",  "#c\n", "\n;f\n;\n", "data_y",
        "loop_", "stop_", "Save_", "savex",  "[1]", "{",    "x]y",       "\xC3\xA9t\xC3\xA9",
        ":",     "$d",    "?",     "abc\tz", "''",  "",
    };
    static constexpr std::string_view kGaps[] = {" ", "\t", "\n", "  \n\t"};
    for (const bool cif2 : {false, true}) {
        for (std::size_t at = 56; at < 136; ++at) {
            for (const std::string_view token : kTokens) {
                for (const std::string_view gap : kGaps) {
                    std::string text = cif2 ? "#\\#CIF_2.0\n" : "";
                    text += "data_x\nloop_ _a _b\nv";
                    const std::size_t first = text.size() - 1;
                    // Words of a few lengths up to the offset, then the token.
                    for (std::size_t k = 0; text.size() + gap.size() + 1 < first + at; ++k) {
                        text += gap;
                        const std::size_t room = first + at - text.size();  // 2 or more
                        text +=
                            std::string(std::min<std::size_t>(room - 1, 1 + k % 9), 'a' + k % 26);
                    }
                    while (text.size() < first + at) text += ' ';
                    text += token;
                    SCOPED_TRACE(quarzel::quoted(text));
                    expect_paths_agree(text);
                    text += gap;
                    text += "z 1";
                    expect_paths_agree(text);
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

// Tag names are interned into strings of a few KB: names of every length,
// one longer than such a string, and more than fit one, keep their texts
// after the document has moved on.
TEST(Builder, InternedTagNamesOutliveTheirChunks) {
    std::string text = "data_x\n";
    std::vector<std::string> tags;
    for (int i = 0; i < 3000; ++i) {
        std::string tag =
            "_T" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), 'X');
        if (i == 1500) tag += std::string(70000, 'Y');
        tags.push_back(tag);
        text += (i % 3 ? tag + " v\n" : "loop_ " + tag + " _z" + std::to_string(i) + " 1 2\n");
    }
    quarzel::ParseResult result = quarzel::parse_document(text, false);
    ParsedCif doc = std::move(result.document);
    ASSERT_EQ(doc.blocks.size(), 1u);
    const quarzel::FrameData& frame = doc.blocks[0].data;
    for (const std::string& tag : tags) {
        std::string lower = tag;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t at = frame.position(lower);
        ASSERT_NE(at, quarzel::FrameData::npos) << tag.substr(0, 20);
        EXPECT_EQ(frame.tag_order[at], lower);
    }
    EXPECT_TRUE(doc.errors.empty());
}

TEST(Builder, DeepValueBuildsAndFrees) {
    constexpr int kDepth = 1'000'000;
    RawBuilder b(CifVersion::Cif20, false, {});
    b.on_data_block("x");
    b.add_tag("_deep");
    for (int i = 0; i < kDepth; ++i) {
        if (i % 2) {
            b.on_table_start();
            b.on_table_key("k", ValueType::String);
        } else {
            b.on_list_start();
        }
    }
    b.add_value("leaf", ValueType::String);
    for (int i = kDepth - 1; i >= 0; --i) {
        if (i % 2)
            b.on_table_end();
        else
            b.on_list_end();
    }
    ParsedCif doc = std::move(b).finish();
    const quarzel::ValueColumn::Ref ref = (*doc.blocks[0].data.find("_deep"))[0];
    ASSERT_NE(ref.compound, nullptr);
    const quarzel::NodeStore& nodes = *ref.compound;
    std::size_t i = ref.root;
    int depth = 0;
    for (quarzel::Node n = nodes[i]; n.kind != quarzel::NodeKind::Text; n = nodes[i]) {
        EXPECT_EQ(n.count, 1u);
        i += n.kind == quarzel::NodeKind::Table ? 2 : 1;  // a table's key comes first
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(nodes[i].text, "leaf");
    EXPECT_EQ(i + 1, nodes.size());
}

TEST(Builder, DeepValueDroppedUnfinishedFrees) {
    RawBuilder b(CifVersion::Cif20, false, {});
    b.on_data_block("x");
    b.add_tag("_deep");
    for (int i = 0; i < 1'000'000; ++i) b.on_list_start();
    b.on_data_block("y");  // discards the open containers
    ParsedCif doc = std::move(b).finish();
    EXPECT_EQ(doc.blocks.size(), 2u);
}

struct LowerCase {
    const char* in;
    const char* out;
};

void PrintTo(const LowerCase& c, std::ostream* os) {
    *os << c.in;
}

class Lower : public ::testing::TestWithParam<LowerCase> {};

TEST_P(Lower, MatchesPython) {
    EXPECT_EQ(quarzel::lower(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lower,
    ::testing::Values(LowerCase{"_ATOM_site.Cartn_X", "_atom_site.cartn_x"}, LowerCase{"", ""},
                      LowerCase{"ÀÉÎ", "àéî"}, LowerCase{"İ", "i\xCC\x87"}, LowerCase{"ΣΑΣ", "σας"},
                      LowerCase{"Σ", "σ"}, LowerCase{"ΑΣ.", "ας."}, LowerCase{"ΑΣ'Β", "ασ'β"},
                      LowerCase{"Α'Σ", "α'ς"}, LowerCase{"'Σ", "'σ"}, LowerCase{"ΑΣ1", "ας1"},
                      LowerCase{"ΑΣ\xCC\x81", "ας\xCC\x81"}, LowerCase{"ǅ", "ǆ"},
                      LowerCase{"\xEA\x9F\x8E", "\xEA\x9F\x8E"},
                      // Eight bytes at a time: every ASCII byte around the letters.
                      LowerCase{"@AZ[`az{_ATOM_SITE.ID@@@@@@@", "@az[`az{_atom_site.id@@@@@@@"},
                      LowerCase{"\x7F\x01ZZZZZZZZ09", "\x7F\x01zzzzzzzz09"},
                      LowerCase{"_ABCDEFGHIJÉK", "_abcdefghijék"},
                      LowerCase{"_ABCDEFGHIJKLMNOΣ", "_abcdefghijklmnoς"},
                      // The last bytes as the eight that end the text.
                      LowerCase{"_ABCDEFG", "_abcdefg"}, LowerCase{"_ABCDEFGH", "_abcdefgh"},
                      LowerCase{"_CELL.LENGTH_A", "_cell.length_a"},
                      LowerCase{"_ABCDEFGHIJKLMNOPQ", "_abcdefghijklmnopq"},
                      LowerCase{"_ABCDEFGHÉ", "_abcdefghé"},
                      LowerCase{"ÉABCDEFGHIJ", "éabcdefghij"},
                      LowerCase{"A\xFF"
                                "B",
                                "a\xFF"
                                "b"}));

// A selective reading of a loop that mixes a category it keeps with one it
// only counts: the words of a run, handed over as references into the text,
// go to the kept columns as values and to the counted column as a count, in
// runs of a few words (word by word) and of many (column by column).
struct MixedLoopCase {
    int rows;
    std::size_t long_row;  // a word too long for a reference there, or none
};

class MixedLoop : public ::testing::TestWithParam<MixedLoopCase> {};

TEST_P(MixedLoop, KeptValuesAndCounts) {
    const MixedLoopCase c = GetParam();
    const std::string longest(40000, 'L');
    std::string text = "data_a loop_ _f.a _g.b _f.c\n";
    for (int i = 0; i < c.rows; ++i) {
        const std::string n = std::to_string(i);
        text += (static_cast<std::size_t>(i) == c.long_row ? longest : "a" + n) + " b" + n + " c" +
                n + "\n";
    }
    const std::vector<std::string> wanted{"f"};
    const quarzel::Selection selection(wanted, std::nullopt);
    RawBuilder builder(CifVersion::Cif11, false, text);
    builder.set_selection(&selection);
    quarzel::Lexer lexer(text, CifVersion::Cif11, 0);
    quarzel::parse(lexer, builder);
    ParsedCif doc = std::move(builder).finish();
    ASSERT_EQ(doc.blocks.size(), 1u);
    const quarzel::FrameData& f = doc.blocks[0].data;
    const quarzel::ValueColumn& a = *f.find("_f.a");
    const quarzel::ValueColumn& b = *f.find("_g.b");
    const quarzel::ValueColumn& cc = *f.find("_f.c");
    ASSERT_EQ(a.size(), static_cast<std::size_t>(c.rows));
    ASSERT_EQ(cc.size(), static_cast<std::size_t>(c.rows));
    EXPECT_TRUE(b.counted());
    EXPECT_EQ(b.size(), static_cast<std::size_t>(c.rows));
    for (int i = 0; i < c.rows; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(a[i].text, static_cast<std::size_t>(i) == c.long_row ? longest : "a" + n) << i;
        EXPECT_EQ(cc[i].text, "c" + n) << i;
    }
    EXPECT_TRUE(doc.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, MixedLoop,
                         ::testing::Values(MixedLoopCase{1, std::string::npos}, MixedLoopCase{1, 0},
                                           MixedLoopCase{1500, std::string::npos},
                                           MixedLoopCase{1500, 700}));

}  // namespace

// A builder takes over the working state the last one on its thread gave
// back (kBefore reports a tag given again on its third line, before where
// kAfter does on its first). Whatever that one left (finished or dropped half way, strict,
// selective, with positions of its own, holding hashed name tables) must not
// show in the next document: it comes out as from a thread's first builder.
struct Leftover {
    const char* name;
    std::function<void()> before;
};

class ReusedState : public ::testing::TestWithParam<Leftover> {};

// Names from _t0 up: past the count from which names are hashed.
std::string many_tags(int n, const char* prefix) {
    std::string out;
    for (int i = 0; i < n; ++i) out += " _" + std::string(prefix) + std::to_string(i);
    return out;
}

const std::string kAfter = "data_a _x.a 1 _X.A 2\nloop_" + many_tags(10, "t") +
                           "\n1 2 3 4 5 6 7 8 9 10 11\nsave_f _y 1 save_ data_a _z [1 {'k':2}]"
                           " loop_ _a _a 1 2 3\n";

std::string dump_after(bool strict) {
    return dump(quarzel::parse_document(kAfter, strict).document);
}

TEST_P(ReusedState, LeavesNothingBehind) {
    std::string expected[2];
    std::thread([&] {
        for (bool strict : {false, true}) expected[strict] = dump_after(strict);
    }).join();
    GetParam().before();
    for (bool strict : {false, true}) EXPECT_EQ(dump_after(strict), expected[strict]) << strict;
}

const std::string kBefore = "data_a\n_q 1\n_q 2\nloop_" + many_tags(12, "q") +
                            "\n1 2 3\n_x.a 5 _t3 6" + many_tags(30, "n") + "\ndata_b save_f _y 1";

INSTANTIATE_TEST_SUITE_P(
    Before, ReusedState,
    ::testing::Values(
        Leftover{"Finished", [] { quarzel::parse_document(kBefore, false); }},
        Leftover{"StoppedStrict", [] { quarzel::parse_document(kBefore, true); }},
        Leftover{"DroppedInLoopAndList",
                 [] {
                     RawBuilder b(CifVersion::Cif20, false, kBefore);
                     drive(b, {D("a"), LS({"_x.a", "_p"}), V("1"), L, V("2")});
                 }},
        Leftover{"FinishedInLoopAndList",
                 [] {
                     RawBuilder b(CifVersion::Cif20, true, kBefore);
                     drive(b, {D("a"), LS({"_x.a", "_p"}), V("1"), L, V("2")});
                     std::move(b).finish();
                 }},
        Leftover{"SelectiveWithPositions",
                 [] {
                     static const quarzel::Selection none = quarzel::Selection::nothing();
                     RawBuilder b(CifVersion::Cif20, false, {});
                     b.set_selection(&none);
                     b.set_positions([](std::string_view) { return std::pair{7u, 7u}; });
                     drive(b, {D("a"), T("_x.a"), V("1"), T("_x.a"), V("1"), D("a"), SF("f")});
                     std::move(b).finish();
                 }},
        Leftover{"NestedBuilders",
                 [] {
                     RawBuilder outer(CifVersion::Cif20, false, {});
                     drive(outer, {D("a"), T("_x.a"), V("1")});
                     quarzel::parse_document(kBefore, false);
                     drive(outer, {T("_x.b"), V("2")});
                     EXPECT_EQ(dump(std::move(outer).finish()), "block a\n  _x.a: 1\n  _x.b: 2\n");
                 }},
        Leftover{"OverTheKeptSize",
                 [] {
                     std::string big = "data_a\n";
                     for (int i = 0; i < 100000; ++i)
                         big += "loop_ _l" + std::to_string(i) + " 1\n";
                     quarzel::parse_document(big, false);
                 }}),
    [](const ::testing::TestParamInfo<Leftover>& info) { return std::string(info.param.name); });

TEST(Builder, FinishIntoReplacesWhatTheDocumentHeld) {
    ParsedCif doc = quarzel::parse_document(kBefore, false).document;
    RawBuilder b(CifVersion::Cif20, false, {});
    drive(b, {D("c"), T("_x.a"), V("1")});
    std::move(b).finish_into(doc);
    EXPECT_EQ(dump(doc), "block c\n  _x.a: 1\n");
    EXPECT_EQ(doc.version, CifVersion::Cif20);
}
