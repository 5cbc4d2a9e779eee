// One decoded category as an Arrow table, built directly: all of a
// category's buffers in one allocation (slices of it per column), schemas
// shared by every category with the same names and types, no C data
// interface on the way (a category is often a single row, where an export
// and import would cost more than the data), and the objects over the
// buffers made only when the table's columns are first asked for.
//
// Column types: int32 (int64 for Uint32 data), float64 (FixedPoint scaled
// back exactly by division), utf8. A column with masked cells is null
// there and is followed by `<name>_status`: int8 indices into the
// dictionary ["number" or "text", "inapplicable", "unknown"].
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/category.hpp"

namespace quarzel::bcif {

// The columns of one category as they will be exported.
class CategoryExport {
public:
    // Lays out `columns` (which must outlive the export): names (a name
    // given twice counts once; status names made free), types and sizes.
    // Fails (Invalid "text budget") when the strings' text is more than
    // `budget` has left.
    arrow::Status plan(std::int64_t rows, std::span<const NamedColumn> columns, Budget* budget);

    // The schema's names and types, equal for equal schemas.
    const std::string& key() const noexcept { return key_; }
    // The planned columns as a table, their buffers filled now and their
    // Arrow objects on first use (see deferred_table.hpp); the table needs
    // nothing of the columns or of this export once made.
    arrow::Result<std::shared_ptr<arrow::Table>> table() const;

private:
    struct Field {
        const NamedColumn* column;
        std::string_view name;  // the column's, or one of status_names_
        char format;            // 'i', 'l', 'g', 'u', or 'c' (a status column)
        std::uint64_t text;     // utf8: bytes of text
        std::size_t bytes;      // every buffer of the column, each rounded to 8
    };
    // The schema of the planned columns: one object per key, shared
    // between calls and threads.
    std::shared_ptr<arrow::Schema> schema() const;

    std::int64_t rows_ = 0;
    std::vector<Field> fields_;
    // The status columns' names: strings kept from plan to plan (their
    // room reused), at least one a column before the first view is taken,
    // so that the fields' views stay where they point.
    std::vector<std::string> status_names_;
    std::size_t data_bytes_ = 0;
    std::size_t buffers_ = 0;  // Arrow buffers of the columns
    std::string key_;
};

}  // namespace quarzel::bcif
