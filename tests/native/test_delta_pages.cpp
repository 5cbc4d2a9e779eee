// Int64 chunks of a typed run as packed differences: read back by Arrow's
// Parquet reader value for value, nulls in place, over blocks, groups and
// pages of every fill; values too far apart for a difference stay plain.
#include <arrow/api.h>
#include <arrow/io/file.h>
#include <gtest/gtest.h>
#include <parquet/arrow/reader.h>
#include <parquet/file_reader.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct Case {
    const char* name;
    std::size_t rows;
    std::int64_t (*value)(std::size_t i);
    std::size_t null_every;  // a null (?) every this many rows (0: none)
    std::size_t nulls_to;    // and the rows before this one
    bool delta;              // written as packed differences
};

class DeltaPages : public testing::TestWithParam<Case> {};

TEST_P(DeltaPages, ReadBackValueForValue) {
    const Case& c = GetParam();
    NumberColumn numbers;
    std::vector<std::optional<std::int64_t>> want;
    for (std::size_t i = 0; i < c.rows; ++i) {
        if ((c.null_every && i % c.null_every == 0) || i < c.nulls_to) {
            numbers.add_row(1, nullptr, nullptr);
            want.emplace_back(std::nullopt);
            continue;
        }
        const std::int64_t v = c.value(i);
        numbers.add_row(0, &v, nullptr);
        want.emplace_back(v);
    }
    const std::string path =
        (std::filesystem::temp_directory_path() / ("quarzel-delta-" + std::to_string(::getpid())))
            .string();
    PageWriter pages;
    ColumnChunk chunk;
    numbers.encode_values(pages, chunk, false);
    EXPECT_EQ(chunk.delta, c.delta) << c.name;
    EXPECT_EQ(chunk.stored, c.delta) << c.name;
    {
        ParquetFile file;
        ASSERT_TRUE(file.open(path, {{"t.x", false, true, pq::kInt64}}, pages.codec_id()).ok());
        ASSERT_TRUE(file.write_row_group(static_cast<std::int64_t>(c.rows), {&chunk}).ok());
        ASSERT_TRUE(file.close().ok());
    }
    {
        // The footer names the encoding its pages use.
        auto meta = parquet::ParquetFileReader::OpenFile(path)->metadata();
        const auto group = meta->RowGroup(0);
        const auto column = group->ColumnChunk(0);
        bool listed = false;
        for (auto e : column->encodings())
            listed = listed || e == parquet::Encoding::DELTA_BINARY_PACKED;
        EXPECT_EQ(listed, c.delta) << c.name;
    }
    auto read = read_back_first_column<arrow::Int64Array>(path, [](std::int64_t v) { return v; });
    ASSERT_TRUE(read.ok()) << c.name << ": " << read.status().ToString();
    std::remove(path.c_str());
    const auto& got = *read;
    ASSERT_EQ(got.size(), want.size()) << c.name;
    EXPECT_TRUE(got == want) << c.name;
}

using Values = std::int64_t (*)(std::size_t);
constexpr Values counting = [](std::size_t i) { return static_cast<std::int64_t>(i) + 1; };
constexpr Values constant = [](std::size_t) -> std::int64_t { return 1; };
constexpr Values residues = [](std::size_t i) { return static_cast<std::int64_t>(i / 9) - 3; };
constexpr Values falling = [](std::size_t i) { return 1000 - 7 * static_cast<std::int64_t>(i); };
constexpr Values scattered = [](std::size_t i) {
    return static_cast<std::int64_t>((i * 2654435761u) % 100003) - 50000;
};
// 2^63 - 1 apart (differences of 64 bits); 2^63 apart (no difference fits).
constexpr Values wide = [](std::size_t i) {
    return i % 3 == 0 ? kMax / 2 + 1 : i % 3 == 1 ? -(kMax / 2) : 0;
};
constexpr Values too_wide = [](std::size_t i) { return i % 2 == 0 ? kMin / 2 : kMax / 2 + 1; };
constexpr Values extremes = [](std::size_t i) { return i % 2 == 0 ? kMax : kMax - 5; };

// A block holds 128 differences in four groups of 32; pages hold 131072 rows.
INSTANTIATE_TEST_SUITE_P(
    Layouts, DeltaPages,
    testing::Values(Case{"one value", 1, counting, 0, 0, true},
                    Case{"two values", 2, scattered, 0, 0, true},
                    Case{"one group and one more", 34, scattered, 0, 0, true},
                    Case{"a full block", 129, scattered, 0, 0, true},
                    Case{"a block and one difference", 130, falling, 0, 0, true},
                    Case{"counting ids take no bits", 5000, counting, 0, 0, true},
                    Case{"one repeated value", 300, constant, 0, 0, true},
                    Case{"runs that step by one", 1001, residues, 0, 0, true},
                    Case{"nulls among the values", 1000, scattered, 3, 0, true},
                    Case{"differences of 64 bits", 517, wide, 0, 0, true},
                    Case{"near the largest value", 77, extremes, 0, 0, true},
                    Case{"too far apart for differences", 300, too_wide, 0, 0, false},
                    Case{"over three pages", 300000, scattered, 7, 0, true},
                    Case{"a page of nulls, then values", 140000, residues, 0, 131072, true}),
    [](const testing::TestParamInfo<Case>& info) {
        std::string n;
        for (const char* p = info.param.name; *p; ++p) n += std::isalnum(*p) ? *p : '_';
        return n;
    });

}  // namespace
