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

class TextColumn;

// Builds the arrays of requests, keeping its working memory from one call to
// the next: a document's frames and loops each ask for a few columns.
class ColumnBuilder {
public:
    ColumnBuilder();
    ~ColumnBuilder();
    ColumnBuilder(const ColumnBuilder&) = delete;
    ColumnBuilder& operator=(const ColumnBuilder&) = delete;

    // Appends the arrays of `requests` to `out`, in order. Columns are built
    // in groups whose arrays together stay within a few MiB of new memory,
    // and each request's values are freed as soon as its group is done, so
    // the document shrinks while the arrays grow.
    arrow::Status build(std::span<const ColumnRequest> requests, Arena& arena,
                        std::vector<Column>& out);
    // Frees the working memory.
    void trim();

private:
    std::vector<TextColumn> group_;  // the open group's columns
};

// The arrays of `requests`, in order, as ColumnBuilder::build makes them.
arrow::Result<std::vector<Column>> build_columns(std::span<const ColumnRequest> requests,
                                                 Arena& arena);

}  // namespace quarzel::arrow_stage
