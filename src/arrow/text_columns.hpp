// The Utf8 arrays of a frame's tags, built from the document's value
// columns (which are emptied as their arrays are made).
#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <span>
#include <vector>

#include "arrow/columns.hpp"
#include "core/document.hpp"

namespace quarzel::arrow_stage {

// A column to build: the tag's values (null for a tag without any, which
// gives an all-null array) and the number of cells (at least the values;
// the cells beyond them are null).
struct ColumnRequest {
    ValueColumn* values;
    std::int64_t length;
};

// The arrays of `requests`, in order. Columns are built in groups whose
// arrays together stay within a few MiB of new memory, and each request's
// values are freed as soon as its group is done, so the document shrinks
// while the arrays grow.
arrow::Result<std::vector<Column>> build_columns(std::span<const ColumnRequest> requests,
                                                 Arena& arena);

}  // namespace quarzel::arrow_stage
