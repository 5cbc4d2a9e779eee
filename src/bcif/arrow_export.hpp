// One decoded category exported as a struct array and schema of the Arrow C
// data interface, written by hand: all of a category's buffers in one
// allocation, no Arrow C++ objects on the way (a category is often a single
// row, where those would cost more than the data).
//
// Column types: int32 (int64 for Uint32 data), float64 (FixedPoint scaled
// back exactly by division), utf8. A column with masked cells is null
// there and is followed by `<name>_status`: int8 indices into the
// dictionary ["number" or "text", "inapplicable", "unknown"].
#pragma once

#include <arrow/c/abi.h>
#include <arrow/status.h>

#include <cstdint>
#include <span>
#include <string>
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
    // Writes the schema; the caller (or its consumer) releases it.
    arrow::Status schema(ArrowSchema* out) const;
    // Writes the struct array, its buffers filled; released as above.
    arrow::Status array(ArrowArray* out) const;

private:
    struct Field {
        const NamedColumn* column;
        std::string name;
        char format;         // 'i', 'l', 'g', 'u', or 'c' (a status column)
        std::uint64_t text;  // utf8: bytes of text
        std::size_t bytes;   // every buffer of the column, each rounded to 8
    };
    std::int64_t rows_ = 0;
    std::vector<Field> fields_;
    std::size_t statuses_ = 0;
    std::size_t data_bytes_ = 0;
    std::string key_;
};

}  // namespace quarzel::bcif
