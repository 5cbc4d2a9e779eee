// A BinaryCIF file as typed Arrow record batches, one per category, with
// the columns as stored: int32 (int64 for Uint32 data), float64 or utf8.
// Masked cells are null; a column with masked cells is followed by a
// dictionary-encoded `<name>_status` column: "unknown" for `?`,
// "inapplicable" for `.`, and "number" (numeric columns) or "text" (string
// columns) for the cells with a value.
#pragma once

#include <arrow/api.h>

#include <memory>
#include <string_view>
#include <vector>

#include "bcif/category.hpp"
#include "core/error.hpp"

namespace quarzel::bcif {

struct CategoryBatch {
    std::string_view name;  // as stored
    std::shared_ptr<arrow::RecordBatch> batch;
};

struct BlockBatches {
    std::string_view header;  // as stored
    std::vector<CategoryBatch> categories;
};

struct Tables {
    std::vector<BlockBatches> blocks;
    std::vector<NativeParseError> errors;
};

// Decodes `input` (uncompressed BinaryCIF), which must outlive nothing of
// the result but the names (views into it).
arrow::Result<Tables> read_tables(std::string_view input);

// One decoded category as a record batch of `rows` rows.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> category_batch(
    std::int64_t rows, const std::vector<NamedColumn>& columns);

}  // namespace quarzel::bcif
