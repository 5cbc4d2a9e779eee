// The one-pass chains against the step-by-step decoding: the same values,
// the same budget taken, and failing where it fails.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "bcif/decode.hpp"
#include "bcif/fused_decode.hpp"
#include "bcif_encodings.hpp"

namespace {

using namespace quarzel::bcif;
using namespace bcif_test;

struct FusedCase {
    const char* name;
    std::string data;
    std::vector<Encoding> chain;
    bool fused = true;                // one of the one-pass chains
    std::uint64_t budget = 1u << 20;  // values the file may hold
};

template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

using I8 = std::int8_t;
using U8 = std::uint8_t;
using I16 = std::int16_t;
using U16 = std::uint16_t;
using I32 = std::int32_t;
using U32 = std::uint32_t;

class BcifFused : public testing::TestWithParam<FusedCase> {};

TEST_P(BcifFused, SameAsStepByStep) {
    const FusedCase& c = GetParam();
    Budget general_budget(c.budget, 1u << 20), fused_budget(c.budget, 1u << 20);
    Numbers general;
    const std::string err = decode_numbers(c.data, c.chain, general_budget, general);
    FusedChain f;
    ASSERT_EQ(recognise_chain(c.chain, c.data, f), c.fused);
    if (!c.fused) return;
    const bool ok = check_chain(f, fused_budget);
    ASSERT_EQ(ok, err.empty()) << err;
    if (!ok) return;
    EXPECT_EQ(fused_budget.values_left(), general_budget.values_left());
    materialize_floats(general);
    ASSERT_EQ(f.size, general.size());
    if (general.floating()) {
        ASSERT_TRUE(f.fixed || f.floating());
        std::vector<double> got(f.size);
        write_chain(f, got.data());
        EXPECT_EQ(0, std::memcmp(got.data(), general.floats.data(), f.size * sizeof(double)));
        return;
    }
    ASSERT_EQ(f.type, general.type);
    std::vector<std::int64_t> wide(f.size);
    std::vector<std::int32_t> narrow(f.size);
    std::vector<std::uint8_t> mask(f.size);
    write_chain(f, wide.data());
    write_chain(f, narrow.data());
    bool any = false, in_range = true, nonzero = false;
    for (std::size_t i = 0; i < f.size; ++i) {
        EXPECT_EQ(wide[i], general.ints[i]) << "value " << i;
        EXPECT_EQ(narrow[i], static_cast<std::int32_t>(general.ints[i])) << "value " << i;
        in_range &= general.ints[i] >= 0 && general.ints[i] <= 2;
        nonzero |= general.ints[i] != 0;
    }
    EXPECT_EQ(write_mask(f, mask.data(), any), in_range);
    if (in_range) {
        EXPECT_EQ(any, nonzero);
        for (std::size_t i = 0; i < f.size; ++i) EXPECT_EQ(mask[i], general.ints[i]);
    }
    // As indices into two strings.
    if (f.type == DType::Uint32) return;
    const std::string_view items[] = {"a", "bc"};
    bool indices = true, none = false, missing = false;
    std::uint64_t text = 0, bytes = 0;
    for (std::int64_t v : general.ints) {
        indices &= v >= -1 && v <= 1;
        missing |= v == -1;
        if (v >= 0 && v <= 1) bytes += items[v].size();
    }
    EXPECT_EQ(write_indices(f, narrow.data(), items, text, none), indices);
    if (indices) {
        EXPECT_EQ(text, bytes);
        EXPECT_EQ(none, missing);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, BcifFused,
    testing::Values(
        FusedCase{"int32 alone", bytes_of<I32>({-7, 0, 2147483647}), {byte_array(DType::Int32)}},
        FusedCase{
            "uint32 past int32", bytes_of<U32>({4000000000u, 1}), {byte_array(DType::Uint32)}},
        FusedCase{"float64 alone", bytes_of<double>({0.1, -2.5}), {byte_array(DType::Float64)}},
        FusedCase{"float32 alone", bytes_of<float>({0.1f, 3.0f}), {byte_array(DType::Float32)}},
        FusedCase{"odd byte count", std::string(5, '\1'), {byte_array(DType::Int16)}},
        FusedCase{"delta wraps at int32",
                  bytes_of<I32>({0, 5, 10}),
                  {delta(2147483640), byte_array(DType::Int32)}},
        FusedCase{"mask 0..2 by runs",
                  bytes_of<I32>({0, 3, 2, 1, 1, 2}),
                  {run_length(6, DType::Uint8), byte_array(DType::Int32)}},
        FusedCase{"mask value 3", bytes_of<U8>({0, 3, 1}), {byte_array(DType::Uint8)}},
        FusedCase{"mask run of 5 for no rows",
                  bytes_of<I32>({5, 0, 1, 3}),
                  {run_length(3, DType::Uint8), byte_array(DType::Int32)}},
        FusedCase{"index runs of -1 and of 7 for no rows",
                  bytes_of<I32>({-1, 2, 7, 0, 1, 3}),
                  {run_length(5), byte_array(DType::Int32)}},
        FusedCase{"int32 runs of uint32 values",
                  bytes_of<U32>({4000000000u, 2}),
                  {run_length(2), byte_array(DType::Uint32)}},
        FusedCase{"run value wraps to its type",
                  bytes_of<I32>({300, 2, -200, 1}),
                  {run_length(3, DType::Uint8), byte_array(DType::Int32)}},
        FusedCase{"runs of steps and of equal values",
                  bytes_of<U16>({1, 4, 0, 3, 5, 2}),
                  {delta(100), run_length(9), packing(2, true, 6), byte_array(DType::Uint16)}},
        FusedCase{"delta over wrapped runs",
                  bytes_of<I32>({200, 3}),
                  {delta(0), run_length(3, DType::Int8), byte_array(DType::Int32)}},
        FusedCase{"continued signed packing",
                  bytes_of<I8>({127, 127, 1, -128, -3, 2, 4}),
                  {delta(1), run_length(6), packing(1, false, 4), byte_array(DType::Int8)}},
        FusedCase{"packing to the last value is not continued",
                  bytes_of<I8>({127, -128, 5}),
                  {packing(1, false, 3), byte_array(DType::Int8)}},
        FusedCase{"uint32 packed without continuations wraps",
                  bytes_of<U32>({4000000000u}),
                  {packing(4, true, 1), byte_array(DType::Uint32)}},
        FusedCase{"packing ends inside a value",
                  bytes_of<U8>({3, 255}),
                  {packing(1, true, 2), byte_array(DType::Uint8)}},
        FusedCase{"packing holds more than srcSize",
                  bytes_of<U8>({255, 1, 2, 3}),
                  {packing(1, true, 2), byte_array(DType::Uint8)}},
        FusedCase{"packing srcSize past the packed",
                  bytes_of<U8>({1}),
                  {packing(1, true, 2), byte_array(DType::Uint8)}},
        FusedCase{"packing of three bytes",
                  bytes_of<U8>({1}),
                  {packing(3, true, 1), byte_array(DType::Uint8)}},
        FusedCase{"negative run count",
                  bytes_of<I32>({1, -1, 2, 2}),
                  {run_length(1), byte_array(DType::Int32)}},
        FusedCase{"negative count to a negative srcSize",
                  bytes_of<I32>({5, -1}),
                  {run_length(-1), byte_array(DType::Int32)}},
        FusedCase{"runs short of srcSize",
                  bytes_of<I32>({1, 2}),
                  {run_length(3), byte_array(DType::Int32)}},
        FusedCase{
            "runs past srcSize", bytes_of<I32>({1, 4}), {run_length(3), byte_array(DType::Int32)}},
        FusedCase{
            "odd run pairs", bytes_of<I32>({1, 2, 3}), {run_length(2), byte_array(DType::Int32)}},
        FusedCase{"no values",
                  std::string(),
                  {delta(4), run_length(0), packing(1, false, 0), byte_array(DType::Int8)}},
        FusedCase{"runs past the budget",
                  bytes_of<I32>({1, 100}),
                  {run_length(100), byte_array(DType::Int32)},
                  true,
                  50},
        FusedCase{"packing past the budget",
                  bytes_of<I8>({1, 2, 3}),
                  {packing(1, false, 3), byte_array(DType::Int8)},
                  true,
                  4},
        FusedCase{"fixed point by ten",
                  bytes_of<I16>({32767, 5, -100}),
                  {fixed(100), delta(0), packing(2, false, 2), byte_array(DType::Int16)}},
        FusedCase{
            "fixed point by three", bytes_of<I32>({1, 2}), {fixed(3), byte_array(DType::Int32)}},
        FusedCase{"delta before runs",
                  bytes_of<I32>({1, 2}),
                  {run_length(2), delta(0), byte_array(DType::Int32)},
                  false},
        FusedCase{"delta of int16",
                  bytes_of<I32>({1, 2}),
                  {delta(0, DType::Int16), byte_array(DType::Int32)},
                  false},
        FusedCase{"runs of floats",
                  bytes_of<I32>({1, 2}),
                  {run_length(2, DType::Float32), byte_array(DType::Int32)},
                  false},
        FusedCase{"fixed point over floats",
                  bytes_of<double>({1}),
                  {fixed(10), byte_array(DType::Float64)},
                  false}),
    case_name<FusedCase>);

// Whole columns, numbers left deferred, indices and masks written
// straight: the same records as the step-by-step way.
struct ColumnCase {
    const char* name;
    std::vector<Encoding> data_chain;  // numbers; empty for strings
    std::string data;
    std::string mask;      // Uint8 runs (value, count) as Int32; none if empty
    const char* expected;  // the error, or "" and then the masked rows
    const char* masked = "";
};

class BcifFusedColumn : public testing::TestWithParam<ColumnCase> {};

TEST_P(BcifFusedColumn, SameRecords) {
    const ColumnCase& c = GetParam();
    // Strings "a", "bc" indexed through IntegerPacking.
    std::vector<Encoding> offsets_chain = {byte_array(DType::Int32)};
    std::vector<Encoding> index_chain = {packing(1, false, 3), byte_array(DType::Int8)};
    const std::string offsets = bytes_of<I32>({0, 1, 3});
    std::vector<Encoding> strings(1, enc(Kind::StringArray));
    strings[0].string_data = "abc";
    strings[0].offsets = offsets;
    strings[0].offset_encoding = offsets_chain;
    strings[0].data_encoding = index_chain;
    const std::vector<Encoding> mask_chain = {run_length(3, DType::Uint8),
                                              byte_array(DType::Int32)};
    Column column;
    column.data = {c.data, c.data_chain.empty() ? std::span<const Encoding>(strings)
                                                : std::span<const Encoding>(c.data_chain)};
    if (!c.mask.empty()) column.mask = Encoded{c.mask, mask_chain};
    Budget budget(1u << 20, 1u << 20);
    DecodedColumn out;
    const std::string err = decode_column(column, 3, budget, out, true);
    EXPECT_EQ(err, c.expected);
    if (!err.empty()) return;
    std::string masked;
    for (std::size_t i = 0; i < 3; ++i) masked += out.masked(i) ? char('0' + out.mask[i]) : '-';
    EXPECT_EQ(masked, c.masked);
    EXPECT_EQ(out.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Columns, BcifFusedColumn,
    testing::Values(
        ColumnCase{"numbers",
                   {delta(5), byte_array(DType::Int32)},
                   bytes_of<I32>({1, 1, 1}),
                   bytes_of<I32>({0, 1, 1, 1, 2, 1}),
                   "",
                   "-12"},
        ColumnCase{"numbers short of the rows",
                   {delta(5), byte_array(DType::Int32)},
                   bytes_of<I32>({1, 1}),
                   "",
                   "2 values for 3 rows"},
        ColumnCase{"mask value 3",
                   {byte_array(DType::Int32)},
                   bytes_of<I32>({1, 1, 1}),
                   bytes_of<I32>({0, 1, 3, 2}),
                   "mask: value 3 in row 2 is not 0, 1 or 2"},
        ColumnCase{"strings", {}, bytes_of<I8>({1, -1, 0}), "", "", "-2-"},
        ColumnCase{"string index past the strings",
                   {},
                   bytes_of<I8>({1, 2, 0}),
                   "",
                   "StringArray: index 2 in row 2 is not one of the 2 strings"},
        ColumnCase{
            "masked string", {}, bytes_of<I8>({0, -1, 1}), bytes_of<I32>({1, 1, 0, 2}), "", "12-"}),
    case_name<ColumnCase>);

}  // namespace
