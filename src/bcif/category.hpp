// One category's columns decoded, and the CIF tag names of its columns.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "bcif/container.hpp"
#include "bcif/decode.hpp"

namespace quarzel::bcif {

struct NamedColumn {
    std::string_view name;
    DecodedColumn values;
};

// Decodes every column of `category`; a column that cannot be decoded is
// reported in `errors` (naming the block, category and column) and left out.
std::vector<NamedColumn> decode_category(const Block& block, const Category& category,
                                         Budget& budget, std::vector<NativeParseError>& errors);

// The same into `out`, whose columns are reused (their buffers keep their
// room from category to category); returns how many of its first columns
// were decoded. `defer_numbers` as for decode_column.
std::size_t decode_category_into(const Block& block, const Category& category, Budget& budget,
                                 std::vector<NativeParseError>& errors,
                                 std::vector<NamedColumn>& out, bool defer_numbers = false);

struct DecodedCategory {
    std::string_view name;
    std::int64_t rows = 0;
    std::vector<NamedColumn> columns;
};

struct DecodedBlock {
    std::string_view header;
    std::vector<DecodedCategory> categories;
};

// A whole file decoded: the container's faults and those of every column
// in `errors`.
struct DecodedFile {
    std::vector<DecodedBlock> blocks;
    std::vector<NativeParseError> errors;
    std::deque<std::string> mended;  // names mended to UTF-8 (see File)
};

// Reads and decodes `input` (uncompressed BinaryCIF), which must outlive
// the result (names and strings are views into it). `budget` bounds what
// it decodes (by default, one scaled to the input).
DecodedFile decode_file(std::string_view input);
DecodedFile decode_file(std::string_view input, Budget& budget);

// The tag of a column: "_category.column" (a leading underscore added to a
// category name without one), or the column's own name when that begins
// with an underscore (how quarzel stores tags without a dot, such as CIF
// 1.1's "_cell_length_a").
std::string tag_of(std::string_view category, std::string_view column);

// The total bytes of the cell texts of a string column (0 for numbers,
// whose texts are short and whose count the values budget bounds), for the
// text budget.
std::uint64_t text_bound(const DecodedColumn& c);

}  // namespace quarzel::bcif
