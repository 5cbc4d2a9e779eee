// Finished Arrow columns and the small ones made from nothing but a length:
// identity columns (one value repeated) and all-null columns.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "arrow/memory.hpp"

namespace quarzel::arrow_stage {

// A finished column: an Int32 (validity, values) or Utf8 (validity, offsets,
// text) array of the C data interface, and what keeps its buffers alive.
struct Column {
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::int64_t n_buffers = 3;
    std::array<const void*, 3> buffers{};
    KeeperRef keeper;
    // For a column kept for reuse (see identity_columns.hpp), its Arrow C++
    // array, which record batches share instead of making their own.
    std::shared_ptr<arrow::ArrayData> shared;
};

arrow::Status out_of_memory();

inline std::size_t round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

// Bytes of a validity bitmap of `rows` bits, padded to 8 bytes.
inline std::size_t bitmap_bytes(std::int64_t rows) {
    return (static_cast<std::size_t>(rows) + 63) / 64 * 8;
}

// Sets the first `valid` of a bitmap's bits and clears the rest.
void fill_bitmap(unsigned char* bitmap, std::int64_t rows, std::int64_t valid);

// `rows` copies of one Int32 value.
arrow::Result<Column> constant_int32(Arena& arena, std::int64_t rows, std::int32_t value);

// `rows` copies of one text.
arrow::Result<Column> constant_text(Arena& arena, std::int64_t rows, std::string_view text);

// `rows` nulls of Utf8 (`text`) or Int32: a clear bitmap and zero offsets
// or values.
arrow::Result<Column> null_column(Arena& arena, std::int64_t rows, bool text);

}  // namespace quarzel::arrow_stage
