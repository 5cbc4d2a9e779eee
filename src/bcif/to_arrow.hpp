// A BinaryCIF file as typed Arrow tables, one per category, with the
// columns as stored (see arrow_export.hpp for the types and the
// `<name>_status` columns).
#pragma once

#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quarzel::bcif {

struct CategoryBatch {
    std::string_view name;  // as stored
    std::shared_ptr<arrow::Table> table;
};

struct BlockBatches {
    std::string_view header;  // as stored
    std::vector<CategoryBatch> categories;
};

struct Tables {
    std::vector<BlockBatches> blocks;
    std::vector<NativeParseError> errors;
    // Headers and category names mended to UTF-8, which the names above
    // point to (see File).
    std::deque<std::string> mended;
};

// Decodes `input` (uncompressed BinaryCIF), which must outlive the names
// of the result (views into it, or into the result's `mended`). A category
// whose strings would pass the file's text budget is reported and left out.
arrow::Result<Tables> read_tables(std::string_view input);

}  // namespace quarzel::bcif
