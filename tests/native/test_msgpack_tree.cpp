// The MessagePack reader: every format family (fixed and sized forms, sign
// extension, both float widths, extensions), values cut short at every
// byte, bytes that start no value, and nesting at the depth limit.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/msgpack_tree.hpp"

namespace {

using quarzel::bcif::MsgTree;
using quarzel::bcif::MsgType;

std::string raw(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) out += static_cast<char>(b);
    return out;
}

struct Scalar {
    std::string input;
    MsgType type;
    bool negative;
    std::int64_t value;     // Int (as signed when negative), Bool
    std::string_view text;  // Str, Bin, Ext: the bytes (an extension's type byte first)
};

TEST(MsgpackTree, EveryScalarForm) {
    const Scalar cases[] = {
        {raw({0x00}), MsgType::Int, false, 0, {}},
        {raw({0x7f}), MsgType::Int, false, 127, {}},
        {raw({0xe0}), MsgType::Int, true, -32, {}},
        {raw({0xff}), MsgType::Int, true, -1, {}},
        {raw({0xcc, 0xff}), MsgType::Int, false, 255, {}},
        {raw({0xcd, 0x12, 0x34}), MsgType::Int, false, 0x1234, {}},
        {raw({0xce, 0xff, 0xff, 0xff, 0xff}), MsgType::Int, false, 0xffffffffll, {}},
        {raw({0xcf, 0, 0, 0, 1, 0, 0, 0, 5}), MsgType::Int, false, (1ll << 32) + 5, {}},
        {raw({0xd0, 0x80}), MsgType::Int, true, -128, {}},
        {raw({0xd0, 0x05}), MsgType::Int, false, 5, {}},
        {raw({0xd1, 0xff, 0x00}), MsgType::Int, true, -256, {}},
        {raw({0xd2, 0x80, 0, 0, 0}), MsgType::Int, true, -2147483648ll, {}},
        {raw({0xd2, 0x7f, 0xff, 0xff, 0xff}), MsgType::Int, false, 2147483647, {}},
        {raw({0xd3, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}), MsgType::Int, true, -2, {}},
        {raw({0xc0}), MsgType::Nil, false, 0, {}},
        {raw({0xc2}), MsgType::Bool, false, 0, {}},
        {raw({0xc3}), MsgType::Bool, false, 1, {}},
        {raw({0xa0}), MsgType::Str, false, 0, ""},
        {raw({0xa3, 'a', 'b', 'c'}), MsgType::Str, false, 0, "abc"},
        {raw({0xd9, 2, 'h', 'i'}), MsgType::Str, false, 0, "hi"},
        {raw({0xda, 0, 1, 'x'}), MsgType::Str, false, 0, "x"},
        {raw({0xdb, 0, 0, 0, 1, 'y'}), MsgType::Str, false, 0, "y"},
        {raw({0xc4, 2, 1, 2}), MsgType::Bin, false, 0, "\x01\x02"},
        {raw({0xc5, 0, 1, 7}), MsgType::Bin, false, 0, "\x07"},
        {raw({0xc6, 0, 0, 0, 0}), MsgType::Bin, false, 0, ""},
        {raw({0xd4, 5, 9}), MsgType::Ext, false, 0, "\x05\x09"},
        {raw({0xd5, 5, 1, 2}), MsgType::Ext, false, 0, "\x05\x01\x02"},
        {raw({0xc7, 1, 3, 4}), MsgType::Ext, false, 0, "\x03\x04"},
        {raw({0xc8, 0, 0, 3}), MsgType::Ext, false, 0, "\x03"},
    };
    for (const Scalar& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        const MsgTree t = MsgTree::parse(c.input);
        ASSERT_TRUE(t.complete()) << t.error();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t.trailing(), 0u);
        const auto& n = t[0];
        EXPECT_EQ(n.type, c.type);
        if (c.type == MsgType::Int) {
            EXPECT_EQ(n.negative, c.negative);
            EXPECT_EQ(c.negative ? n.i : static_cast<std::int64_t>(n.u), c.value);
        } else if (c.type == MsgType::Bool) {
            EXPECT_EQ(n.b, c.value != 0);
        } else if (c.type != MsgType::Nil) {
            EXPECT_EQ(n.bytes(), c.text);
        }
    }
    // Unsigned 64-bit values beyond the signed range stay unsigned.
    MsgTree t = MsgTree::parse(raw({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_FALSE(t[0].negative);
    EXPECT_EQ(t[0].u, ~std::uint64_t{0});
    t = MsgTree::parse(raw({0xca, 0x3f, 0xc0, 0, 0}));
    EXPECT_EQ(t[0].type, MsgType::Float);
    EXPECT_EQ(t[0].f, 1.5);
    t = MsgTree::parse(raw({0xcb, 0xc0, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}));
    EXPECT_EQ(t[0].f, -3.141592653589793);
}

TEST(MsgpackTree, ContainersOfEveryWidth) {
    // {"a": [1, [], {}], "b": nil} in sized forms, then two trailing bytes.
    const std::string doc = raw({0xde, 0, 2,    0xa1, 'a', 0xdc, 0, 3,    0x01, 0xdd, 0,    0,
                                 0,    0, 0xdf, 0,    0,   0,    0, 0xa1, 'b',  0xc0, 0x01, 0x02});
    const MsgTree t = MsgTree::parse(doc);
    ASSERT_TRUE(t.complete()) << t.error();
    EXPECT_EQ(t.trailing(), 2u);
    ASSERT_EQ(t.size(), 8u);
    EXPECT_EQ(t[0].type, MsgType::Map);
    EXPECT_EQ(t[0].count, 4u);
    EXPECT_EQ(t[0].end, 8u);
    const std::uint32_t a = t.find(0, "a");
    ASSERT_EQ(a, 2u);
    EXPECT_EQ(t[a].type, MsgType::Array);
    EXPECT_EQ(t[a].count, 3u);
    EXPECT_EQ(t[a].end, 6u);
    EXPECT_EQ(t[4].type, MsgType::Array);  // the empty array
    EXPECT_EQ(t[4].end, 5u);
    EXPECT_EQ(t[5].type, MsgType::Map);  // the empty map
    EXPECT_EQ(t[5].count, 0u);
    EXPECT_EQ(t[t.find(0, "b")].type, MsgType::Nil);
    EXPECT_EQ(t.find(0, "c"), MsgTree::npos);
}

TEST(MsgpackTree, CutShortAtEveryByte) {
    // A document with a string, binary data and a nested map: every proper
    // prefix is reported as truncated, keeps only whole values and closes
    // its open containers at the end of what was read.
    const std::string doc =
        raw({0x83, 0xa4, 'n', 'a', 'm', 'e', 0xd9, 3,   'a',  'b',  'c', 0xa4, 'd', 'a', 't',
             'a',  0xc4, 3,   1,   2,   3,   0xa1, 'm', 0x81, 0xa1, 'k', 0xcd, 1,   0});
    const MsgTree whole = MsgTree::parse(doc);
    ASSERT_TRUE(whole.complete()) << whole.error();
    ASSERT_EQ(whole.size(), 9u);
    for (std::size_t cut = 0; cut < doc.size(); ++cut) {
        SCOPED_TRACE(cut);
        const MsgTree t = MsgTree::parse(std::string_view(doc).substr(0, cut));
        EXPECT_FALSE(t.complete());
        EXPECT_NE(t.error().find(cut == 0 ? "empty input" : "truncated MessagePack"),
                  std::string::npos)
            << t.error();
        ASSERT_LE(t.size(), whole.size());
        for (std::uint32_t i = 0; i < t.size(); ++i) {
            EXPECT_EQ(t[i].type, whole[i].type);
            EXPECT_LE(t[i].end, t.size());
            EXPECT_LE(t[i].count, whole[i].count);
        }
    }
    // A string claiming more bytes than are left is not read past the end.
    const MsgTree t = MsgTree::parse(raw({0x91, 0xdb, 0xff, 0xff, 0xff, 0xff, 'a'}));
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].count, 0u);
}

TEST(MsgpackTree, FaultsNamedWithTheirByte) {
    struct Case {
        std::string input;
        std::string_view message;
        std::uint32_t nodes;  // read before the fault
    };
    std::string deep(64, '\x91');
    deep += '\xc0';
    std::string too_deep(65, '\x91');
    too_deep += '\xc0';
    const Case cases[] = {
        {raw({0xc1}), "not MessagePack: byte 0xc1 at byte 0 starts no value", 0},
        {raw({0x92, 0x01, 0xc1}), "not MessagePack: byte 0xc1 at byte 2 starts no value", 2},
        {too_deep, "MessagePack nested deeper than 64 levels at byte 64", 64},
        {deep, "", 65},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const MsgTree t = MsgTree::parse(c.input);
        EXPECT_EQ(t.error(), c.message);
        EXPECT_EQ(t.size(), c.nodes);
        for (std::uint32_t i = 0; i < t.size(); ++i) EXPECT_LE(t[i].end, t.size());
    }
}

// Each node's type, count and end, in preorder.
struct Shape {
    MsgType type;
    std::uint32_t count, end;
};

TEST(MsgpackTree, NestedContainersCloseWhereTheirValuesEnd) {
    using enum MsgType;
    struct Case {
        const char* name;
        std::string input;
        bool complete;
        std::vector<Shape> nodes;
    };
    const Case cases[] = {
        // Several levels closing after one value.
        {"[[[1]], 2]",
         raw({0x92, 0x91, 0x91, 0x01, 0x02}),
         true,
         {{Array, 2, 5}, {Array, 1, 4}, {Array, 1, 4}, {Int, 0, 4}, {Int, 0, 5}}},
        // A map's keys and values counted apart; an empty container inside.
        {"{a: {b: []}, c: 1}",
         raw({0x82, 0xa1, 'a', 0x81, 0xa1, 'b', 0x90, 0xa1, 'c', 0x01}),
         true,
         {{Map, 4, 7},
          {Str, 0, 2},
          {Map, 2, 5},
          {Str, 0, 4},
          {Array, 0, 5},
          {Str, 0, 6},
          {Int, 0, 7}}},
        // Cut inside the inner array: each open level counts what it read.
        {"[1, [2, 3 cut",
         raw({0x92, 0x01, 0x93, 0x02, 0x03}),
         false,
         {{Array, 2, 5}, {Int, 0, 2}, {Array, 2, 5}, {Int, 0, 4}, {Int, 0, 5}}},
        // Cut right after a container opens.
        {"[[ cut", raw({0x92, 0x92}), false, {{Array, 1, 2}, {Array, 0, 2}}},
        // A bad byte after a whole inner value: the outer count stops there.
        {"[[1], bad",
         raw({0x93, 0x91, 0x01, 0xc1}),
         false,
         {{Array, 1, 3}, {Array, 1, 3}, {Int, 0, 3}}},
        // A lone value, and a lone empty container.
        {"7", raw({0x07}), true, {{Int, 0, 1}}},
        {"{}", raw({0x80}), true, {{Map, 0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MsgTree t = MsgTree::parse(c.input);
        EXPECT_EQ(t.complete(), c.complete) << t.error();
        ASSERT_EQ(t.size(), c.nodes.size());
        for (std::uint32_t i = 0; i < t.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(t[i].type, c.nodes[i].type);
            if (t[i].type == Array || t[i].type == Map) {
                EXPECT_EQ(t[i].count, c.nodes[i].count);
            }
            EXPECT_EQ(t[i].end, c.nodes[i].end);
        }
    }
}

// The nodes' room is taken from the input's size for files of 6 or more
// bytes a node; values of one byte each take more, and the nodes move to
// larger room while the tree grows: every node read before and after each
// move stays as it was read, whole or cut short.
TEST(MsgpackTree, NodesKeptWhileTheirRoomGrows) {
    struct Case {
        const char* name;
        std::uint32_t values;  // one-byte integers in an array32
        std::uint32_t cut;     // of them, the ones present (values: all)
    };
    const Case cases[] = {
        {"fewer than the room", 10, 10},       {"one more than the first room", 66, 66},
        {"several moves", 5000, 5000},         {"many moves", 300000, 300000},
        {"cut short after moves", 5000, 4321}, {"cut short just past a move", 200, 130},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string doc =
            raw({0xdd, static_cast<int>(c.values >> 24), static_cast<int>((c.values >> 16) & 0xff),
                 static_cast<int>((c.values >> 8) & 0xff), static_cast<int>(c.values & 0xff)});
        for (std::uint32_t i = 0; i < c.cut; ++i) doc += static_cast<char>(i % 128);
        const MsgTree t = MsgTree::parse(doc);
        EXPECT_EQ(t.complete(), c.cut == c.values) << t.error();
        ASSERT_EQ(t.size(), c.cut + 1);
        EXPECT_EQ(t[0].type, MsgType::Array);
        EXPECT_EQ(t[0].count, c.cut);
        EXPECT_EQ(t[0].end, c.cut + 1);
        std::uint32_t wrong = 0;
        for (std::uint32_t i = 1; i <= c.cut; ++i) {
            const auto& n = t[i];
            if (n.type != MsgType::Int || n.negative || n.u != (i - 1) % 128 || n.end != i + 1)
                ++wrong;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

}  // namespace
