// BinaryCIF: the column decoders (one case per encoding and fault), the
// value texts, the MessagePack tree's limits, and encode/decode round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bcif/category.hpp"
#include "bcif/classify.hpp"
#include "bcif/decode.hpp"
#include "bcif/encode.hpp"
#include "bcif/msgpack_tree.hpp"
#include "bcif/text.hpp"
#include "bcif/to_document.hpp"
#include "bcif_encodings.hpp"
#include "corpus.hpp"

namespace {

using namespace quarzel::bcif;
using namespace bcif_test;

// The texts of a decoded numeric column, joined by spaces.
std::string texts(const DecodedColumn& c) {
    std::string out;
    for_each_text(c, [&](std::string_view t) {
        if (!out.empty()) out += ' ';
        out += t;
    });
    return out;
}

struct DecodeCase {
    const char* name;
    std::string data;
    std::vector<Encoding> chain;
    const char* expected;  // texts, or the start of the error
    bool fails = false;
};

std::vector<DecodeCase> decode_cases() {
    return {
        {"Int8 bytes", bytes_of<std::int8_t>({-1, 5, 127}), {byte_array(DType::Int8)}, "-1 5 127"},
        {"Uint16 bytes",
         bytes_of<std::uint16_t>({0, 65535}),
         {byte_array(DType::Uint16)},
         "0 65535"},
        {"Uint32 keeps values past Int32",
         bytes_of<std::uint32_t>({4000000000u}),
         {byte_array(DType::Uint32)},
         "4000000000"},
        {"Float64 shortest text",
         bytes_of<double>({0.1, 1e21, 2.0}),
         {byte_array(DType::Float64)},
         "0.1 1e+21 2"},
        {"Float32 shortest as a float",
         bytes_of<float>({0.1f}),
         {byte_array(DType::Float32)},
         "0.1"},
        {"unsigned packing continues at 255",
         bytes_of<std::uint8_t>({255, 10, 3}),
         {packing(1, true, 2), byte_array(DType::Uint8)},
         "265 3"},
        {"signed packing continues at 127 and -128",
         bytes_of<std::int8_t>({127, 0, -128, -1, 4}),
         {packing(1, false, 3), byte_array(DType::Int8)},
         "127 -129 4"},
        {"two-byte packing",
         bytes_of<std::int16_t>({32767, 1, -5}),
         {packing(2, false, 2), byte_array(DType::Int16)},
         "32768 -5"},
        {"packing without continuations",
         bytes_of<std::uint8_t>({1, 2, 3}),
         {packing(1, true, 3), byte_array(DType::Uint8)},
         "1 2 3"},
        {"delta from the origin",
         bytes_of<std::int32_t>({0, 1, 1, -3}),
         {delta(10), byte_array(DType::Int32)},
         "10 11 12 9"},
        {"run length",
         bytes_of<std::int32_t>({7, 3, -1, 2}),
         {run_length(5), byte_array(DType::Int32)},
         "7 7 7 -1 -1"},
        {"FixedPoint keeps its decimals",
         bytes_of<std::int32_t>({12300, -5, 0}),
         {fixed(1000), byte_array(DType::Int32)},
         "12.300 -0.005 0.000"},
        {"FixedPoint by a factor that is no power of ten",
         bytes_of<std::int32_t>({1, 3}),
         {fixed(2), byte_array(DType::Int32)},
         "0.5 1.5"},
        {"the whole Mol* chain",
         bytes_of<std::uint8_t>({0, 1, 2}),
         {fixed(10), delta(5), packing(1, true, 3), byte_array(DType::Uint8)},
         "0.5 0.6 0.8"},
        // Delta over RunLength, undone in one pass: each sum held as the
        // Delta's type holds it, runs of one value and of none.
        {"delta over runs",
         bytes_of<std::int32_t>({1, 3, 0, 2, -2, 1, 5, 0}),
         {delta(100), run_length(6), byte_array(DType::Int32)},
         "101 102 103 103 103 101"},
        {"delta over runs wraps as Int8",
         bytes_of<std::int8_t>({100, 3}),
         {delta(0, DType::Int8), run_length(3, DType::Int8), byte_array(DType::Int8)},
         "100 -56 44"},
        {"delta over runs wraps as Uint8",
         bytes_of<std::int8_t>({-100, 3}),
         {delta(0, DType::Uint8), run_length(3, DType::Int8), byte_array(DType::Int8)},
         "156 56 212"},
        {"delta over runs wraps as Int16",
         bytes_of<std::int16_t>({30000, 2}),
         {delta(10000, DType::Int16), run_length(2, DType::Int16), byte_array(DType::Int16)},
         "-25536 4464"},
        {"delta over runs wraps as Uint16",
         bytes_of<std::int16_t>({-1, 2}),
         {delta(1, DType::Uint16), run_length(2, DType::Int16), byte_array(DType::Int16)},
         "0 65535"},
        // A run of zero steps repeats the sum so far, held as the type
        // holds it, even where the origin itself lies outside the type.
        {"zero steps from an origin past Int8",
         bytes_of<std::int32_t>({0, 2, 1, 1}),
         {delta(200, DType::Int8), run_length(3), byte_array(DType::Int32)},
         "-56 -56 -55"},
        {"zero steps after wrapping as Uint16",
         bytes_of<std::int32_t>({-2, 1, 0, 3}),
         {delta(1, DType::Uint16), run_length(4), byte_array(DType::Int32)},
         "65535 65535 65535 65535"},
        {"zero steps in a longer run, then one",
         bytes_of<std::int32_t>({0, 9, 7, 1}),
         {delta(-5), run_length(10), byte_array(DType::Int32)},
         "-5 -5 -5 -5 -5 -5 -5 -5 -5 2"},
        {"delta over runs as Uint32 past Int32",
         bytes_of<std::int32_t>({2000000000, 2}),
         {delta(1000000000, DType::Uint32), run_length(2), byte_array(DType::Int32)},
         "3000000000 705032704"},
        {"delta over runs wraps as Int32",
         bytes_of<std::int32_t>({2000000000, 2}),
         {delta(1000000000), run_length(2), byte_array(DType::Int32)},
         "-1294967296 705032704"},
        {"delta over runs whose values wrap to the runs' type first",
         bytes_of<std::int32_t>({300, 2}),
         {delta(0), run_length(2, DType::Uint8), byte_array(DType::Int32)},
         "44 88"},
        {"delta over runs over packing, the Mol* order",
         bytes_of<std::uint16_t>({65535, 1, 2}),
         {delta(-3), run_length(2), packing(2, true, 2), byte_array(DType::Uint16)},
         "65533 131069"},
        {"delta over runs of floats",
         bytes_of<std::int32_t>({1, 2}),
         {delta(0), run_length(2, DType::Float32), byte_array(DType::Int32)},
         "Delta: its input is Float32 numbers",
         true},
        // faults
        {"bytes not whole values",
         std::string(3, '\0'),
         {byte_array(DType::Int16)},
         "ByteArray of Int16: 3 bytes",
         true},
        {"no ByteArray last",
         bytes_of<std::int32_t>({1}),
         {delta(0)},
         "the last encoding applied is Delta",
         true},
        {"ByteArray in the middle",
         bytes_of<std::int32_t>({1}),
         {byte_array(DType::Int32), byte_array(DType::Int32)},
         "ByteArray is not the last",
         true},
        {"srcSize beyond the packed values",
         bytes_of<std::uint8_t>({1, 2}),
         {packing(1, true, 5), byte_array(DType::Uint8)},
         "IntegerPacking: srcSize 5 is more",
         true},
        {"packed values hold more than srcSize",
         bytes_of<std::uint8_t>({1, 2, 3}),
         {packing(1, true, 1), byte_array(DType::Uint8)},
         "IntegerPacking: the packed values hold more",
         true},
        {"packing ends inside a continued value",
         bytes_of<std::uint8_t>({1, 255}),
         {packing(1, true, 1), byte_array(DType::Uint8)},
         "IntegerPacking: the packed values end",
         true},
        {"runs short of srcSize",
         bytes_of<std::int32_t>({7, 3}),
         {run_length(4), byte_array(DType::Int32)},
         "RunLength: the runs hold 3 values",
         true},
        {"runs past srcSize",
         bytes_of<std::int32_t>({7, 2000000000}),
         {run_length(4), byte_array(DType::Int32)},
         "RunLength: the runs hold more",
         true},
        {"a negative run",
         bytes_of<std::int32_t>({7, -1}),
         {run_length(0), byte_array(DType::Int32)},
         "RunLength: a negative count",
         true},
        {"odd run pairs",
         bytes_of<std::int32_t>({7}),
         {run_length(1), byte_array(DType::Int32)},
         "RunLength: 1 values are not whole",
         true},
        {"delta over floats",
         bytes_of<double>({1.0}),
         {delta(0), byte_array(DType::Float64)},
         "Delta: its input is Float64 numbers",
         true},
    };
}

TEST(BcifDecode, EncodingsUndoneLastToFirst) {
    for (const DecodeCase& c : decode_cases()) {
        Budget budget(std::uint64_t{1} << 20, std::uint64_t{1} << 20);
        DecodedColumn col;
        const std::string err = decode_numbers(c.data, c.chain, budget, col.numbers);
        if (c.fails) {
            EXPECT_TRUE(err.starts_with(c.expected)) << c.name << ": " << err;
        } else {
            EXPECT_EQ(err, "") << c.name;
            EXPECT_EQ(texts(col), c.expected) << c.name;
        }
    }
}

TEST(BcifDecode, BudgetBoundsWhatTheFileClaims) {
    // Eight bytes claim two billion values: refused before any allocation.
    Budget budget(std::uint64_t{1} << 20, 1 << 20);
    Numbers out;
    const std::string err = decode_numbers(
        bytes_of<std::int32_t>({1, 2000000000}),
        std::vector<Encoding>{run_length(2000000000), byte_array(DType::Int32)}, budget, out);
    EXPECT_TRUE(err.starts_with("RunLength: srcSize 2000000000 is more values")) << err;
}

TEST(BcifText, FixedAndShortestForms) {
    struct Case {
        std::int64_t scaled;
        int decimals;
        const char* text;
    };
    const Case cases[] = {{0, 3, "0.000"},          {-1, 2, "-0.01"}, {123456, 3, "123.456"},
                          {-123456, 1, "-12345.6"}, {7, 0, "7"},      {5, 1, "0.5"}};
    char buf[kNumberText];
    for (const Case& c : cases)
        EXPECT_EQ(std::string_view(buf, format_fixed(c.scaled, c.decimals, buf)), c.text);
    EXPECT_EQ(std::string_view(buf, format_float(-0.0, false, buf)), "-0");
    EXPECT_EQ(std::string_view(buf, format_float(1.0 / 3, false, buf)), "0.3333333333333333");
}

TEST(BcifTree, LimitsAndTruncation) {
    // 100 nested arrays: refused past the depth limit, nothing allocated for it.
    std::string deep(100, '\x91');
    deep += '\xc0';
    MsgTree t = MsgTree::parse(deep);
    EXPECT_FALSE(t.complete());
    EXPECT_NE(t.error().find("nested deeper than"), std::string::npos) << t.error();
    EXPECT_LE(t.size(), MsgTree::kMaxDepth);
    // An array declaring 4 billion elements, with two present.
    const std::string huge("\xdd\xff\xff\xff\xff\x01\x02", 7);
    t = MsgTree::parse(huge);
    EXPECT_FALSE(t.complete());
    EXPECT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].count, 2u);
    EXPECT_NE(t.error().find("truncated"), std::string::npos) << t.error();
    // A map cut inside its second key keeps its first pair.
    const std::string cut(
        "\x82\xa1"
        "a\x01\xa1",
        5);
    t = MsgTree::parse(cut);
    EXPECT_EQ(t.find(0, "a"), 2u);
}

TEST(BcifEncode, IntegersRoundTripThroughTheChosenChain) {
    const std::vector<std::vector<std::int32_t>> cases = {
        {},
        {0},
        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
        {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5},
        {-2147483647 - 1, 2147483647, 0, -1},
        {127, 128, 255, 256, -128, -129, 32767, 32768, -32768, -32769, 65535, 65536},
        {1000000, 1000001, 1000002, 999999, 1000000},
    };
    for (const auto& values : cases) {
        const OutEncoded out = encode_ints(values);
        std::vector<Encoding> chain;
        for (const OutEncoding& o : out.encoding) {
            Encoding e = enc(o.kind, o.type);
            e.origin = o.origin;
            e.src_size = o.src_size;
            e.byte_count = o.byte_count;
            e.is_unsigned = o.is_unsigned;
            chain.push_back(e);
        }
        Budget budget(std::uint64_t{1} << 20, 1 << 20);
        Numbers n;
        ASSERT_EQ(decode_numbers(out.data, chain, budget, n), "");
        ASSERT_EQ(n.ints.size(), values.size());
        for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(n.ints[i], values[i]) << i;
    }
    // A sequence takes less than a byte per value.
    std::vector<std::int32_t> ids(1000);
    for (int i = 0; i < 1000; ++i) ids[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_LT(encode_ints(ids).data.size(), 16u);
}

TEST(BcifClassify, NumericOnlyWhenEveryValueReadsBack) {
    struct Case {
        std::vector<std::string_view> values;
        Declared declared;
        Stored stored;
        int decimals;
    };
    const Case cases[] = {
        {{"1", "-20", "?"}, Declared::Auto, Stored::Integers, 0},
        {{"012"}, Declared::Auto, Stored::Strings, 0},
        {{"012"}, Declared::Integer, Stored::Integers, 0},
        {{"-0"}, Declared::Auto, Stored::Doubles, 0},  // reads back as "-0"
        {{"1.00", "2.50", "."}, Declared::Auto, Stored::Fixed, 2},
        {{"1.0", "2.50"}, Declared::Auto, Stored::Strings, 0},
        {{"1.5", "2.25", "-7"}, Declared::Auto, Stored::Doubles, 0},
        {{"1.0", "2.50"}, Declared::Real, Stored::Fixed, 2},
        {{"1.00", "2.5"}, Declared::Auto, Stored::Strings, 0},
        {{"-0.000"}, Declared::Auto, Stored::Strings, 0},
        {{"1.5(3)"}, Declared::Real, Stored::Strings, 0},
        {{"1e5"}, Declared::Auto, Stored::Strings, 0},
        {{"1e5"}, Declared::Real, Stored::Doubles, 0},
        {{"1.0"}, Declared::Text, Stored::Strings, 0},
        {{"?", "."}, Declared::Auto, Stored::Strings, 0},
        {{"12345678901"}, Declared::Auto, Stored::Doubles, 0},
        {{"3000000000"}, Declared::Auto, Stored::Strings, 0},  // shortest is "3e+09"
    };
    for (const Case& c : cases) {
        const Classified got = classify(c.values, c.declared);
        EXPECT_EQ(got.stored, c.stored) << c.values[0];
        if (c.stored == Stored::Fixed) {
            EXPECT_EQ(got.decimals, c.decimals) << c.values[0];
        }
    }
}

// Every BinaryCIF file of the test data decodes without a fault.
TEST(BcifCorpus, EveryFileDecodes) {
    const std::filesystem::path dir = std::filesystem::path(QUARZEL_TEST_DATA_DIR) / "bcif";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".bcif") continue;
        ++files;
        const std::string data = quarzel::testing::read_file(entry.path());
        const quarzel::ParsedCif doc = read_document(data);
        EXPECT_TRUE(doc.errors.empty()) << entry.path() << ": " << doc.errors[0].message;
        ASSERT_EQ(doc.blocks.size(), 1u) << entry.path();
        EXPECT_NE(doc.blocks[0].data.find("_atom_site.cartn_x"), nullptr) << entry.path();
    }
    EXPECT_EQ(files, 20);
}

}  // namespace
