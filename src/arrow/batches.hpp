// The native document as Arrow record batches: per block or save frame, one
// batch of its scalar tags and one batch per loop, each led by five identity
// columns (block index and name, frame index and name, loop id).
#pragma once

#include <arrow/c/abi.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "arrow/columns.hpp"
#include "core/document.hpp"

namespace quarzel {

// Receives each finished batch: its schema (batches with the same tags share
// one object) and its columns as one struct array of the Arrow C data
// interface, whose buffers are the document's own. The sink may move the
// array on (marking it released, as the interface has it); whatever it
// leaves is released when it returns. A failure status stops the conversion
// and is returned as it is.
using BatchSink = std::function<arrow::Status(const std::shared_ptr<arrow::Schema>&, ArrowArray*)>;

// Text that begins the failure of a batch whose columns differ in length.
inline constexpr std::string_view kLengthMismatch = "schema/array length mismatch";

// Receives each finished batch as its columns: the schema (shared as
// above), the row count and the columns in schema order, which the sink may
// copy (each copy holding its buffers) but must not keep by address.
using ColumnsSink = std::function<arrow::Status(const std::shared_ptr<arrow::Schema>&, std::int64_t,
                                                std::span<const arrow_stage::Column* const>)>;

// Hands every batch of `document` to `sink` as columns, in the order and
// with the failures of document_batches.
arrow::Status document_columns(ParsedCif& document, const ColumnsSink& sink);

// Receives each finished batch as an Arrow C++ record batch whose buffers
// are the document's own (no copy).
using RecordBatchSink = std::function<arrow::Status(std::shared_ptr<arrow::RecordBatch>)>;

// Hands every batch of `document` to `sink` as a record batch, in the order
// and with the failures of document_batches.
arrow::Status document_record_batches(ParsedCif& document, const RecordBatchSink& sink);

// Hands every batch of `document` to `sink`, in document order: a block's
// scalar batch, its loop batches, then each of its save frames the same way.
// The document's value columns are emptied as their arrays are built, so
// the document and the batches are not both held in full; an exported array
// keeps what it uses alive until it is released, on any thread. Failures:
// Invalid beginning with kLengthMismatch for unequal columns, CapacityError
// for a column beyond 32-bit offsets, OutOfMemory, or whatever `sink`
// returns.
arrow::Status document_batches(ParsedCif& document, const BatchSink& sink);

}  // namespace quarzel
