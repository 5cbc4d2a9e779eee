// A BinaryCIF file as typed Arrow record batches, one per category, with
// the columns as stored, exported through the Arrow C data interface (see
// arrow_export.hpp for the types and the `<name>_status` columns).
#pragma once

#include <arrow/c/abi.h>
#include <arrow/result.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quarzel::bcif {

// One category's exported batch: released unless a consumer took it over
// (which marks it released).
struct CategoryBatch {
    std::string_view name;  // as stored
    std::string key;        // the schema's names and types (equal keys, equal schemas)
    ArrowSchema schema{};
    ArrowArray array{};

    CategoryBatch() = default;
    CategoryBatch(CategoryBatch&& o) noexcept;
    CategoryBatch& operator=(CategoryBatch&&) = delete;
    CategoryBatch(const CategoryBatch&) = delete;
    ~CategoryBatch();
};

struct BlockBatches {
    std::string_view header;  // as stored
    std::vector<CategoryBatch> categories;
};

struct Tables {
    std::vector<BlockBatches> blocks;
    std::vector<NativeParseError> errors;
};

// Decodes `input` (uncompressed BinaryCIF), which must outlive the names
// of the result (views into it). A category whose strings would pass the
// file's text budget is reported and left out.
arrow::Result<Tables> read_tables(std::string_view input);

}  // namespace quarzel::bcif
