// Float64 chunks of a typed run as a dictionary of their values or as
// byte streams: read back by Arrow's Parquet reader bit for bit, nulls in
// place, over several pages, with the layout each case calls for.
#include <arrow/api.h>
#include <arrow/io/file.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <parquet/arrow/reader.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "dataset/number_column.hpp"
#include "dataset/parquet_file.hpp"
#include "parquet_read_back.hpp"

namespace {

using namespace quarzel::dataset;

enum class Layout { plain, dictionary, split };

struct Case {
    const char* name;
    std::size_t rows;
    std::size_t distinct;    // values cycle through this many (0: all differ)
    std::size_t null_every;  // a null (?) every this many rows (0: none)
    std::size_t nulls_to;    // and the rows before this one
    std::size_t run;         // each value repeated this many times
    Layout want;
};

// The value of row `i` (never null): decimals as a file holds them, and the
// zeros and NaN whose bits a comparison by value would not tell apart.
double value_of(const Case& c, std::size_t i) {
    const std::size_t k = c.distinct ? (i / c.run) % c.distinct : i / c.run;
    if (k == 1) return -0.0;
    if (k == 2) return 0.0;
    if (k == 3) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(k) * 0.001 - 17.5;
}

std::uint64_t bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}

class FloatPages : public testing::TestWithParam<Case> {};

TEST_P(FloatPages, ReadBackBitForBit) {
    const Case& c = GetParam();
    NumberColumn numbers;
    numbers.use_doubles();
    std::vector<std::optional<std::uint64_t>> want;
    for (std::size_t i = 0; i < c.rows; ++i) {
        if ((c.null_every && i % c.null_every == 0) || i < c.nulls_to) {
            numbers.add_row(1, nullptr, nullptr);  // ?
            want.emplace_back(std::nullopt);
            continue;
        }
        const double v = value_of(c, i);
        numbers.add_row(0, &v, nullptr);
        want.emplace_back(bits(v));
    }
    const std::string path =
        (std::filesystem::temp_directory_path() / ("quarzel-float-" + std::to_string(::getpid())))
            .string();
    PageWriter pages;
    ColumnChunk chunk;
    numbers.encode_values(pages, chunk, true);
    EXPECT_EQ(chunk.dictionary_bytes != 0, c.want == Layout::dictionary) << c.name;
    EXPECT_EQ(chunk.stored, c.want != Layout::plain) << c.name;
    EXPECT_EQ(chunk.split, c.want == Layout::split) << c.name;
    {
        ParquetFile file;
        ASSERT_TRUE(file.open(path, {{"t.x", false, true, pq::kDouble}}, pages.codec_id()).ok());
        ASSERT_TRUE(file.write_row_group(static_cast<std::int64_t>(c.rows), {&chunk}).ok());
        ASSERT_TRUE(file.close().ok());
    }
    auto read = read_back_first_column<arrow::DoubleArray>(path, [](double v) { return bits(v); });
    ASSERT_TRUE(read.ok()) << c.name << ": " << read.status().ToString();
    std::remove(path.c_str());
    const auto& got = *read;
    ASSERT_EQ(got.size(), want.size()) << c.name;
    EXPECT_TRUE(got == want) << c.name;
}

// Pages hold 131072 rows; a dictionary takes at most an eighth of the
// values distinct.
INSTANTIATE_TEST_SUITE_P(
    Layouts, FloatPages,
    testing::Values(
        Case{"few values stay plain", 63, 0, 0, 0, 1, Layout::plain},
        Case{"zeros and NaN in a dictionary", 400, 5, 0, 0, 1, Layout::dictionary},
        Case{"runs of one value", 5000, 7, 0, 0, 300, Layout::dictionary},
        Case{"nulls among the codes", 1000, 4, 3, 0, 1, Layout::dictionary},
        Case{"codes of nine bits", 4096, 512, 0, 0, 1, Layout::dictionary},
        Case{"codes of one bit, a short last group", 1001, 2, 0, 0, 1, Layout::dictionary},
        Case{"codes of eight bits, a short last group", 2053, 256, 0, 0, 1, Layout::dictionary},
        Case{"codes of thirteen bits, nulls", 60003, 5000, 11, 0, 1, Layout::dictionary},
        Case{"codes of sixteen bits", (1 << 19) + 3, 65536, 0, 0, 1, Layout::dictionary},
        Case{"one more distinct than an eighth", 4096, 513, 0, 0, 1, Layout::split},
        Case{"codes of seventeen bits", 1 << 20, 70000, 0, 0, 1, Layout::dictionary},
        Case{"runs not on a group's edge", 3000, 6, 0, 0, 13, Layout::dictionary},
        Case{"all distinct", 1000, 0, 7, 0, 1, Layout::split},
        Case{"dictionary over three pages", 300000, 1000, 0, 0, 1, Layout::dictionary},
        Case{"streams over three pages", 300000, 0, 5, 0, 1, Layout::split},
        Case{"a page of nulls, then a dictionary", 140000, 9, 0, 131072, 1, Layout::dictionary},
        Case{"a page of nulls, then streams", 140000, 0, 0, 131072, 1, Layout::split}),
    [](const testing::TestParamInfo<Case>& info) {
        std::string n;
        for (const char* p = info.param.name; *p; ++p) n += std::isalnum(*p) ? *p : '_';
        return n;
    });

}  // namespace
