// One batch's columns as an Arrow C++ record batch, without copying their
// buffers and without the C data interface's export and import.
#pragma once

#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <span>

#include "arrow/columns.hpp"

namespace quarzel::arrow_stage {

// A record batch of `rows` rows over `columns` (Int32 columns where the
// schema's field is Int32, Utf8 elsewhere). Its buffers, array data and the
// references that keep the columns' memory alive share one allocation, so a
// batch costs a few allocations beside one per column; the memory is freed when
// the batch and every array taken from it are gone, on any thread.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> make_record_batch(
    const std::shared_ptr<arrow::Schema>& schema, std::int64_t rows,
    std::span<const Column* const> columns);

// The array of one column (of Arrow type `type`), holding what keeps its
// memory alive, for columns that many batches share.
arrow::Result<std::shared_ptr<arrow::ArrayData>> standalone_array(
    const Column& column, const std::shared_ptr<arrow::DataType>& type);

}  // namespace quarzel::arrow_stage
