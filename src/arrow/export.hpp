// One batch's columns exported as a struct array of the Arrow C data
// interface, without copying their buffers.
#pragma once

#include <arrow/c/abi.h>
#include <arrow/status.h>

#include <cstdint>
#include <span>

#include "arrow/columns.hpp"

namespace quarzel::arrow_stage {

// Exports `rows` rows of `columns` as one struct array into `out`. The
// array holds a reference to each column's keeper; the parent and each
// child (which a consumer may move out) may be released in any order, on
// any thread.
arrow::Status export_batch(std::int64_t rows, std::span<const Column* const> columns,
                           ArrowArray* out);

}  // namespace quarzel::arrow_stage
