// A Parquet file's first column as Arrow's Parquet reader gives it back:
// one entry per row, null where the row is null, each value through
// `convert` (bits of doubles, to compare them exactly).
#pragma once

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <parquet/arrow/reader.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

template <class ArrayType, class Convert>
auto read_back_first_column(const std::string& path, Convert convert) -> arrow::Result<
    std::vector<std::optional<std::invoke_result_t<Convert, typename ArrayType::value_type>>>> {
    std::vector<std::optional<std::invoke_result_t<Convert, typename ArrayType::value_type>>> got;
    ARROW_ASSIGN_OR_RAISE(auto in, arrow::io::ReadableFile::Open(path));
    ARROW_ASSIGN_OR_RAISE(auto reader, parquet::arrow::OpenFile(in, arrow::default_memory_pool()));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Table> table, reader->ReadTable());
    for (const auto& part : table->column(0)->chunks()) {
        const auto& a = static_cast<const ArrayType&>(*part);
        for (std::int64_t i = 0; i < a.length(); ++i)
            got.emplace_back(a.IsNull(i) ? std::nullopt : std::optional(convert(a.Value(i))));
    }
    return got;
}
